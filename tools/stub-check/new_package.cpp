// stub-check new: lays out a fresh package, a copy of the module named after
// it and the folder with its two scripts, with fresh class identifiers and
// ProgIDs made from the name. It never replaces anything, and on any failure
// takes away what it had written.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "verbs.h"

namespace check {

const char kNewUsage[] =
    "usage: stub-check new NAME [--dir DIR] [--arch x86|x64] [--module FILE]\n"
    "  Makes DIR/NAME.dll, a copy of the module, and DIR/NAME/Style.rgs and\n"
    "  DIR/NAME/StyleText.rgs with fresh class identifiers and the ProgIDs\n"
    "  NAME.Style.1, NAME.Style, NAME.StyleText.1 and NAME.StyleText.\n"
    "  NAME        letters, digits and periods, starting with a letter, at most 27\n"
    "              characters (NAME.StyleText.1 is a ProgID of at most 39)\n"
    "  --dir       where to make the package (default: the current folder; made if missing)\n"
    "  --arch      the module to copy: x64 (default) for 64-bit hosts, x86 for 32-bit hosts\n"
    "  --module    copy this module file instead (its architecture must match --arch)\n"
    "  Without --module the module is taken from the release this tool came in\n"
    "  (<arch>/Stub.dll beside the tool's own folder: x64/Stub.dll, x86/Stub.dll),\n"
    "  else from the build tree the tool was built in.\n"
    "exit code: 0 made, 2 refused (nothing is written)\n";

namespace {

namespace fs = std::filesystem;

int Refuse(const std::string& message) {
  std::fprintf(stderr, "stub-check new: %s\n", message.c_str());
  return 2;
}

// An entry of `folder` named `name` in any letter case: Windows would take it for the same.
std::string ExistingEntry(const std::string& folder, const std::string& name) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    const std::string found = entry.path().filename().string();
    if (Lower(found) == Lower(name)) return found;
  }
  return "";
}

// The script of one class, laid out as the sample package's. The
// version-independent ProgID carries the CLSID too: CLSIDFromProgID reads only
// that subkey and does not follow CurVer.
std::string Script(const std::string& name, const std::string& kind, const std::string& description,
                   const std::string& id, const std::string& threadingModel) {
  const std::string progId = name + "." + kind;
  return "HKCR\n"
         "{\n"
         "\t" + progId + ".1 = s '" + description + "'\n"
         "\t{\n"
         "\t\tCLSID = s '" + id + "'\n"
         "\t}\n"
         "\t" + progId + " = s '" + description + "'\n"
         "\t{\n"
         "\t\tCLSID = s '" + id + "'\n"
         "\t\tCurVer = s '" + progId + ".1'\n"
         "\t}\n"
         "\tNoRemove CLSID\n"
         "\t{\n"
         "\t\tForceRemove " + id + " = s '" + description + "'\n"
         "\t\t{\n"
         "\t\t\tProgID = s '" + progId + ".1'\n"
         "\t\t\tVersionIndependentProgID = s '" + progId + "'\n"
         "\t\t\tInprocServer32 = s '%Module%'\n"
         "\t\t\t{\n"
         "\t\t\t\tval ThreadingModel = s '" + threadingModel + "'\n"
         "\t\t\t}\n"
         "\t\t}\n"
         "\t}\n"
         "}\n";
}

bool WriteNewFile(const std::string& path, const std::string& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

// Everything `new` has made so far, taken away again unless kept.
class Undo {
 public:
  ~Undo() {
    if (keep_) return;
    std::error_code error;
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) fs::remove(*it, error);
  }
  void Made(const std::string& path) { made_.push_back(path); }
  void Keep() { keep_ = true; }

 private:
  std::vector<std::string> made_;
  bool keep_ = false;
};

}  // namespace

