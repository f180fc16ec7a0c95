// The author's verbs besides checking: `new` lays out a fresh package, `export`
// prints the registry keys an installer writes instead of self-registration.
#pragma once

#include <string>
#include <vector>

#include "cli/command_line.h"

namespace check {

/// `stub-check new ...` and `stub-check export ...`; `args` are what follows
/// the verb. Each answers the process exit code: 0 done, 2 refused or failed
/// (nothing written).
int NewCommand(const std::vector<std::string>& args);
int ExportCommand(const std::vector<std::string>& args);
extern const VerbSpec kNewSpec;
extern const VerbSpec kExportSpec;

/// Whether `name` makes valid ProgIDs `name`.StyleText.1 and the like and a
/// valid file and folder name on Windows; otherwise `problem` says why.
bool ValidPackageName(const std::string& name, std::string* problem);

}  // namespace check
