// libFuzzer target: the host library's own readers, which take files a host
// finds on a user's machine and did not write.
//
// Input layout: one selector byte, then the bytes that reader takes.
//   selector % 2 == 0  an assembly manifest, read by ScreenManifest
//   selector % 2 == 1  a package script, scanned by ScanIdentifierText
//
// Checked besides crashes, leaks and sanitizer reports:
//   - a manifest the screen takes names a braced class identifier in every
//     comClass, and one it refuses is refused at a place inside its text;
//   - a refusal for size comes only for inputs over the limit;
//   - the scan reads each byte at most once, stops at a Ctrl-Z byte, and keeps
//     at most 127 characters, each one an identifier may hold.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "identifier_scan.h"
#include "manifest_screen.h"

namespace {

namespace detail = stub::host::detail;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "host_fuzzer: %s\n", what);
  std::abort();
}

void Manifest(const std::string& bytes) {
  const detail::ManifestScreen screen = detail::ScreenManifest(bytes);
  if ((screen.fault == detail::ManifestFault::TooLarge) != (bytes.size() > detail::kManifestSizeLimit)) {
    Fail("a refusal for size that does not match the size");
  }
  if (screen.fault == detail::ManifestFault::None) {
    for (const detail::ScreenedClass& entry : screen.classes) {
      if (!detail::IsBracedClassId(entry.clsid)) Fail("a manifest taken with a comClass that names no identifier");
    }
  } else if (screen.fault != detail::ManifestFault::TooLarge && screen.at > 4 * bytes.size() + 3) {
    // The decoded text of UTF-16 input holds at most three bytes per two.
    Fail("a refusal at a place past the text");
  }
}

void Script(const std::string& bytes) {
  std::size_t position = 0, calls = 0;
  const std::string text = detail::ScanIdentifierText([&]() {
    ++calls;
    return position < bytes.size() ? static_cast<unsigned char>(bytes[position++]) : -1;
  });
  if (calls > bytes.size() + 1) Fail("the scan asked for bytes after the end");
  if (text.size() > detail::kScanCapacity) Fail("the scan kept more than the module's buffer holds");
  for (char c : text) {
    if (!detail::IsIdentifierChar(static_cast<unsigned char>(c))) Fail("the scan kept a character no identifier holds");
  }
  const std::size_t stop = bytes.find('\x1A');
  if (stop != std::string::npos && position > stop + 1) Fail("the scan read past a Ctrl-Z byte");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] % 2 == 0) {
    Manifest(bytes);
  } else {
    Script(bytes);
  }
  return 0;
}
