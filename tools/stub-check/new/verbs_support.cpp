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

}  // namespace check
