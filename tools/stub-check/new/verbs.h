// The author's verbs besides checking: `new` lays out a fresh package, `export`
// prints the registry keys an installer writes instead of self-registration.
// The helpers below are shared by both and by their tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/command_line.h"

namespace check {

/// `stub-check new ...` and `stub-check export ...`; `args` are what follows
/// the verb. Each answers the process exit code: 0 done, 2 refused or failed
/// (nothing written).
int NewCommand(const std::vector<std::string>& args);
int ExportCommand(const std::vector<std::string>& args);
extern const VerbSpec kNewSpec;
extern const VerbSpec kExportSpec;

/// The folder the running program was started from ("" when unknown).
std::string ProgramFolder();

/// Where `new` takes the module of `arch` from when no --module is given: the
/// release's <arch>/Stub.dll beside the program's own folder (a release holds
/// x64/, x86/ and linux-x86_64/), else the build tree's windows-<arch>/src/exports/Stub.dll
/// beside the program's own build. Empty when neither exists; `tried` lists
/// the places looked at.
std::string FindShippedModule(const std::string& arch, std::string* tried);

/// What `new` writes of each class of the package (PackageClasses), in its
/// order: the middle of its ProgIDs (NAME.Style.1), its description after the
/// package's name, and its threading model.
struct NewClass {
  const char* kind;
  const char* description;
  const char* threadingModel;
};
inline constexpr NewClass kNewClasses[] = {{"Style", "Style", "Apartment"}, {"StyleText", "Text Style", "Both"}};

/// Whether `name` makes valid ProgIDs `name`.StyleText.1 and the like and a
/// valid file and folder name on Windows; otherwise `problem` says why.
bool ValidPackageName(const std::string& name, std::string* problem);

}  // namespace check
