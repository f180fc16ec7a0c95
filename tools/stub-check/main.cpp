// stub-check: the package checker's command line. The verbs are `check` (cli/check_command.h, the verb when
// none is given), `new` (new/new_command.h), `export` (export/export_command.h), `explain`
// (cli/explain_command.h) and `lsp` (lsp/lsp_command.h, the language server).
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "cli/check_command.h"
#include "cli/explain_command.h"
#include "export/export_command.h"
#include "io/files.h"
#include "lsp/lsp_command.h"
#include "new/new_command.h"
#include "options/command_line.h"

namespace check {
namespace {

// Standard output flushed and closed, checked: a report cut short by a full
// disk or a closed pipe is an error, never a success.
int Finish(int code) {
  if (std::ferror(stdout)) return 2;  // already said
  errno = 0;
  if (std::fflush(stdout) != 0 || std::fclose(stdout) != 0) {
    io::PrintError(std::string("stub-check: cannot write to standard output: ") +
                   (errno ? std::strerror(errno) : "the write failed") + "\n");
    return 2;
  }
  return code;
}

}  // namespace
}  // namespace check

// On Windows the arguments are taken as UTF-16, so that a path outside the ANSI
// code page reaches the file calls whole.
#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  // The same bytes as on Linux: line ends stay "\n", and text is UTF-8 (a
  // console is written its own UTF-16 text instead: io/files.h).
  _setmode(_fileno(stdout), _O_BINARY);
#else
int main(int argc, char** argv) {
  // Past a file size limit (ulimit -f) a write fails with EFBIG and is
  // reported, instead of the process being killed half-way through a file.
  std::signal(SIGXFSZ, SIG_IGN);
#endif
#ifdef __GLIBC__
  // A large script's text is read several times, each copy let go before the
  // next: blocks from 1 MiB up go back to the system when freed.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
  try {
    using namespace check;
    std::vector<std::string> rest;
    const auto verb = FindVerb(io::Arguments(argc, argv),
                               {&kCheckSpec, &kNewSpec, &kExportSpec, &kExplainSpec, &kLspSpec}, &rest);
    if (verb == "new") return Finish(NewCommand(rest));
    if (verb == "export") return Finish(ExportCommand(rest));
    if (verb == "explain") return Finish(ExplainCommand(rest));
    if (verb == "lsp") return Finish(LspCommand(rest));
    return Finish(CheckCommand(rest));
  } catch (const std::bad_alloc&) {
    // Everything made so far has been let go on the way here (what `new`
    // wrote included); what remains is to say so, not to abort.
    check::io::PrintError(std::string("stub-check: ") + check::kOutOfMemory + "\n");
    return 2;
  }
}