int NewCommand(int argc, char** argv) {
  std::string name, dir, arch, module;
  bool named = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--dir" || arg == "--arch" || arg == "--module") && i + 1 < argc) {
      (arg == "--dir" ? dir : arg == "--arch" ? arch : module) = argv[++i];
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kNewUsage, stdout);
      return 0;
    } else if (!named && (arg.empty() || arg[0] != '-')) {
      name = arg;
      named = true;
    } else {
      std::fprintf(stderr, "stub-check new: unexpected argument '%s'\n%s", arg.c_str(), kNewUsage);
      return 2;
    }
  }
  if (!named) {
    std::fprintf(stderr, "stub-check new: no package name given\n%s", kNewUsage);
    return 2;
  }
  std::string problem;
  if (!ValidPackageName(name, &problem)) {
    return Refuse("cannot name a package '" + name + "': " + problem);
  }
  if (!arch.empty() && arch != "x86" && arch != "x64") {
    return Refuse("--arch must be x86 or x64, not '" + arch + "'");
  }

  // The module to copy, of the architecture asked for.
  if (!module.empty()) {
    const std::string found = ModuleArchitecture(module, &problem);
    if (found.empty()) return Refuse("cannot use the module " + module + ": " + problem);
    if (!arch.empty() && found != arch) {
      return Refuse("the module " + module + " is the " + found + " module, not the " + arch +
                    " one asked for with --arch");
    }
    arch = found;
  } else {
    if (arch.empty()) arch = "x64";
    std::string tried;
    module = FindShippedModule(arch, &tried);
    if (module.empty()) {
      return Refuse("no " + arch + " module found beside this tool; looked at:\n" + tried +
                    "name one with --module FILE");
    }
    const std::string found = ModuleArchitecture(module, &problem);
    if (found != arch) {
      return Refuse("the module " + module + " is not the " + arch + " module: " +
                    (found.empty() ? problem : "it is the " + found + " one"));
    }
  }

  // Nothing that is already there is replaced, in any letter case.
  if (dir.empty()) dir = ".";
  while (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  std::error_code error;
  const bool dirExists = fs::exists(dir, error);
  if (dirExists && !fs::is_directory(dir, error)) return Refuse(dir + " is not a folder");
  if (dirExists) {
    for (const std::string& wanted : {name + ".dll", name}) {
      const std::string there = ExistingEntry(dir, wanted);
      if (!there.empty()) {
        return Refuse(dir + "/" + there + " already exists; nothing was written (choose another "
                      "name or folder)");
      }
    }
  }

  std::string ids[2];
  if (!NewRandomGuid(&ids[0]) || !NewRandomGuid(&ids[1]) || ids[0] == ids[1]) {
    return Refuse("this system gives no random numbers for fresh class identifiers");
  }

  Undo undo;
  if (!dirExists) {
    // Made folder by folder, so that a failure takes away only what was made here.
    std::vector<fs::path> missing;
    for (fs::path p = fs::path(dir); !p.empty() && !fs::exists(p, error); p = p.parent_path()) {
      missing.push_back(p);
      if (p == p.parent_path()) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
      if (!fs::create_directory(*it, error)) return Refuse("cannot make the folder " + it->string());
      undo.Made(it->string());
    }
  }
  const std::string folder = dir + "/" + name;
  const std::string dll = folder + ".dll";
  if (!fs::create_directory(folder, error)) {
    return Refuse("cannot make the folder " + folder + (error ? ": " + error.message() : ": it exists"));
  }
  undo.Made(folder);
  const std::string scripts[2][2] = {
      {folder + "/Style.rgs", Script(name, "Style", name + " Style", ids[0], "Apartment")},
      {folder + "/StyleText.rgs", Script(name, "StyleText", name + " Text Style", ids[1], "Both")}};
  for (const auto& script : scripts) {
    undo.Made(script[0]);
    if (!WriteNewFile(script[0], script[1])) return Refuse("cannot write " + script[0]);
  }
  // copy_file refuses an existing target, so a file that appeared meanwhile stays.
  if (!fs::copy_file(module, dll, fs::copy_options::none, error)) {
    return Refuse("cannot copy " + module + " to " + dll + ": " + error.message());
  }
  undo.Made(dll);
  undo.Keep();

  std::printf("Made the package %s with the %s module (%s hosts):\n", name.c_str(), arch.c_str(),
              arch == "x64" ? "64-bit" : "32-bit");
  std::printf("  %s  a copy of %s\n", dll.c_str(), module.c_str());
  std::printf("  %s  class Stub      %s  ProgID %s.Style.1, Apartment\n", scripts[0][0].c_str(),
              ids[0].c_str(), name.c_str());
  std::printf("  %s  class StubText  %s  ProgID %s.StyleText.1, Both\n", scripts[1][0].c_str(),
              ids[1].c_str(), name.c_str());
  std::printf("Next: stub-check check %s\n", dll.c_str());
  return 0;
}

}  // namespace check
