// stub-check: the package checker's command line.
//
//   stub-check [check] [--format text|json] [--registry FILE.reg]... [--module-path PATH]
//              [--per-user] PACKAGE
//   stub-check new ...      (new_package.cpp)
//   stub-check export ...   (export_keys.cpp)
//
// PACKAGE is a module copy (Aurora.dll, its scripts in Aurora/ beside it) or
// the package folder itself. Exit code: 0 clean, 1 warnings only, 2 errors
// (also for a command line that cannot be followed).
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
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
#include "package/package_classes.h"
#include "platform/emulated/emulator.h"
#include "verbs.h"

namespace {

namespace fs = std::filesystem;

constexpr char kUsage[] =
    "usage: stub-check [check] [--format text|json] [--registry FILE.reg]... [--module-path PATH]\n"
    "                  [--per-user] PACKAGE\n"
    "  PACKAGE        a module copy (Aurora.dll) or its package folder (Aurora)\n"
    "  --format       text (default) or json\n"
    "  --registry     a .reg export to start from instead of an empty registry; may be\n"
    "                 given more than once (say the machine's and the user's classes)\n"
    "  --module-path  check as installed at this Windows path (default: C:\\Packages\\<module>\n"
    "                 and C:\\Program Files\\O'Brien's Packages\\<module>)\n"
    "  --per-user     check registration for the current user (regsvr32 /n /i:user)\n"
    "exit code: 0 clean, 1 warnings only, 2 errors\n"
    "other verbs: stub-check new NAME ... (a fresh package), stub-check export ... (keys for\n"
    "installers); each with --help\n";

std::string Key(const check::Finding& f) {
  return f.code + "|" + f.file + "|" + std::to_string(f.line) + "|" + std::to_string(f.column);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // The same bytes as on Linux: line ends stay "\n".
  _setmode(_fileno(stdout), _O_BINARY);
#endif
#ifdef __GLIBC__
  // A large script's text is read several times, each copy let go before the
  // next: blocks from 1 MiB up go back to the system when freed, instead of
  // staying with the heap as glibc's growing threshold would leave them.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
  // A first argument that is exactly a verb chooses it; anything else is a check,
  // as before the verbs came (./new names a folder).
  if (argc > 1 && std::string(argv[1]) == "new") return check::NewCommand(argc - 1, argv + 1);
  if (argc > 1 && std::string(argv[1]) == "export") return check::ExportCommand(argc - 1, argv + 1);
  if (argc > 1 && std::string(argv[1]) == "check") {
    --argc;
    ++argv;
  }
  std::string format = "text", modulePath, input;
  std::vector<std::string> registryFiles;
  bool perUser = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--registry" && i + 1 < argc) {
      registryFiles.push_back(argv[++i]);
    } else if ((arg == "--format" || arg == "--module-path") && i + 1 < argc) {
      (arg == "--format" ? format : modulePath) = argv[++i];
    } else if (arg == "--per-user") {
      perUser = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (!arg.empty() && arg[0] != '-' && input.empty()) {
      input = arg;
    } else {
      std::fprintf(stderr, "stub-check: unexpected argument '%s'\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }
  if (input.empty() || (format != "text" && format != "json")) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  check::Package package;
  package.input = input;
  package.perUser = perUser;
  std::error_code error;
  std::string path = input, modulePathHere;
  while (path.size() > 1 && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  if (fs::is_directory(path, error)) {
    // The package folder: the module copy would stand beside it as <folder>.dll.
    package.moduleName = fs::path(path).filename().string() + ".dll";
    package.realFolder = path + "/";
    modulePathHere = path + ".dll";
  } else if (fs::exists(path, error)) {
    // The module copy: its folder is its path less the last four characters,
    // as the module derives it.
    package.moduleName = fs::path(path).filename().string();
    modulePathHere = path;
    package.realFolder = (path.size() > 4 ? path.substr(0, path.size() - 4) : std::string()) + "/";
  } else {
    std::fprintf(stderr, "stub-check: %s: no such file or folder\n", input.c_str());
    return 2;
  }
  for (int i = 0; i < 2; ++i) package.scripts[i].name = check::Utf8(PackageClasses[i].scriptName);
  for (check::ScriptFile& script : package.scripts) check::FindScript(package.realFolder, &script);

  {
    // The module copy itself; a folder checked alone may have none beside it yet.
    std::string bytes;
    const bool found = fs::is_regular_file(modulePathHere, error) && check::ReadWholeFile(modulePathHere, &bytes);
    package.moduleFile = check::ReadModuleFile(modulePathHere, found, bytes);
  }

  for (const std::string& file : registryFiles) {
    std::string bytes, problem;
    check::RegistryExport e;
    e.file = file;
    emu::Reset();
    if (!check::ReadWholeFile(file, &bytes) || !check::ParseRegFile(std::move(bytes), &e.keys, &e.notes, &problem)) {
      std::fprintf(stderr, "stub-check: %s: %s\n", file.c_str(),
                   problem.empty() ? "cannot be read" : problem.c_str());
      return 2;
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
  std::vector<std::string> seen;
  for (const check::Finding& f : report.findings) seen.push_back(Key(f));
  for (std::size_t i = 0; i < report.installs.size(); ++i) {
    for (check::Finding f : report.installs[i].findings) {
      if (std::find(seen.begin(), seen.end(), Key(f)) != seen.end()) continue;
      seen.push_back(Key(f));
      if (i > 0) f.message = "installed as " + check::Utf8(report.installs[i].modulePath) + ": " + f.message;
      report.findings.push_back(f);
    }
  }
  std::stable_sort(report.findings.begin(), report.findings.end(),
                   [](const check::Finding& a, const check::Finding& b) {
                     return a.severity == check::Severity::kError && b.severity != check::Severity::kError;
                   });

  const std::string text = format == "json" ? check::JsonReport(report) : check::TextReport(report);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return report.ExitCode();
}
