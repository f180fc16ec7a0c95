// A package as the checker reads it and its runs (the load, registration and removal the module would do,
// over the emulated platform), as data.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "findings/finding.h"
#include "io/file_system.h"
#include "module/module_file.h"
#include "package/class_identity.h"
#include "registry/emulator_session.h"
#include "registry/registry_state.h"
#include "scripts/script_reading.h"
#include "text/text.h"

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
  // The module file ends the run before any script runs, with `exitCode`: a file that does not load, or
  // lacks the entry regsvr32 calls. `result` is then what a copy of Stub.dll would answer.
  bool fileStops = false;
};

/// A regsvr32 command that registers the package or removes it, and the exit code the module file makes it
/// give before any script runs: 3 when the file does not load, 4 when it lacks `entry`; -1 when regsvr32
/// calls `entry` (a loadable copy of Stub.dll).
struct Regsvr32 {
  std::string command;  // "regsvr32 /u /n /i:user"
  std::string entry;    // "DllUnregisterServer"
  int fileExit = -1;
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
  std::vector<Place> idPlaces;     // where each scan read its identifier in the script; no line: nowhere
  bool idsRead = false;
  RunResult registration;
  Snapshot registered;          // the keys registration made or changed, whole: what an installer writes
  Snapshot unchangedClassKeys;  // each class's own keys that registration found and left as they were
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
bool LoadPackage(const FileSystem& files, const std::string& input, Package* package, std::string* problem);
/// A package of scripts given as bytes, one per row of PackageClasses: for tests.
Package PackageOfScripts(const std::string& moduleName, const std::vector<std::string>& scripts);
/// The scripts' names as a list for a sentence: "Style.rgs and StyleText.rgs".
std::string ScriptNames();
/// How regsvr32 registers `package` (or, with `removal`, removes it), and what its module file makes it exit
/// with before any script runs.
Regsvr32 Regsvr32Of(const Package& package, bool removal);

/// `package` installed as `modulePath`, from the registry the session holds (given back so): the load
/// (what the module does at process attach, reading files alone), the module's own scan of each script,
/// then, when it loads, registration and removal; what they did, and the findings.
Install RunInstall(EmulatorSession& session, const Package& package, const std::u16string& modulePath);

/// A finding: one short message at its place, the facts around it as notes, and what to write instead.
inline Finding Noted(FindingCode code, std::string file, Place place, std::string message, std::string remedy,
                     std::vector<std::string> notes) {
  return Raise(code, std::move(file), place.line, place.column, std::move(message), std::move(remedy),
               std::move(notes));
}

/// How to write a class identifier where the module reads it.
inline constexpr char kIdentifierRemedy[] =
    "write CLSID = s '{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}' (CLSID in upper case, a lower-case "
    "s, a braced identifier of 38 characters) right after the file's second '{': the ProgID "
    "block, whose block holds that CLSID value, comes first in the file";

/// Findings about the package itself: name, scripts, encoding, identifiers.
void CheckPackage(const Package& package, const Install& first, std::vector<Finding>* findings);

/// Where the module's scan of a script read its identifier; no place when it read none.
inline Place IdentifierPlace(const std::string& bytes, const ClassIdScan& scan) {
  return scan.identifierStart < 0 ? Place() : PlaceOf(bytes, TextModeOffset(bytes, scan.identifierStart));
}

}  // namespace check
