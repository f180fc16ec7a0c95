// The check of a package as one pipeline (load -> run -> analyse), and its result as data: the report that
// report/ renders as text, JSON or SARIF.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "checks/package.h"
#include "findings/finding.h"
#include "io/file_system.h"
#include "registry/registry_state.h"

namespace check {

struct CheckRequest {
  std::string input;                         // a module copy (Aurora.dll) or its package folder (Aurora)
  std::shared_ptr<const Package> package;    // a package made already (PackageOfScripts), not `input`
  std::vector<std::string> registryFiles;    // the .reg exports to start from, in order (--registry)
  Snapshot registry;                         // more keys to start from (a test's copy of a real registry)
  std::vector<std::u16string> installPaths;  // empty: C:\Packages\ and a path with blanks and apostrophes
  bool perUser = false;                      // regsvr32 /n /i:user
  const FileSystem* files = nullptr;         // where `input` and the exports are read; null: SystemFiles()
};

/// What the check found, every fact of it as data.
struct Report {
  std::shared_ptr<const Package> package;
  Regsvr32 registering, removing;  // the regsvr32 commands and the module file's exit before any script
  std::vector<Install> installs;
  std::vector<Finding> findings;
  /// Files findings are placed in besides the scripts (a manifest): name, bytes.
  std::vector<std::pair<std::string, std::string>> sources;
  std::string refused;  // why the check could not be made; then nothing else is set
  int Count(Severity severity) const;
  int Errors() const { return Count(Severity::kError); }
  int Warnings() const { return Count(Severity::kWarning); }
  int ExitCode() const { return Errors() ? 2 : Warnings() ? 1 : 0; }
};

/// The package checked as `request` says, in one emulator session: load the package, run it on an
/// emulated machine, analyse what the runs did; every verb, the fuzzers and the tests go through it.
/// When the check cannot be made (no such package, an export that cannot be read), `refused` says why
/// and nothing else is set.
Report Check(const CheckRequest& request);

/// `findings` with the errors first, each kind in the order it was found.
void ErrorsFirst(std::vector<Finding>* findings);

}  // namespace check
