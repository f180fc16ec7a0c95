// One finding as a compiler shows a diagnostic: its place and headline on one
// line, the source line with a caret under the column, then its notes and
// the remedy.
#pragma once

#include <string>

#include "report/findings.h"

namespace check {

/// `finding` as text. `source` holds the bytes of the file it is placed in
/// (a script or a manifest; null when there is none), for the line shown
/// under the headline; `fallback` names the place of a finding with no file
/// (the module's name). Each line ends in "\n".
std::string TextDiagnostic(const Finding& finding, const std::string* source, const std::string& fallback);

/// Line `line` (1-based) of `bytes` (decoded as Decoded decodes them), without
/// its line end; empty past the last line.
std::string SourceLine(const std::string& bytes, int line);

}  // namespace check
