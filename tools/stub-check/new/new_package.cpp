// stub-check new: lays out a fresh package, a copy of the module named after
// it and the folder with its two scripts, with fresh class identifiers and
// ProgIDs made from the name. It never replaces anything, and on any failure
// takes away what it had written.
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <filesystem>
#include <string>
#include <vector>

#include "checker.h"
#include "cli/command_line.h"
#include "io/files.h"
#include "package/package_classes.h"
#include "new/verbs.h"

namespace check {

const VerbSpec kNewSpec = {
    "new",
    "",
    "NAME",
    "  Makes DIR/NAME.dll, a copy of the module, and DIR/NAME/Style.rgs and\n"
    "  DIR/NAME/StyleText.rgs with fresh class identifiers and the ProgIDs\n"
    "  NAME.Style.1, NAME.Style, NAME.StyleText.1 and NAME.StyleText.\n"
    "  NAME      letters, digits and periods, starting with a letter, at most 27\n"
    "            characters (NAME.StyleText.1 is a ProgID of at most 39)\n",
    {
        {"--dir", "DIR", false, "where to make the package (default: the current folder; made if missing)"},
        {"--arch", "x86|x64", false, "the module to copy: x64 (default) for 64-bit hosts, x86 for 32-bit hosts"},
        {"--module", "FILE", false,
         "copy this module file instead: a copy of Stub.dll whose architecture\n"
         "is --arch (x64 when --arch is not given)"},
    },
    "  Without --module the module is taken from the release this tool came in\n"
    "  (<arch>/Stub.dll beside the tool's own folder: x64/Stub.dll, x86/Stub.dll),\n"
    "  else from the build tree the tool was built in.\n"
    "  The package is written under a temporary name in DIR and renamed into place:\n"
    "  a run that fails or is interrupted leaves nothing, and can be run again.\n"
    "exit code: 0 made, 2 refused or failed (nothing is left written)\n",
    true};

namespace {

namespace fs = std::filesystem;

int Refuse(const std::string& message) {
  io::PrintError("stub-check new: " + message + "\n");
  return 2;
}

// An entry of `folder` named `name` in any letter case: Windows would take it for the same.
std::string ExistingEntry(const std::string& folder, const std::string& name) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(io::PathOf(folder), error)) {
    const std::string found = io::TextOf(entry.path().filename());
    if (Lower(found) == Lower(name)) return found;
  }
  return "";
}

static_assert(std::size(kNewClasses) == std::size(PackageClasses), "one row for each class of the package");

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

// Everything `new` has made so far, taken away again unless kept.
class Undo {
 public:
  ~Undo() { Now(); }
  void Now() {
    if (keep_) return;
    std::error_code error;
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) fs::remove_all(io::PathOf(*it), error);
    made_.clear();
  }
  void Made(const std::string& path) { made_.push_back(path); }
  void Keep() { keep_ = true; }

 private:
  std::vector<std::string> made_;
  bool keep_ = false;
};

// The module to copy, checked as `check` checks a package's module file: a
// copy of Stub.dll (its five exports) for `arch`. False with `problem` set.
bool UsableModule(const std::string& path, const std::string& arch, bool archGiven,
                  std::string* bytes, std::string* problem) {
  std::string reason;
  if (!ReadRegularFile(path, kModuleSizeLimit, bytes, &reason)) {
    *problem = "cannot read the module " + path + ": " + reason;
    return false;
  }
  const ModuleFile file = ReadModuleFile(path, true, *bytes);
  std::vector<Finding> findings;
  CheckModuleFile(file, io::FileName(path), &findings);
  if (!findings.empty()) {
    *problem = findings[0].message + "; name a copy of Stub.dll with --module";
    return false;
  }
  if (file.architecture != arch) {
    *problem = "the module " + path + " is the " + file.architecture + " module, not the " + arch +
               " one " + (archGiven ? "asked for with --arch" : "made without --arch (x64 is the default)") +
               ": give --arch " + file.architecture + " for a package for " +
               (file.architecture == "x86" ? "32-bit" : "64-bit") + " hosts, or name the " + arch +
               " Stub.dll";
    return false;
  }
  return true;
}

std::string Reason(const std::error_code& error) { return error ? error.message() : "it exists"; }

