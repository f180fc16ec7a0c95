#include "package/class_identity.h"

#include <cstddef>
#include <cstdint>

#include "package/message_box.h"
#include "package/message_captions.h"
#include "package/module_path.h"
#include "package/package_classes.h"
#include "platform/hresult.h"
#include "platform/unique_resource.h"
#include "server/server_module.h"
#include "stub/stub_script_values.h"

namespace {

// Scanned identifier text, terminator included.
constexpr int kClassIdTextCapacity = STUB_SCRIPT_CLASSID_CAPACITY + 1;

// Whitespace as C's isspace in the C locale.
bool IsSpace(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The characters an identifier's text may hold: braces, hexadecimal digits, hyphens.
bool IsIdentifierChar(int c) {
  return c == '{' || c == '}' || c == '-' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
         (c >= 'A' && c <= 'F');
}

// Only the emulated build, which the package checker runs, reports where a
// scan stopped: the shipped module never asks, and carries none of it.
#if defined(_WIN32) && !defined(STUB_EMULATED_PLATFORM)
constexpr bool kScanReports = false;
#else
constexpr bool kScanReports = true;
#endif

// One character of look-ahead over an open script, counting what it read
// for a caller that asks where the scan stopped.
struct CScanReader {
  FILE* file;
  long read = 0;
  int c = 0;
  void Next() {
    c = sys::fgetc(file);
    if (c != EOF) ++read;
  }
  // The offset of the look-ahead character (the count read, at the end).
  long At() const { return c == EOF ? read : read - 1; }
};

// Reads the identifier text of an open script into `text` (zeroed first); a
// pattern blank matches any run of whitespace (also none), every other
// pattern character must match exactly. A mismatch ends the scan with
// whatever was stored so far. `scan`, when given, learns where it stopped.
void ScanClassIdText(FILE* file, char16_t (&text)[kClassIdTextCapacity], ClassIdScan* scan) {
  for (char16_t& unit : text) unit = 0;
  CScanReader in{file};
  in.Next();
  int braces = 0;
  for (; braces < 2 && in.c != EOF; in.Next()) {
    if (in.c == '{') ++braces;
  }
  if (kScanReports && scan && braces == 2) scan->afterBraces = in.At();
  for (const char* pattern = STUB_SCRIPT_CLASSID_LEAD; *pattern; ++pattern) {
    if (*pattern == ' ') {
      while (in.c != EOF && IsSpace(in.c)) in.Next();
    } else if (in.c == *pattern) {
      in.Next();
    } else {
      if (kScanReports && scan) scan->stop = in.At(), scan->expected = *pattern;
      return;
    }
  }
  if (kScanReports && scan) scan->identifierStart = in.At();
  // The last unit stays the terminator: a longer run is cut, and no identifier.
  for (int n = 0; n < kClassIdTextCapacity - 1 && in.c != EOF && IsIdentifierChar(in.c); ++n) {
    text[n] = static_cast<char16_t>(in.c);
    in.Next();
  }
  if (kScanReports && scan) scan->stop = in.At();
}

HRESULT ReadClassIdInto(const char16_t* directory, const char16_t* scriptName, GUID* classId) {
  char16_t path[kScriptPathCapacity];
  if (!JoinPath(directory, scriptName, path)) return E_INVALIDARG;
  return ReadScriptClassId(path, classId);
}

}  // namespace

void FormatGuid(const GUID& id, char16_t (&text)[kGuidTextCapacity]) {
  static const char16_t kDigits[] = u"0123456789ABCDEF";
  std::uint8_t bytes[16];
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(id.Data1 >> (24 - 8 * i));
  for (int i = 0; i < 2; ++i) bytes[4 + i] = static_cast<std::uint8_t>(id.Data2 >> (8 - 8 * i));
  for (int i = 0; i < 2; ++i) bytes[6 + i] = static_cast<std::uint8_t>(id.Data3 >> (8 - 8 * i));
  for (int i = 0; i < 8; ++i) bytes[8 + i] = id.Data4[i];
  std::size_t n = 0;
  text[n++] = u'{';
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text[n++] = u'-';
    text[n++] = kDigits[bytes[i] >> 4];
    text[n++] = kDigits[bytes[i] & 0xF];
  }
  text[n++] = u'}';
  text[n] = 0;
}

HRESULT ReadScriptClassId(const char16_t* scriptPath, GUID* classId, ClassIdScan* scan) {
  char16_t text[kClassIdTextCapacity];
  {
    // Open only while the identifier text is scanned.
    const CUniqueFile file(sys::_wfopen(scriptPath, u"rt"));
    if (!file) {
      ShowMessageBox(scriptPath, kMissingScriptCaption);
      return E_INVALIDARG;
    }
    ScanClassIdText(file.Get(), text, scan);
  }

  // Some COM runtimes read an empty text as the null identifier and report
  // success; a script without an identifier must fail all the same.
  GUID parsed = {};
  HRESULT result = text[0] ? sys::CLSIDFromString(text, &parsed) : CO_E_CLASSSTRING;
  if (FAILED(result)) {
    ShowMessageBox(text, kBadIdentifierCaption);
    return result;
  }
  *classId = parsed;
  return S_OK;
}

HRESULT LocatePackage(HMODULE module, char16_t* longPath, char16_t* directory) {
  directory[0] = 0;
  if (!GetModuleLongPath(module, longPath)) {
    // A cut name would lead to another folder, or to none: nothing is looked for.
    for (std::size_t i = kModulePathCapacity - 4; i < kModulePathCapacity - 1; ++i) {
      longPath[i] = u'.';
    }
    ShowMessageBox(longPath, kModulePathTooLongCaption);
    return HResultFromWin32(ERROR_INSUFFICIENT_BUFFER);
  }
  if (!GetPackageDirectory(longPath, directory)) {
    // No package folder can be named from this file name, so no script can be found.
    ShowMessageBox(longPath, kMissingScriptCaption);
    return E_INVALIDARG;
  }
  return ReadPackageClassIds(directory);
}

HRESULT LocateThisPackage(char16_t* longPath, char16_t* directory) {
  return LocatePackage(ModuleInstance, longPath, directory);
}

HRESULT ReadPackageClassIds(const char16_t* directory) {
  for (const PackageClass& row : PackageClasses) {
    const HRESULT result = ReadClassIdInto(directory, row.scriptName, row.classId);
    if (FAILED(result)) return result;
  }
  return S_OK;
}
