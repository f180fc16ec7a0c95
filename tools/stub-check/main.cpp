// stub-check: the package checker's command line. The verbs are `check` (here,
// the verb when none is given), `new` (new/new_package.cpp) and `export`
// (export/export_keys.cpp); each one's option table makes its --help.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <unordered_set>
#include <utility>
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
#include "manifest/manifest.h"
#include "package/package_classes.h"
#include "platform/emulated/emulator.h"
#include "new/verbs.h"

namespace {

namespace fs = std::filesystem;

const check::VerbSpec kCheckSpec = {
    "check",
    "       stub-check PACKAGE ...   (the same: check is the verb when none is given)\n",
    "PACKAGE",
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

std::string Key(const check::Finding& f) {
  return f.code + "|" + f.file + "|" + std::to_string(f.line) + "|" + std::to_string(f.column);
}

int Refuse(const std::string& message) {
  check::io::PrintError("stub-check: " + message + "\n");
  return 2;
}

int CheckCommand(const std::vector<std::string>& args) {
  check::ParsedLine line;
  std::string problem;
  if (!check::ParseCommandLine(kCheckSpec, args, &line, &problem)) return Refuse(problem);
  if (line.help) return check::PrintChecked("stub-check", check::Usage(kCheckSpec)) ? 0 : 2;
  const std::string format = line.Get("--format", "text");
  const std::string modulePath = line.Get("--module-path");
  const bool perUser = line.Has("--per-user");
  const std::vector<std::string> registryFiles =
      line.Has("--registry") ? line.values.at("--registry") : std::vector<std::string>();
  if (line.operands.empty()) {
    return Refuse("no package given: name the module copy (Aurora.dll) or its package folder "
                  "(stub-check --help)");
  }
  const std::string input = line.operands[0];
  if (input.empty()) {
    return Refuse("the package argument is empty: name the module copy (Aurora.dll) or its "
                  "package folder");
  }
  if (!modulePath.empty() && !check::CheckWindowsModulePath(modulePath, &problem)) {
    return Refuse("--module-path " + check::Quoted(modulePath) + ": " + problem);
  }
  const std::string manifestFile = line.Get("--manifest");
  std::string manifestBytes;
  if (!manifestFile.empty() &&
      !check::ReadRegularFile(manifestFile, check::kScriptSizeLimit, &manifestBytes, &problem)) {
    return Refuse("--manifest " + check::Quoted(manifestFile) + " cannot be read: " + problem +
                  "; give the assembly manifest (stub-check export --format manifest writes one)");
  }

  check::Package package;
  package.perUser = perUser;
  if (!check::LoadPackage(input, &package, &problem)) return Refuse(problem);

  for (const std::string& file : registryFiles) {
    std::string bytes, reason;
    check::RegistryExport e;
    e.file = file;
    emu::Reset();
    bool tooLarge = false;
    if (!check::ReadRegularFile(file, check::kRegistrySizeLimit, &bytes, &reason, &tooLarge)) {
      return Refuse("--registry " + check::Quoted(file) + " cannot be read: " + reason +
                    (tooLarge ? "; export only the classes the package meets (HKLM\\SOFTWARE\\Classes, "
                                "or the keys its scripts name)"
                              : "; give a .reg file exported with regedit or reg export"));
    }
    if (!check::ParseRegFile(std::move(bytes), &e.keys, &e.notes, &reason)) {
      return Refuse("--registry " + check::Quoted(file) + ": " + reason);
    }
    package.exports.push_back(std::move(e));
  }
  check::CombineExports(&package.exports);
  // Every Windows user has a classes key, even before anything is in it.
  if (perUser) emu::CreateKey(HKEY_CURRENT_USER, u"Software\\Classes");
  package.baseKeys = check::CountKeys();

  std::vector<std::u16string> installs;
  if (!modulePath.empty()) {
    installs.push_back(check::Utf16(modulePath));
  } else {
    const std::u16string name = check::Utf16(package.moduleName);
    installs.push_back(u"C:\\Packages\\" + name);
    installs.push_back(u"C:\\Program Files\\O'Brien's Packages\\" + name);
  }

  check::Report report;
  report.package = &package;
  for (const std::u16string& install : installs) {
    report.installs.push_back(check::RunInstall(package, install));
    check::ApplyModuleFile(package.moduleFile, perUser, &report.installs.back());
  }
  check::CheckModuleFile(package.moduleFile, package.moduleName, &report.findings);
  check::CheckPackage(package, report.installs[0], &report.findings);
  std::unordered_set<std::string> seen;
  for (const check::Finding& f : report.findings) seen.insert(Key(f));
  for (std::size_t i = 0; i < report.installs.size(); ++i) {
    for (check::Finding f : report.installs[i].findings) {
      if (seen.count(Key(f))) continue;
      if (check::ToldByScriptProblem(package, f)) continue;
      seen.insert(Key(f));
      if (i > 0) {
        const std::string path = check::Utf8(report.installs[i].modulePath);
        f.notes.insert(f.notes.begin(), "installed as " + path);
        f.arguments.push_back({"installedAs", path});
      }
      report.findings.push_back(f);
    }
  }
  if (!manifestFile.empty()) {
    // The manifest against the module file and, when the package registers,
    // against its classes as registration leaves them on an empty registry.
    check::ManifestExpectation expected;
    expected.moduleName = package.moduleName;
    const check::ModuleFile& m = package.moduleFile;
    if (m.isPe && (m.architecture == "x86" || m.architecture == "x64")) expected.architecture = m.architecture;
    const check::Install& first = report.installs[0];
    std::string reason;
    expected.classesKnown = first.idsRead && check::RegisteredClasses(package, first, &expected.classes, &reason);
    check::CheckManifest(manifestFile, manifestBytes, expected, &report.findings);
  }
  std::stable_sort(report.findings.begin(), report.findings.end(),
                   [](const check::Finding& a, const check::Finding& b) {
                     return a.severity == check::Severity::kError && b.severity != check::Severity::kError;
                   });

  if (!manifestFile.empty()) report.sources.push_back({manifestFile, manifestBytes});
  const std::string text = format == "json"    ? check::JsonReport(report)
                           : format == "sarif" ? check::SarifReport(report)
                                               : check::TextReport(report);
  if (!check::PrintChecked("stub-check", text)) return 2;
  return report.ExitCode();
}

// Standard output flushed and closed, checked: a report cut short by a full
// disk or a closed pipe is an error, never a success.
int Finish(int code) {
  if (std::ferror(stdout)) return 2;  // already said
  errno = 0;
  if (std::fflush(stdout) != 0 || std::fclose(stdout) != 0) {
    check::io::PrintError(std::string("stub-check: cannot write to standard output: ") +
                          (errno ? std::strerror(errno) : "the write failed") + "\n");
    return 2;
  }
  return code;
}

}  // namespace

// On Windows the arguments as the system holds them (UTF-16), so that a path
// outside the ANSI code page reaches the file calls whole.
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
  // next: blocks from 1 MiB up go back to the system when freed, instead of
  // staying with the heap as glibc's growing threshold would leave them.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
  // The verb is the first operand when it is exactly a verb's name; anything
  // else is a check, as before the verbs came (./new names a folder).
  try {
    std::vector<std::string> rest;
    const std::string verb = check::FindVerb(check::io::Arguments(argc, argv),
                                             {&kCheckSpec, &check::kNewSpec, &check::kExportSpec}, &rest);
    if (verb == "new") return Finish(check::NewCommand(rest));
    if (verb == "export") return Finish(check::ExportCommand(rest));
    return Finish(CheckCommand(rest));
  } catch (const std::bad_alloc&) {
    // Everything made so far has been let go on the way here (what `new`
    // wrote included); what remains is to say so, not to abort.
    check::io::PrintError("stub-check: out of memory: the input needs more memory than the process may use "
                          "(ulimit -v?), so it gives no result\n");
    return 2;
  }
}
