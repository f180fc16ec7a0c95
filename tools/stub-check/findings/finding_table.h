// The vocabulary of findings: one row per code (finding_rows.inc), an enumerator per row for the raise
// sites, and the look-ups the renderers use.
#pragma once

#include <cstddef>
#include <string_view>

namespace check {

enum class Severity { kError, kWarning };

/// One kind of finding, as the author reads about it: `help` says what to write, `wrong` and `right` show
/// it on one line each; `anchor` is the heading of docs/package-authors.md that explains it.
struct FindingRow {
  const char* code;
  Severity severity;
  const char* anchor;
  const char* shortDescription;
  const char* fullDescription;
  const char* help;
  const char* wrong;
  const char* right;
};

enum class FindingCode {
#define FINDING(name, code, severity, anchor, brief, full, help, wrong, right) k##name,
#include "findings/finding_rows.inc"
#undef FINDING
};

inline constexpr FindingRow kFindingRows[] = {
#define FINDING(name, code, severity, anchor, brief, full, help, wrong, right) \
  {code, Severity::severity, anchor, brief, full, help, wrong, right},
#include "findings/finding_rows.inc"
#undef FINDING
};

inline const FindingRow& RowOf(FindingCode code) { return kFindingRows[static_cast<std::size_t>(code)]; }
/// The code as every format of the report names it: "script-unreadable".
inline const char* CodeName(FindingCode code) { return RowOf(code).code; }
/// The row of the code `name`, or null.
inline const FindingRow* FindRow(std::string_view name) {
  for (const FindingRow& row : kFindingRows) {
    if (name == row.code) return &row;
  }
  return nullptr;
}

}  // namespace check
