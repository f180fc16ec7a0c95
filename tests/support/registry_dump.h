// A canonical text form of a registry subtree, so that a registry test is one
// whole-string comparison that reads the same on Windows and on the emulator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace test {

/// The subtree at `path` under `root` (empty path: `root` itself): first the
/// values of the key itself, then every descendant key as a line with its path
/// relative to the dumped key ("\CLSID\{...}"), followed by its values. Keys
/// and value names sort without regard to case, the default value ("@") first.
/// Each value is one line, indented by two spaces:
///   @ = sz "C:\x.dll"           text + terminator, shown as text
///   "n" = dword 0x0000000a      4 bytes
///   "b" = binary 0a1b           lower-case hex, nothing after the type if empty
///   "m" = multi 6100000000000000
///   "x" = sz 6100               hex whenever the bytes are not exactly text
///                               (no control characters) plus one terminator
/// An absent key dumps as "(no key)\n"; an empty one as "".
std::string DumpRegistry(HKEY root, const std::u16string& path = u"");

/// UTF-8 form of UTF-16 text (unpaired surrogates become U+FFFD).
std::string Utf8(const std::u16string& text);

/// Bytes of `text` as UTF-16LE, with the terminator when `terminate` is set.
std::vector<BYTE> TextBytes(const std::u16string& text, bool terminate = true);

}  // namespace test
