// The command line's verbs: `check` here, the verb when none is given; `new` and `export` in their rooms.
#pragma once

#include <string>
#include <vector>

#include "options/command_line.h"

namespace check {

/// `stub-check check ...` (`args` follow the verb): 0 clean, 1 warnings only, 2 errors or refused.
int CheckCommand(const std::vector<std::string>& args);
extern const VerbSpec kCheckSpec;

/// What is said when the process runs out of memory.
inline constexpr char kOutOfMemory[] =
    "out of memory: the input needs more memory than the process may use (ulimit -v?), so it gives no result";

}  // namespace check
