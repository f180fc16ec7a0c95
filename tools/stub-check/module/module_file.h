// The module file of a package as Windows' loader sees it.
#pragma once

#include <string>
#include <vector>

#include "findings/finding.h"

namespace check {

struct ModuleFile {
  std::string path;  // as the check names it
  bool found = false;
  std::string format;  // "a PE DLL", "an empty file", ...
  bool isPe = false;
  bool isDll = false;
  std::string architecture;          // "x86", "x64", "ARM64", "machine 0x0166"
  int bits = 0;                      // 32 or 64 for x86 and x64, else 0
  std::vector<std::string> exports;  // those of Stub.dll's five it has
  std::vector<std::string> missing;  // those of the five it lacks
  bool hasVersion = false;
  std::string version;  // FileVersion of the fixed version information, "1.2.3.4"
  std::string problem;  // why a file that is there could not be read ("Permission denied")

  /// A DLL for x86 or x64 with all five exports of Stub.dll.
  bool IsThisModule() const { return isPe && isDll && bits && missing.empty(); }
  /// What regsvr32 exits with before it calls `entry`: 3 the file does not load, 4 the entry is
  /// missing; -1 when it calls the entry.
  int Exit(const char* entry) const;
  /// One phrase: format, exports, version.
  std::string Summary() const;
  /// Architecture, the hosts that load it and the regsvr32 that registers it.
  std::string ArchitectureLine() const;
};

ModuleFile ReadModuleFile(const std::string& path, bool found, const std::string& bytes);
/// Errors about a module file that is not a loadable copy of Stub.dll.
void CheckModuleFile(const ModuleFile& file, const std::string& moduleName, std::vector<Finding>* findings);

}  // namespace check
