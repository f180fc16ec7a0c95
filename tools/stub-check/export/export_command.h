// `stub-check export`: prints the registry keys an installer writes instead of self-registration, or the
// package's assembly manifest.
#pragma once

#include <string>
#include <vector>

#include "options/command_line.h"

namespace check {

/// `stub-check export ...` (`args` follow the verb): 0 printed, 2 refused or failed (nothing printed).
int ExportCommand(const std::vector<std::string>& args);
extern const VerbSpec kExportSpec;

}  // namespace check
