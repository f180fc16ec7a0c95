// What the checker tells an author: findings, as data.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"
#include "text/identifiers.h"
#include "text/text.h"

namespace check {

enum class Severity { kError, kWarning };

/// "error" or "warning", as every format of the report names it.
inline const char* SeverityName(Severity s) { return s == Severity::kError ? "error" : "warning"; }

/// A value a finding names, kept as data for the decisions after it and for
/// tools: {"script", "Style.rgs"}, {"result", "0x80020009"}.
struct Argument {
  std::string name;
  std::string value;
};

/// One thing the author should know about, as data: report/ alone makes text
/// of it. `line` and `column` are 1-based (0: no place in a file), `length` the
/// characters from the column it is about (0: the place alone). `message` is
/// one short statement, `notes` the facts around it, `remedy` what to write.
struct Finding {
  Severity severity;
  std::string code;  // stable identifier, e.g. "script-error"
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
    for (const Argument& a : arguments) {
      if (a.name == name) return a.value;
    }
    return "";
  }
};

/// The name of a result the module answers, e.g. "DISP_E_EXCEPTION"; empty if unknown.
std::string ResultName(HRESULT value);
/// "S_OK", or "DISP_E_EXCEPTION (0x80020009)".
std::string DescribeResult(HRESULT value);

}  // namespace check
