// The check as one pipeline: load the package, run it on an emulated machine, analyse what the
// runs did, render the report. Every verb, the fuzzers and the tests go through it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "checks/package.h"
#include "registry/registry_state.h"
#include "report/report.h"

namespace check {

struct CheckRequest {
  std::string input;                       // a module copy (Aurora.dll) or its package folder (Aurora)
  std::shared_ptr<const Package> package;  // a package made already (PackageOfScripts), not `input`
  std::vector<std::string> registryFiles;  // the .reg exports to start from, in order (--registry)
  Snapshot registry;                       // more keys to start from (a test's copy of a real registry)
  std::vector<std::u16string> installPaths;  // empty: C:\Packages\ and a path with blanks and apostrophes
  bool perUser = false;      // regsvr32 /n /i:user
  std::string manifestFile;  // with --manifest: the file as given, and its bytes
  std::string manifestBytes;
  std::string format;  // "text", "json" or "sarif": what Report::text holds; empty: none
};

/// The package checked as `request` says, in one emulator session. When the check cannot be made
/// (no such package, an export that cannot be read), `refused` says why and nothing else is set.
Report Check(const CheckRequest& request);

}  // namespace check
