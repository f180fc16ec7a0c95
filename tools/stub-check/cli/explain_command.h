// The `explain` verb: what a finding code means and what to write instead, from the table of findings.
#pragma once

#include <string>
#include <vector>

#include "options/command_line.h"

namespace check {

/// `stub-check explain CODE`: prints the code's full description and help (0); an unknown code is refused
/// with the list of codes (2).
int ExplainCommand(const std::vector<std::string>& args);
extern const VerbSpec kExplainSpec;

}  // namespace check
