// What `new` and `export` need from the machine and from names: the program's
// own folder, a module file's architecture, the module a release ships, fresh
// and derived identifiers, and the rules a package name must follow.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

#include "io/files.h"
#include "new/verbs.h"

namespace check {

namespace {

namespace fs = std::filesystem;

// ---- SHA-1, for name-based identifiers --------------------------------------------

std::uint32_t Rotate(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void Sha1(const std::string& message, unsigned char digest[20]) {
  std::uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  std::string m = message;
  const std::uint64_t bits = static_cast<std::uint64_t>(message.size()) * 8;
  m += '\x80';
  while (m.size() % 64 != 56) m += '\0';
  for (int i = 7; i >= 0; --i) m += static_cast<char>((bits >> (8 * i)) & 0xFF);
  for (std::size_t block = 0; block < m.size(); block += 64) {
    std::uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
      w[i] = 0;
      for (int k = 0; k < 4; ++k) w[i] = (w[i] << 8) | static_cast<unsigned char>(m[block + 4 * i + k]);
    }
    for (int i = 16; i < 80; ++i) w[i] = Rotate(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
      std::uint32_t f, k;
      if (i < 20) {
        f = (b & c) | (~b & d);
        k = 0x5A827999;
      } else if (i < 40) {
        f = b ^ c ^ d;
        k = 0x6ED9EBA1;
      } else if (i < 60) {
        f = (b & c) | (b & d) | (c & d);
        k = 0x8F1BBCDC;
      } else {
        f = b ^ c ^ d;
        k = 0xCA62C1D6;
      }
      const std::uint32_t t = Rotate(a, 5) + f + e + k + w[i];
      e = d;
      d = c;
      c = Rotate(b, 30);
      b = a;
      a = t;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
  }
  for (int i = 0; i < 20; ++i) digest[i] = static_cast<unsigned char>(h[i / 4] >> (24 - 8 * (i % 4)));
}

std::string Normal(const std::string& path) {
  return io::TextOf(io::PathOf(path).lexically_normal());
}

}  // namespace

std::string ProgramFolder() {
#ifdef _WIN32
  wchar_t wide[32768];
  const DWORD n = GetModuleFileNameW(nullptr, wide, 32768);
  if (n == 0 || n >= 32768) return "";
  return io::TextOf(fs::path(std::wstring(wide, n)).parent_path());
#else
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? std::string() : self.parent_path().string();
#endif
}

std::string FindShippedModule(const std::string& arch, std::string* tried) {
  const std::string folder = ProgramFolder();
  tried->clear();
  if (folder.empty()) return "";
  // A release holds each architecture's module in a folder of its name,
  // beside the folders of the tool's builds (x64/stub-check.exe,
  // linux-x86_64/stub-check); the build tree holds it beside the tool's build.
  std::vector<std::string> places = {folder + "/../" + arch + "/Stub.dll"};
  places.push_back(folder + "/../../../windows-" + arch + "/src/exports/Stub.dll");
  for (const std::string& place : places) {
    // A module that is there but cannot be looked at is named, so that reading it says why.
    std::error_code error;
    const bool there = fs::exists(io::PathOf(place), error);
    if (there || (error && error != std::errc::no_such_file_or_directory)) return Normal(place);
    *tried += "  " + Normal(place) + "\n";
  }
  return "";
}

bool NewRandomGuid(std::string* braced) {
  unsigned char b[16];
  try {
    std::random_device source;
    for (int i = 0; i < 16; i += 4) {
      const unsigned int r = source();
      for (int k = 0; k < 4; ++k) b[i + k] = static_cast<unsigned char>(r >> (8 * k));
    }
  } catch (...) {
    return false;
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4: random
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // the standard variant
  *braced = "{" + GuidTextOfBytes(b) + "}";
  return true;
}

std::string NamedGuid(const std::string& text) {
  // The namespace of this tool's derived identifiers, then the text.
  static const unsigned char kSpace[16] = {0x5B, 0x2E, 0x61, 0x0C, 0x8D, 0x47, 0x4F, 0x3A,
                                           0x9B, 0x16, 0x2C, 0xE4, 0x70, 0x55, 0xA1, 0x93};
  unsigned char digest[20];
  Sha1(std::string(reinterpret_cast<const char*>(kSpace), 16) + text, digest);
  digest[6] = static_cast<unsigned char>((digest[6] & 0x0F) | 0x50);  // version 5: SHA-1 name
  digest[8] = static_cast<unsigned char>((digest[8] & 0x3F) | 0x80);
  return GuidTextOfBytes(digest);
}

bool ValidPackageName(const std::string& name, std::string* problem) {
  // The longest ProgID made from the name (NAME.StyleText.1) must fit in 39 characters.
  std::string longestSuffix;
  for (const NewClass& c : kNewClasses) {
    const std::string suffix = std::string(".") + c.kind + ".1";
    if (suffix.size() > longestSuffix.size()) longestSuffix = suffix;
  }
  const std::size_t suffixLength = longestSuffix.size();
  constexpr std::size_t kProgIdLimit = 39;
  if (name.empty()) {
    *problem = "the name is empty";
    return false;
  }
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!letter && !(c >= '0' && c <= '9') && c != '.') {
      // The whole character, as UTF-8 (or \xHH for a byte that is none).
      const std::size_t n = Utf8Sequence(name, i);
      *problem = c == ' ' ? std::string("it holds a blank")
                          : "it holds " + Quoted(name.substr(i, n ? n : 1));
      *problem += ": ProgIDs allow only letters, digits and periods";
      return false;
    }
  }
  if (!((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))) {
    *problem = "it must start with a letter (a ProgID cannot start with a digit or a period)";
    return false;
  }
  if (name.back() == '.' || name.find("..") != std::string::npos) {
    *problem = "a period must stand between two parts (Windows drops a folder name's final period)";
    return false;
  }
  if (name.size() + suffixLength > kProgIdLimit) {
    *problem = "it is " + std::to_string(name.size()) + " characters long: the ProgID " + name +
               ".StyleText.1 would be longer than " + std::to_string(kProgIdLimit) +
               " characters; use at most " + std::to_string(kProgIdLimit - suffixLength);
    return false;
  }
  const std::string device = DeviceName(name);
  if (!device.empty()) {
    *problem = device + " is a device name on Windows and cannot name a file or folder";
    return false;
  }
  return true;
}

std::string DeviceName(const std::string& name) {
  // Windows reserves device names as file names, with any extension.
  const std::string stem = Lower(name.substr(0, name.find('.')));
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "COM1", "COM2", "COM3",
                                         "COM4", "COM5", "COM6", "COM7", "COM8", "COM9", "LPT1",
                                         "LPT2", "LPT3", "LPT4", "LPT5", "LPT6", "LPT7", "LPT8",
                                         "LPT9"};
  for (const char* device : kDevices) {
    if (stem == Lower(device)) return device;
  }
  return "";
}

}  // namespace check
