// What the checker tells an author: findings, as data, which every part below the report makes and the
// report alone renders.
#pragma once

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "findings/finding_table.h"

namespace check {

/// "error" or "warning", as every format of the report names it.
inline const char* SeverityName(Severity s) { return s == Severity::kError ? "error" : "warning"; }

/// A value a finding names, as data for the decisions after it and for tools: {"script", "Style.rgs"}.
struct Argument {
  std::string name;
  std::string value;
};

/// One thing the author should know about, as data: report/ alone makes text of it. `line` and `column` are
/// 1-based (0: no place in a file), `length` the characters from the column it is about (0: the place alone).
/// `message` is one short statement, `notes` the facts around it, `remedy` what to write.
struct Finding {
  Severity severity;
  FindingCode code;  // its row: the stable name, the descriptions, the guide's anchor
  std::string file;
  int line = 0;
  int column = 0;
  std::string message;
  std::string remedy;
  int length = 0;
  std::vector<std::string> notes{};
  std::vector<Argument> arguments{};
  /// The value of the argument `name`, or empty.
  std::string Arg(const std::string& name) const {
    auto it = std::find_if(arguments.begin(), arguments.end(), [&](auto& a) { return a.name == name; });
    return it == arguments.end() ? "" : it->value;
  }
};

/// A finding of the row `code`, with the row's severity.
inline Finding Raise(FindingCode code, std::string file, int line, int column, std::string message,
                     std::string remedy, std::vector<std::string> notes = {}) {
  return {RowOf(code).severity, code, std::move(file), line, column, std::move(message),
          std::move(remedy),    0,    std::move(notes)};
}

/// Of a kind a file may hold without end (one per key or element), the most listed.
constexpr int kWarningsPerCode = 20;

/// The findings of one file, at most kWarningsPerCode of each kind listed; when it goes, the last listed of a
/// kind notes how many more there were ("3 more like it in this script, not listed", `where` being "script").
struct CappedFindings {
  std::vector<Finding>* findings;
  const char* where;
  std::map<std::string, std::pair<int, std::size_t>> kinds{};  // how many of a kind, the last listed
  ~CappedFindings() {
    for (const auto& [kind, seen] : kinds) {
      if (seen.first <= kWarningsPerCode) continue;
      (*findings)[seen.second].notes.push_back(std::to_string(seen.first - kWarningsPerCode) +
                                               " more like it in this " + where + ", not listed");
    }
  }
  /// Counts one more of `kind` (a code or a finer kind): true when listed, the caller then adding it next.
  bool Listed(FindingCode code) { return Listed(CodeName(code)); }
  bool Listed(const std::string& kind) {
    auto& [count, last] = kinds[kind];
    if (++count > kWarningsPerCode) return false;
    last = findings->size();
    return true;
  }
};

}  // namespace check
