// The `check` verb: the command line read into a request, the check, and its report rendered in the format
// asked for (text, JSON or SARIF), each renderer handed the same value.
#include "cli/check_command.h"

#include <new>
#include <string>
#include <vector>

#include "checks/check.h"
#include "io/checked_files.h"
#include "manifest/package_manifest.h"
#include "options/command_line.h"
#include "report/report.h"
#include "text/text.h"

namespace check {

const VerbSpec kCheckSpec = {
    "check",
    "PACKAGE",
    "       stub-check PACKAGE ...   (the same: check is the verb when none is given)\n"
    "  PACKAGE        a module copy (Aurora.dll) or its package folder (Aurora)\n",
    {
        {"--format", "text|json|sarif", false,
         "text (default), json, or sarif (SARIF 2.1.0, for CI and editors)"},
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
        {"--sarif-root", "DIR", false,
         "sarif: the folder the files' URIs are relative to (default: the\n"
         "current folder)"},
    },
    "Scripts are read if they are regular files of at most 8 MiB.\n"
    "exit code: 0 clean, 1 warnings only, 2 errors (also for a command line that cannot be followed)\n"
    "other verbs: stub-check new NAME ... (a fresh package), stub-check export ... (keys for\n"
    "installers), stub-check lsp (the language server editors start); each with --help;\n"
    "stub-check explain CODE (what a finding means)\n"};

namespace {

// A check that cannot be made, said on standard error and, for --format json or sarif, as that
// document on standard output, which a program reads in place of the report.
int Refuse(const std::string& format, const std::string& input, const std::string& message) {
  Refuse(kCheckSpec, message);
  const std::string document = FailureReport(format, input, message);
  if (!document.empty()) PrintChecked("stub-check", document);
  return 2;
}

}  // namespace

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
  const std::string manifestFile = line.Get("--manifest");
  std::string manifestBytes;
  if (!manifestFile.empty() && !ReadRegularFile(manifestFile, kScriptSizeLimit, &manifestBytes, &problem)) {
    return refuse("--manifest " + Quoted(manifestFile) + " cannot be read: " + problem +
                  "; give the assembly manifest (stub-check export --format manifest writes one)");
  }
  request.perUser = line.Has("--per-user");
  if (line.Has("--registry")) request.registryFiles = line.values.at("--registry");
  std::string text;
  int code = 0;
  try {
    Report report = Check(request);
    if (!report.refused.empty()) return refuse(report.refused);
    if (!manifestFile.empty()) CheckPackageManifest(manifestFile, manifestBytes, &report);
    text = format == "json"    ? JsonReport(report)
           : format == "sarif" ? SarifReport(report, line.Get("--sarif-root", "."))
                               : TextReport(report);
    code = report.ExitCode();
  } catch (const std::bad_alloc&) {
    // What the check held is let go on the way here: enough to say so in the format asked for.
    return refuse(kOutOfMemory);
  }
  return PrintChecked("stub-check", text) ? code : 2;
}

}  // namespace check