// What `new` says it made, and what to do next.
std::string Summary(const std::string& name, const std::string& arch, const std::string& module,
                    const std::string& dll, const std::string& folder, const std::vector<std::string>& ids,
                    const std::string& upgradeCode) {
  std::string summary;
  summary += "Made the package " + name + " with the " + arch + " module (" +
             (arch == "x64" ? "64-bit" : "32-bit") + " hosts):\n";
  summary += "  " + dll + "  a copy of " + module + "\n";
  for (std::size_t i = 0; i < ids.size(); ++i) {
    std::string className = Utf8(PackageClasses[i].className);
    className.resize(std::max<std::size_t>(className.size() + 1, 10), ' ');
    summary += "  " + folder + "/" + Utf8(PackageClasses[i].scriptName) + "  class " + className + ids[i] +
               "  ProgID " + name + "." + kNewClasses[i].kind + ".1, " + kNewClasses[i].threadingModel + "\n";
  }
  summary += "  UpgradeCode " + upgradeCode +
             " for the product source of this package's MSI, if you build one: keep it for every version\n";
  summary += "Next: stub-check check " + dll + "\n";
  return summary;
}

// Fresh class identifiers, one per class, none twice; an installer's product
// needs an identifier of its own too (its UpgradeCode), drawn here so that no
// other tool is needed for it; and a token for the staging folder's name.
bool FreshIds(std::vector<std::string>* ids, std::string* token, std::string* upgradeCode) {
  bool random = NewRandomGuid(token) && NewRandomGuid(upgradeCode);
  for (std::size_t i = 0; i < ids->size() && random; ++i) {
    random = NewRandomGuid(&(*ids)[i]) && std::find(ids->begin(), ids->begin() + i, (*ids)[i]) == ids->begin() + i;
  }
  return random;
}

// The folder `dir` and those above it that are missing, made folder by
// folder so that a failure takes away only what was made here.
bool MakeFolders(const std::string& dir, Undo* undo, std::string* problem) {
  std::error_code error;
  std::vector<fs::path> missing;
  for (fs::path p = io::PathOf(dir); !p.empty() && !fs::exists(p, error); p = p.parent_path()) {
    missing.push_back(p);
    if (p == p.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (!fs::create_directory(*it, error)) {
      *problem = "cannot make the folder " + io::TextOf(*it) + ": " + Reason(error);
      return false;
    }
    undo->Made(io::TextOf(*it));
  }
  return true;
}

// The package's scripts, written into `folder`.
bool WriteScripts(const std::string& folder, const std::string& name, const std::vector<std::string>& ids,
                  std::string* problem) {
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const NewClass& c = kNewClasses[i];
    const std::string path = folder + "/" + Utf8(PackageClasses[i].scriptName);
    if (!WriteNewFile(path, Script(name, c.kind, name + " " + c.description, ids[i], c.threadingModel), problem)) {
      *problem = "cannot write " + path + ": " + *problem + "; nothing was left written";
      return false;
    }
  }
  return true;
}

// An entry of the package's names (NAME.dll, NAME) in `dir` in any letter
// case, as it is spelled there; empty when there is none.
std::string Existing(const std::string& dir, const std::string& name) {
  for (const std::string& wanted : {name + ".dll", name}) {
    const std::string there = ExistingEntry(dir, wanted);
    if (!there.empty()) return there;
  }
  return "";
}

// Whether the package can be made in `dir` (`*dirExists`: it is there):
// nothing that is already there is replaced, in any letter case.
bool CheckTarget(const std::string& dir, const std::string& name, bool* dirExists, std::string* problem) {
  std::error_code error;
  const fs::file_status dirStatus = fs::status(io::PathOf(dir), error);
  *dirExists = fs::exists(dirStatus);
  if (error && error != std::errc::no_such_file_or_directory) {
    *problem = "cannot use the folder " + dir + ": " + error.message();
  } else if (*dirExists && !fs::is_directory(dirStatus)) {
    *problem = dir + " is not a folder: give --dir a folder, or a path where one can be made";
  } else if (*dirExists && !Existing(dir, name).empty()) {
    *problem = dir + "/" + Existing(dir, name) + " already exists; nothing was written (choose another "
               "name or folder)";
  } else {
    return true;
  }
  return false;
}

