// Inside the host library: the scan that finds the class identifier a
// package script names, the way the module reads it while it loads. Plain
// C++ without the Windows headers, so that it can be fuzzed anywhere; it
// reads each byte once and keeps at most 127 characters.
#ifndef STUB_SDK_HOST_IDENTIFIER_SCAN_H
#define STUB_SDK_HOST_IDENTIFIER_SCAN_H

#include <cstddef>
#include <string>

#include "stub/stub_script_values.h"

namespace stub {
namespace host {
namespace detail {

// The module keeps at most this many characters: a longer run is cut.
constexpr std::size_t kScanCapacity = STUB_SCRIPT_CLASSID_CAPACITY;

// Whitespace as C's isspace in the C locale.
inline bool IsScanSpace(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The characters an identifier's text may hold: braces, hexadecimal digits, hyphens.
inline bool IsIdentifierChar(int c) {
  return c == '{' || c == '}' || c == '-' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
         (c >= 'A' && c <= 'F');
}

// The identifier's text in a script whose bytes `next()` gives one at a time
// (-1 at the end). The module opens its scripts in text mode, where a Ctrl-Z
// byte (0x1A) ends the file: so it does here. Everything up to and including
// the second "{" is skipped; then STUB_SCRIPT_CLASSID_LEAD must follow, where a blank
// stands for any run of whitespace (none included) and every other
// character must match exactly; then the identifier's characters are taken.
// A mismatch ends the scan with what was taken so far.
template <typename NextByte>
std::string ScanIdentifierText(NextByte next) {
  bool ended = false;
  auto read = [&]() {
    if (ended) return -1;
    const int c = next();
    if (c == -1 || c == 0x1A) {
      ended = true;
      return -1;
    }
    return c;
  };
  std::string text;
  int c = read();
  for (int braces = 0; braces < 2 && c != -1; c = read()) {
    if (c == '{') ++braces;
  }
  for (const char* pattern = STUB_SCRIPT_CLASSID_LEAD; *pattern; ++pattern) {
    if (*pattern == ' ') {
      while (c != -1 && IsScanSpace(c)) c = read();
    } else if (c == *pattern) {
      c = read();
    } else {
      return text;
    }
  }
  while (text.size() < kScanCapacity && c != -1 && IsIdentifierChar(c)) {
    text.push_back(static_cast<char>(c));
    c = read();
  }
  return text;
}

}  // namespace detail
}  // namespace host
}  // namespace stub

#endif  // STUB_SDK_HOST_IDENTIFIER_SCAN_H
