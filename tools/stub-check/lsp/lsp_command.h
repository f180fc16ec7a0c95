// The `lsp` verb: a language server for package scripts over standard input and output, whose
// diagnostics are the check's findings for the text being edited, saved or not.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "options/command_line.h"

namespace check {

/// `stub-check lsp` (`args` follow the verb): 0 after shutdown and exit, 1 when the stream ended or exit
/// came without shutdown, 2 for a command line that cannot be followed.
int LspCommand(const std::vector<std::string>& args);
extern const VerbSpec kLspSpec;

namespace lsp {
/// Serves the messages of `in`, answering on `out`, until exit or the end of `in`; the exit code.
int Serve(std::FILE* in, std::FILE* out);
}  // namespace lsp

}  // namespace check
