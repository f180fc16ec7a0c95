// stub-check: the package checker's command line. The verbs are `check` (here,
// the verb when none is given), `new` and `export` (new/verbs.h).
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

#include "checker.h"
#include "cli/command_line.h"
#include "io/files.h"
#include "new/verbs.h"

namespace check {
namespace {

const VerbSpec kCheckSpec = {
    "check",
    "PACKAGE",
    "       stub-check PACKAGE ...   (the same: check is the verb when none is given)\n"
    "  PACKAGE        a module copy (Aurora.dll) or its package folder (Aurora)\n",
    {
        {"--format", "text|json|sarif", false, "text (default), json, or sarif (SARIF 2.1.0, for CI and editors)"},
        {"--registry", "FILE.reg", true,
         "a .reg export to start from instead of an empty registry; may be\n"
         "given more than once (say the machine's and the user's classes);\n"
         "at most 256 MiB each"},
        {"--module-path", "PATH", false,
         "check as installed at this absolute Windows path (default:\n"
         "C:\\Packages\\<module> and C:\\Program Files\\O'Brien's Packages\\<module>)"},
        {"--per-user", nullptr, false, "check registration for the current user (regsvr32 /n /i:user)"},
        {"--manifest", "FILE", false,
         "also check the package's assembly manifest (registration-free use)\n"
         "against the module and what the scripts register"},
    },
    "Scripts are read if they are regular files of at most 8 MiB.\n"
    "exit code: 0 clean, 1 warnings only, 2 errors (also for a command line that cannot be followed)\n"
    "other verbs: stub-check new NAME ... (a fresh package), stub-check export ... (keys for\n"
    "installers); each with --help\n"};

// What is said when the process runs out of memory.
constexpr char kOutOfMemory[] =
    "out of memory: the input needs more memory than the process may use (ulimit -v?), so it gives no result";

// A check that cannot be made, said on standard error and, for --format json or sarif, as that
// document on standard output, which a program reads in place of the report.
int Refuse(const std::string& format, const std::string& input, const std::string& message) {
  Refuse(kCheckSpec, message);
  const std::string document = FailureReport(format, input, message);
  if (!document.empty()) PrintChecked("stub-check", document);
  return 2;
}

int CheckCommand(const std::vector<std::string>& args) {
  ParsedLine line;
  std::string refusal;
  const int exit = ReadCommandLine(kCheckSpec, args, &line, &refusal);
  // A --format the table refuses is text; anything it takes is the format every failure is given in.
  const std::string format = line.Get("--format", "text");
  CheckRequest request;
  request.input = line.operands.empty() ? "" : line.operands[0];
  auto refuse = [&](const std::string& message) { return Refuse(format, request.input, message); };
  if (!refusal.empty()) return refuse(refusal);
  if (exit >= 0) return exit;
  const std::string what = "name the module copy (Aurora.dll) or its package folder";
  if (line.operands.empty()) return refuse("no package given: " + what + " (stub-check --help)");
  if (request.input.empty()) return refuse("the package argument is empty: " + what);
  std::string problem;
  const std::string modulePath = line.Get("--module-path");
  if (!modulePath.empty() && !CheckWindowsModulePath(modulePath, &problem)) {
    return refuse("--module-path " + Quoted(modulePath) + ": " + problem);
  }
  if (!modulePath.empty()) request.installPaths.push_back(Utf16(modulePath));
  request.manifestFile = line.Get("--manifest");
  if (!request.manifestFile.empty() &&
      !ReadRegularFile(request.manifestFile, kScriptSizeLimit, &request.manifestBytes, &problem)) {
    return refuse("--manifest " + Quoted(request.manifestFile) + " cannot be read: " + problem +
                  "; give the assembly manifest (stub-check export --format manifest writes one)");
  }
  request.format = format;
  request.perUser = line.Has("--per-user");
  if (line.Has("--registry")) request.registryFiles = line.values.at("--registry");
  Report report;
  try {
    report = Check(request);
  } catch (const std::bad_alloc&) {
    // What the check held is let go on the way here: enough to say so in the format asked for.
    return refuse(kOutOfMemory);
  }
  if (!report.refused.empty()) return refuse(report.refused);
  return PrintChecked("stub-check", report.text) ? report.ExitCode() : 2;
}

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
    const auto verb = FindVerb(io::Arguments(argc, argv), {&kCheckSpec, &kNewSpec, &kExportSpec}, &rest);
    if (verb == "new") return Finish(NewCommand(rest));
    if (verb == "export") return Finish(ExportCommand(rest));
    return Finish(CheckCommand(rest));
  } catch (const std::bad_alloc&) {
    // Everything made so far has been let go on the way here (what `new`
    // wrote included); what remains is to say so, not to abort.
    check::io::PrintError(std::string("stub-check: ") + check::kOutOfMemory + "\n");
    return 2;
  }
}
