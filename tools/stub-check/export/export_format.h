// The formats `stub-check export` writes: each one writer, in a file of its own, handed the same record. A
// new format is a new file with its writer (declared below) and one row of kExportFormats.
#pragma once

#include <string>
#include <vector>

#include "checks/package.h"
#include "module/module_file.h"
#include "options/command_line.h"
#include "registry/registry_state.h"

namespace check {

/// One key as an installer writes it: its root and the path below the root.
struct ExportedKey {
  HKEY root;          // HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER or HKEY_USERS
  std::string below;  // Software\Classes\CLSID\{...}
  const RegKey* key;  // its values, by case-folded name
  bool category;      // a component category, shared by every package
};

/// What every writer is handed: the package, checked, and the keys its registration writes.
struct ExportedPackage {
  const ParsedLine& options;  // the verb's command line, for a format's own options
  std::string moduleName;     // "Aurora.dll"
  std::string stem;           // "Aurora": the module name less its extension
  std::string arch;           // "x86" or "x64"
  bool perUser;               // what regsvr32 /n /i:user writes, under HKCU
  const ModuleFile& moduleFile;
  const Package& package;
  const Install& install;                // the run the keys come from: class identifiers, install path
  const std::vector<ExportedKey>& keys;  // in tree order, every name writable as .reg and XML
};

/// One format of `export --format`.
struct ExportFormat {
  const char* name;  // the --format value
  const char* help;  // what the format is, for --help (lines split by "\n")
  /// Null when the keys name the path --module-path gives, which is required. Otherwise the format names the
  /// installed file its own way (in place of kPlaceholderFolder), and this says why --module-path is refused.
  const char* ownFileReference;
  /// Checks the format's own options before anything runs; null for none.
  bool (*checkOptions)(const ParsedLine& options, const std::string& stem, std::string* problem);
  /// Writes the whole text, or false with `problem` saying what cannot be and why.
  bool (*write)(const ExportedPackage& package, std::string* text, std::string* problem);
};

/// Where the keys point for such a format: a blank and an apostrophe test the quoting.
inline constexpr char kPlaceholderFolder[] = "C:\\Program Files\\O'Brien's Packages\\";

// The writers, one file each.
bool WriteRegText(const ExportedPackage& package, std::string* text, std::string* problem);
bool CheckWixOptions(const ParsedLine& options, const std::string& stem, std::string* problem);
bool WriteWixFragment(const ExportedPackage& package, std::string* text, std::string* problem);
bool CheckManifestOptions(const ParsedLine& options, const std::string& stem, std::string* problem);
bool WriteManifestFile(const ExportedPackage& package, std::string* text, std::string* problem);

}  // namespace check
