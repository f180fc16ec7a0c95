// The class identifiers of the two served classes, read from the package scripts.
#pragma once

#include <cstddef>

#include "platform/platform.h"
#include "server/class_table.h"

/// A braced identifier's text, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", terminated.
inline constexpr std::size_t kGuidTextCapacity = 39;

/// Writes `id` in its braced upper-case form, as the registry spells class keys.
void FormatGuid(const GUID& id, char16_t (&text)[kGuidTextCapacity]);

/// Where and why the identifier scan of a script stopped, for the module's own
/// tools (the package checker); the module itself asks for none. Offsets count
/// the characters the scan read, as the C runtime's text mode gives them (a CR
/// before LF dropped, the file ending at a Ctrl+Z); -1 where the scan did not get.
struct ClassIdScan {
  long afterBraces = -1;      // just after the second "{"
  long stop = -1;             // the character the scan stopped at (at the end: the count read)
  char expected = 0;          // the character of "CLSID = s '" the text did not match there, or 0
  long identifierStart = -1;  // where the identifier's characters began
};

/// Reads the class identifier of one script: the text right after the second "{"
/// of the file, in the form ` CLSID = s '{...}'`. A script that cannot be opened
/// shows "Resource failed to register!" naming the path and answers E_INVALIDARG;
/// text that is no identifier shows "Invalid GUID!" with the scanned text and
/// answers the parser's failure. `*classId` is written only on success; `scan`,
/// when given, receives where the scan stopped.
HRESULT ReadScriptClassId(const char16_t* scriptPath, GUID* classId, ClassIdScan* scan = nullptr);

/// Reads `directory`Style.rgs into CLSID_Stub, then `directory`StyleText.rgs into
/// CLSID_StubText. The first failure stops it, so a bad Style.rgs leaves
/// StyleText.rgs unopened and CLSID_StubText unchanged.
HRESULT ReadPackageClassIds(const char16_t* directory);

/// Fills `longPath` and `directory` (kModulePathCapacity units each) with the
/// long path of `module` and the package folder beside it, then reads both class
/// identifiers from the folder. When the module's file name does not fit
/// (kModulePathCapacity - 1 characters at most), shows "Module path too long!"
/// with the part that fits and answers HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER),
/// looking for no script. When no package folder can be named from the file
/// name, shows "Resource failed to register!" with the path and answers
/// E_INVALIDARG; otherwise answers ReadPackageClassIds.
HRESULT LocatePackage(HMODULE module, char16_t* longPath, char16_t* directory);

/// LocatePackage for this module's own file: what registration and removal do
/// first, and what the module offers its own tools (the package checker runs
/// the module's code over the emulated platform). On success the class
/// identifiers stand in the `classId` of each row of PackageClasses.
HRESULT LocateThisPackage(char16_t* longPath, char16_t* directory);
