// Reading the class identifier a package script names, the way the module
// reads it while it loads, but without showing anything: a host learns here
// what would have stopped the load on an "Invalid GUID!" box.
#include "stub/stub_host.h"

namespace stub {
namespace host {
namespace {

// The module scans into a 128-unit buffer whose last unit stays the
// terminator: a longer run is cut at 127 characters.
constexpr std::size_t kScanCapacity = 127;

// Whitespace as C's isspace in the C locale.
bool IsSpace(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The characters an identifier's text may hold: braces, hexadecimal digits, hyphens.
bool IsIdentifierChar(int c) {
  return c == '{' || c == '}' || c == '-' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
         (c >= 'A' && c <= 'F');
}

// Reads a file a byte at a time through a buffer. The module opens its
// scripts in text mode, where a Ctrl-Z byte (0x1A) ends the file: so it does here.
class ByteReader {
 public:
  explicit ByteReader(HANDLE file) : file_(file) {}
  int Next() {
    if (ended_) return -1;
    if (position_ == filled_) {
      DWORD read = 0;
      if (!ReadFile(file_, buffer_, sizeof buffer_, &read, nullptr) || read == 0) {
        ended_ = true;
        return -1;
      }
      filled_ = read;
      position_ = 0;
    }
    const int c = buffer_[position_++];
    if (c == 0x1A) {
      ended_ = true;
      return -1;
    }
    return c;
  }

 private:
  HANDLE file_;
  unsigned char buffer_[4096];
  DWORD filled_ = 0;
  DWORD position_ = 0;
  bool ended_ = false;
};

}  // namespace

std::wstring PackageFolder(const std::wstring& modulePath) {
  if (modulePath.size() <= 4) return std::wstring();
  return modulePath.substr(0, modulePath.size() - 4);
}

HRESULT ReadScriptClassId(const std::wstring& scriptPath, CLSID& clsid, std::wstring& text) {
  text.clear();
  // Shared as the C runtime's fopen shares: others may read and write meanwhile.
  HANDLE file = CreateFileW(scriptPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return HRESULT_FROM_WIN32(error ? error : ERROR_OPEN_FAILED);
  }
  ByteReader reader(file);
  // Everything up to and including the second "{" is skipped; then
  // `CLSID = s '` must follow, where a blank stands for any run of whitespace
  // (none included) and every other character must match exactly; then the
  // identifier's characters are taken. A mismatch ends the scan with what
  // was taken so far.
  int c = reader.Next();
  for (int braces = 0; braces < 2 && c != -1; c = reader.Next()) {
    if (c == '{') ++braces;
  }
  bool matched = true;
  for (const char* pattern = " CLSID = s '"; *pattern && matched; ++pattern) {
    if (*pattern == ' ') {
      while (c != -1 && IsSpace(c)) c = reader.Next();
    } else if (c == *pattern) {
      c = reader.Next();
    } else {
      matched = false;
    }
  }
  while (matched && text.size() < kScanCapacity && c != -1 && IsIdentifierChar(c)) {
    text.push_back(static_cast<wchar_t>(c));
    c = reader.Next();
  }
  CloseHandle(file);
  // An empty text is refused before it is parsed: some COM runtimes read it
  // as the null identifier, and the module refuses it too.
  if (text.empty()) return CO_E_CLASSSTRING;
  CLSID parsed = {};
  const HRESULT result = CLSIDFromString(text.c_str(), &parsed);
  if (FAILED(result)) return result;
  clsid = parsed;
  return S_OK;
}

}  // namespace host
}  // namespace stub
