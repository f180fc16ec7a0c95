// The author's verbs besides checking: `new` lays out a fresh package, `export`
// prints the registry keys an installer writes instead of self-registration.
#pragma once

#include <string>
#include <vector>

#include "cli/command_line.h"

namespace check {

/// `stub-check new ...` and `stub-check export ...` (`args` follow the verb):
/// 0 done, 2 refused or failed (nothing written).
int NewCommand(const std::vector<std::string>& args);
int ExportCommand(const std::vector<std::string>& args);
extern const VerbSpec kNewSpec;
extern const VerbSpec kExportSpec;

/// Whether `name` makes valid ProgIDs (NAME.StyleText.1) and a valid file and
/// folder name on Windows; otherwise `problem` says why.
bool ValidPackageName(const std::string& name, std::string* problem);

}  // namespace check