// The package written whole under `staging` (NAME.dll and NAME/ with its scripts).
bool Stage(const std::string& staging, const std::string& name, const std::vector<std::string>& ids,
           const std::string& moduleBytes, Undo* undo, std::string* problem) {
  std::error_code error;
  if (!fs::create_directory(io::PathOf(staging), error)) {
    *problem = "cannot make the folder " + staging + ": " + Reason(error);
    return false;
  }
  undo->Made(staging);
  const std::string stagedFolder = staging + "/" + name;
  if (!fs::create_directory(io::PathOf(stagedFolder), error)) {
    *problem = "cannot make the folder " + stagedFolder + ": " + Reason(error);
    return false;
  }
  if (!WriteScripts(stagedFolder, name, ids, problem)) return false;
  if (!WriteNewFile(staging + "/" + name + ".dll", moduleBytes, problem)) {
    *problem = "cannot write the module copy " + staging + "/" + name + ".dll: " + *problem +
               "; nothing was left written";
    return false;
  }
  return true;
}

}  // namespace

int NewCommand(const std::vector<std::string>& args) {
  ParsedLine line;
  std::string problem;
  if (!ParseCommandLine(kNewSpec, args, &line, &problem)) return Refuse(problem);
  if (line.help) return PrintChecked("stub-check new", Usage(kNewSpec)) ? 0 : 2;
  if (line.operands.empty()) {
    return Refuse("no package name given: stub-check new NAME (stub-check new --help)");
  }
  const std::string name = line.operands[0];
  std::string dir = line.Get("--dir", "."), arch = line.Get("--arch", "x64"), module = line.Get("--module");
  if (!ValidPackageName(name, &problem)) {
    return Refuse("cannot name a package " + Quoted(name) + ": " + problem);
  }

  // The module to copy, of the architecture asked for, checked before anything is written.
  if (module.empty()) {
    std::string tried;
    module = FindShippedModule(arch, &tried);
    if (module.empty()) {
      return Refuse("no " + arch + " module found beside this tool; looked at:\n" + tried +
                    "name one with --module FILE");
    }
  }
  std::string moduleBytes;
  if (!UsableModule(module, arch, line.Has("--arch"), &moduleBytes, &problem)) return Refuse(problem);

  while (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  bool dirExists = false;
  if (!CheckTarget(dir, name, &dirExists, &problem)) return Refuse(problem);
  std::error_code error;

  std::vector<std::string> ids(std::size(PackageClasses));
  std::string token, upgradeCode;
  if (!FreshIds(&ids, &token, &upgradeCode)) {
    return Refuse("this system gives no random numbers for fresh class identifiers");
  }

  // From the first thing made to the last, an interrupt waits: one that
  // came is looked at before the first rename and after the last, and takes
  // everything back. (Taken when it comes, it would end the process between
  // two steps, with the temporary folder and a half-written module left.)
  // The hold outlives the undo, so that taking back is never cut short.
  HeldInterrupts held;
  Undo undo;
  if (!dirExists && !MakeFolders(dir, &undo, &problem)) return Refuse(problem);

  // Everything is written under a temporary name inside DIR first (the same
  // file system, so the renames below only move names).
  const std::string staging = dir + "/." + name + ".new-" + token.substr(1, 8);
  const std::string stagedFolder = staging + "/" + name;
  if (!Stage(staging, name, ids, moduleBytes, &undo, &problem)) return Refuse(problem);

  // Into place, unless something of the name appeared meanwhile or an interrupt came.
  const std::string folder = dir + "/" + name;
  const std::string dll = folder + ".dll";
  const std::string there = Existing(dir, name);
  if (!there.empty()) {
    return Refuse(dir + "/" + there + " appeared while the package was written; nothing was left written");
  }
  if (held.Pending()) {
    undo.Now();
    return Refuse("interrupted; nothing was left written");
  }
  fs::rename(io::PathOf(stagedFolder), io::PathOf(folder), error);
  if (error) return Refuse("cannot move the package folder into place as " + folder + ": " + error.message());
  undo.Made(folder);
  fs::rename(io::PathOf(staging + "/" + name + ".dll"), io::PathOf(dll), error);
  if (error) return Refuse("cannot move the module copy into place as " + dll + ": " + error.message());
  undo.Made(dll);
  fs::remove(io::PathOf(staging), error);

  const std::string summary = Summary(name, arch, module, dll, folder, ids, upgradeCode);
  if (held.Pending() || !PrintChecked("stub-check new", summary)) {
    undo.Now();
    io::PrintError("stub-check new: nothing was left written\n");
    return 2;
  }
  undo.Keep();
  return 0;
}

}  // namespace check
