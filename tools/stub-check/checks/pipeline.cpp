// The check's one pipeline: load -> run -> analyse. The command line renders what it gives.
#include <algorithm>
#include <unordered_set>

#include "checks/check.h"
#include "findings/finding.h"
#include "io/checked_files.h"
#include "io/file_system.h"
#include "module/module_file.h"
#include "registry/emulator_session.h"
#include "registry/registry_state.h"
#include "text/text.h"

namespace check {
namespace {

// Load: the package, and the exports to start from (read, not yet merged).
bool Load(const CheckRequest& request, Package* package, std::string* refused) {
  const FileSystem& files = request.files ? *request.files : SystemFiles();
  if (request.package)
    *package = *request.package;
  else if (!LoadPackage(files, request.input, package, refused))
    return false;
  package->perUser = request.perUser;
  // One export at a time: its bytes go once its keys are read.
  for (const std::string& file : request.registryFiles) {
    RegistryExport e;
    e.file = file;
    std::string bytes, reason;
    bool tooLarge = false;
    const bool read = files.Read(file, kRegistrySizeLimit, &bytes, &reason, &tooLarge);
    if (!read || !ParseRegFile(std::move(bytes), &e.keys, &e.notes, &reason)) {
      *refused = "--registry " + Quoted(file) + (read ? ": " : " cannot be read: ") + reason +
                 (read       ? ""
                  : tooLarge ? "; export only the classes the package meets (HKLM\\SOFTWARE\\Classes, or the "
                               "keys its scripts name)"
                             : "; give a .reg file exported with regedit or reg export");
      return false;
    }
    package->exports.push_back(std::move(e));
  }
  return true;
}

}  // namespace

int Report::Count(Severity severity) const {
  auto same = [&](const Finding& f) { return f.severity == severity; };
  return static_cast<int>(std::count_if(findings.begin(), findings.end(), same));
}

void ErrorsFirst(std::vector<Finding>* findings) {
  std::stable_sort(findings->begin(), findings->end(), [](const Finding& a, const Finding& b) {
    return a.severity == Severity::kError && b.severity != Severity::kError;
  });
}

Report Check(const CheckRequest& request) {
  Report report;
  auto package = std::make_shared<Package>();
  if (!Load(request, package.get(), &report.refused)) return report;
  // Run: the registry to start from, then each install's load, registration and removal; by
  // default at C:\Packages and under a path with blanks and apostrophes.
  EmulatorSession session;
  CombineExports(session, &package->exports);
  session.Restore(request.registry);
  const std::u16string name = Utf16(package->moduleName);
  std::vector<std::u16string> paths = request.installPaths;
  if (paths.empty()) paths = {u"C:\\Packages\\" + name, u"C:\\Program Files\\O'Brien's Packages\\" + name};
  for (const std::u16string& path : paths) report.installs.push_back(RunInstall(session, *package, path));
  // The registry to start from as the runs give it back: per user, with the user's classes key.
  package->baseKeys = session.CountKeys();
  report.package = package;
  report.registering = Regsvr32Of(*package, false);
  report.removing = Regsvr32Of(*package, true);
  // Analyse: the module file, the package, each install and the manifest, errors first.
  CheckModuleFile(package->moduleFile, package->moduleName, &report.findings);
  CheckPackage(*package, report.installs[0], &report.findings);
  // The same finding (code and place) once: from the package's own checks first, then from each install,
  // the later ones saying where they were installed. A load failure of a script there but unreadable is
  // left to the script's own finding.
  auto key = [](const Finding& f) {
    return std::string(CodeName(f.code)) + "|" + f.file + "|" + std::to_string(f.line) + "|" +
           std::to_string(f.column);
  };
  auto toldByScript = [&](const Finding& f) {
    return f.code == FindingCode::kLoadFails &&
           std::any_of(package->scripts.begin(), package->scripts.end(),
                       [&](const ScriptFile& s) { return !s.problem.empty() && f.Arg("script") == s.name; });
  };
  std::unordered_set<std::string> seen;
  for (const Finding& f : report.findings) seen.insert(key(f));
  for (std::size_t i = 0; i < report.installs.size(); ++i) {
    for (Finding f : report.installs[i].findings) {
      if (!seen.insert(key(f)).second || toldByScript(f)) continue;
      if (i > 0) {
        const std::string path = Utf8(report.installs[i].modulePath);
        f.notes.insert(f.notes.begin(), "installed as " + path);
        f.arguments.push_back({"installedAs", path});
      }
      report.findings.push_back(std::move(f));
    }
  }
  ErrorsFirst(&report.findings);
  return report;
}

}  // namespace check
