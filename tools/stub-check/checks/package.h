// A package as the checker reads it, its runs (the load, registration and removal the module would do,
// over the emulated platform) and the check of it as one pipeline.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "module/module_file.h"
#include "package/class_identity.h"
#include "registry/emulator_session.h"
#include "registry/registry_state.h"
#include "report/findings.h"
#include "scripts/script_reading.h"

namespace check {

struct ScriptFile {
  std::string name;      // "Style.rgs"
  std::string realPath;  // where it was read on this machine
  bool found = false;
  bool isFolder = false;
  std::string problem;  // why it, or its folder, cannot be read ("a FIFO (named pipe), not a file")
  bool tooLarge = false;
  // Shared with the emulated machine's file: a large script is held once.
  std::shared_ptr<const std::string> bytes = std::make_shared<const std::string>();
  std::string encoding;  // for the report
};

struct Box {
  std::string caption;
  std::string text;
};

struct RunResult {
  HRESULT result = S_OK;
  std::vector<Box> boxes;
  std::string changes;  // .reg text
  int exitCode = 0;     // what regsvr32 would exit with
  bool ran = false;
  std::string lastScript;  // the script the run opened last ("Style.rgs")
};

struct LeftKey {
  std::u16string path;
  std::string reason;
};

struct Install {
  std::u16string modulePath;
  std::u16string classesKey;  // where the scripts' HKCR lands: HKCR, or the user's classes key
  std::u16string directory;   // empty when none can be named
  RunResult load;
  std::vector<GUID> ids;           // the class identifiers the load read, one per row of PackageClasses
  std::vector<ClassIdScan> scans;  // where the module's scan of each script stopped, as it reported
  bool idsRead = false;
  RunResult registration;
  Snapshot registered;  // the keys registration made or changed, whole: what an installer writes
  RunResult removal;
  std::vector<LeftKey> leftBehind;
  std::vector<Finding> findings;
};

struct Package {
  std::string input;                    // as given
  std::string moduleName;               // "Aurora.dll"
  std::string realFolder;               // the folder the scripts were read from
  std::vector<ScriptFile> scripts;      // one per row of PackageClasses, in its order
  std::size_t baseKeys = 0;             // keys of the registry to start from (the emulated one)
  std::vector<RegistryExport> exports;  // the --registry files it was made of
  ModuleFile moduleFile;                // the module copy itself (not found when checked by folder)
  bool perUser = false;                 // registration for one user: regsvr32 /n /i:user
};

/// The package of `input`, a module copy (Aurora.dll) or its package folder (Aurora): the module
/// file, and each script in the folder the module derives from the copy's path. False with
/// `problem` set when `input` is neither.
bool LoadPackage(const std::string& input, Package* package, std::string* problem);
/// A package of scripts given as bytes, one per row of PackageClasses: for tests.
Package PackageOfScripts(const std::string& moduleName, const std::vector<std::string>& scripts);
/// The scripts' names as a list for a sentence: "Style.rgs and StyleText.rgs".
std::string ScriptNames();

/// `package` installed as `modulePath`, from the registry the session holds (given back so): the load
/// (what the module does at process attach, reading files alone), the module's own scan of each script,
/// then, when it loads, registration and removal; what they did, and the findings.
Install RunInstall(EmulatorSession& session, const Package& package, const std::u16string& modulePath);

/// A finding: one short message at its place, the facts around it as notes, and what to write instead.
inline Finding Noted(Severity severity, std::string code, std::string file, Place place, std::string message,
                     std::string remedy, std::vector<std::string> notes) {
  return {severity, code, file, place.line, place.column, message, remedy, 0, notes};
}

/// How to write a class identifier where the module reads it.
inline constexpr char kIdentifierRemedy[] =
    "write CLSID = s '{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}' (CLSID in upper case, a lower-case "
    "s, a braced identifier of 38 characters) right after the file's second '{': the ProgID "
    "block, whose block holds that CLSID value, comes first in the file";

/// Findings about the package itself: name, scripts, encoding, identifiers.
void CheckPackage(const Package& package, const Install& first, std::vector<Finding>* findings);

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

struct Report;
/// The package checked as `request` says, in one emulator session: load the package, run it on an
/// emulated machine, analyse what the runs did, render the report; every verb, the fuzzers and the
/// tests go through it. When the check cannot be made (no such package, an export that cannot be
/// read), `refused` says why and nothing else is set.
Report Check(const CheckRequest& request);

/// Where the module's scan of a script read its identifier; no place when it read none.
inline Place IdentifierPlace(const std::string& bytes, const ClassIdScan& scan) {
  return scan.identifierStart < 0 ? Place() : PlaceOf(bytes, TextModeOffset(bytes, scan.identifierStart));
}

}  // namespace check
