// The formats `stub-check export` writes. The verb checks the package, runs
// its registration once and collects the keys it writes; each format is then
// one writer, in a file of its own, handed the same record. A new format is a
// new file with its writer (declared below) and one row of kExportFormats.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "checker.h"
#include "cli/command_line.h"

namespace check {

/// One key as an installer writes it: its root and the path below the root.
struct ExportedKey {
  HKEY root;          // HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER or HKEY_USERS
  std::string below;  // Software\Classes\CLSID\{...}
  const RegKey* key;  // its values, by case-folded name
  bool category;      // a component category, shared by every package
};

/// What every writer is handed: the package, checked, and the keys its
/// registration writes on a registry without it, in tree order. Keys made only
/// on the way to others are left out; every key and value name can be written
/// as .reg and XML text.
struct ExportedPackage {
  const ParsedLine& options;  // the verb's command line, for a format's own options
  std::string moduleName;     // "Aurora.dll"
  std::string stem;           // "Aurora": the module name less its extension
  std::string arch;           // "x86" or "x64"
  bool perUser;               // what regsvr32 /n /i:user writes, under HKCU
  const ModuleFile& moduleFile;
  const Package& package;
  const Install& install;     // the run the keys come from: class identifiers, install path
  const std::vector<ExportedKey>& keys;
};

/// One format of `export --format`.
struct ExportFormat {
  const char* name;  // the --format value
  const char* help;  // what the format is, for --help (lines split by "\n")
  /// Null when the keys are made for the path given with --module-path, which
  /// the format then requires. Otherwise the format names the installed file
  /// in its own way (the keys are made for kPlaceholderFolder, which the
  /// writer replaces), --module-path is refused, and this says why.
  const char* ownFileReference;
  /// Checks the format's own options before anything runs; null for none.
  bool (*checkOptions)(const ParsedLine& options, const std::string& stem, std::string* problem);
  /// Writes the whole text, or answers false with `problem` saying what cannot
  /// be written and what to do; nothing is printed then.
  bool (*write)(const ExportedPackage& package, std::string* text, std::string* problem);
};

/// Where the keys point when the format names no installed path: a path with
/// a blank and an apostrophe, so that the scripts' quoting is exercised.
inline constexpr char kPlaceholderFolder[] = "C:\\Program Files\\O'Brien's Packages\\";

// The writers, one file each.
bool WriteRegText(const ExportedPackage& package, std::string* text, std::string* problem);
bool CheckWixOptions(const ParsedLine& options, const std::string& stem, std::string* problem);
bool WriteWixFragment(const ExportedPackage& package, std::string* text, std::string* problem);
bool CheckManifestOptions(const ParsedLine& options, const std::string& stem, std::string* problem);
bool WriteManifestFile(const ExportedPackage& package, std::string* text, std::string* problem);

}  // namespace check
