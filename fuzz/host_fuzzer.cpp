// libFuzzer target: the host library's identifier scan, which takes package
// scripts a host finds on a user's machine and did not write. (Its manifest
// reader, which the package checker shares, is fuzzed by check_fuzzer.)
//
// Input layout: one selector byte (kept so that the corpus stays valid),
// then the script's bytes, scanned by ScanIdentifierText.
//
// Checked besides crashes, leaks and sanitizer reports:
//   - the scan reads each byte at most once, stops at a Ctrl-Z byte, and keeps
//     at most 127 characters, each one an identifier may hold.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "identifier_scan.h"

namespace {

namespace detail = stub::host::detail;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "host_fuzzer: %s\n", what);
  std::abort();
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
    if (!detail::IsIdentifierChar(static_cast<unsigned char>(c)))
      Fail("the scan kept a character no identifier holds");
  }
  const std::size_t stop = bytes.find('\x1A');
  if (stop != std::string::npos && position > stop + 1) Fail("the scan read past a Ctrl-Z byte");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  Script(bytes);
  return 0;
}
