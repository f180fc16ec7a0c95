// `stub-check new`: lays out a fresh package.
#pragma once

#include <string>
#include <vector>

#include "options/command_line.h"

namespace check {

/// `stub-check new ...` (`args` follow the verb): 0 done, 2 refused or failed (nothing written).
int NewCommand(const std::vector<std::string>& args);
extern const VerbSpec kNewSpec;

/// Whether `name` makes valid ProgIDs (NAME.StyleText.1) and a valid file and
/// folder name on Windows; otherwise `problem` says why.
bool ValidPackageName(const std::string& name, std::string* problem);

}  // namespace check
