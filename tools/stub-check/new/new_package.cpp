// stub-check new: a fresh package (the module copied under its name, and its
// folder with two scripts with fresh identifiers), never over anything there,
// and nothing left of it after a failure or an interrupt.
#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "findings/finding.h"
#include "io/checked_files.h"
#include "io/files.h"
#include "module/module_file.h"
#include "new/new_command.h"
#include "options/command_line.h"
#include "package/package_classes.h"
#include "text/identifiers.h"
#include "text/text.h"

namespace check {

const VerbSpec kNewSpec = {
    "new",
    "NAME",
    "  Makes DIR/NAME.dll, a copy of the module, and DIR/NAME/Style.rgs and\n"
    "  DIR/NAME/StyleText.rgs with fresh class identifiers and the ProgIDs\n"
    "  NAME.Style.1, NAME.Style, NAME.StyleText.1 and NAME.StyleText.\n"
    "  NAME      letters, digits and periods, starting with a letter, at most 27\n"
    "            characters (NAME.StyleText.1 is a ProgID of at most 39)\n",
    {
        {"--dir", "DIR", false, "where to make the package (default: the current folder; made if missing)"},
        {"--arch", "x86|x64", false,
         "the module to copy: x64 (default) for 64-bit hosts, x86 for 32-bit hosts"},
        {"--module", "FILE", false,
         "copy this module file instead: a copy of Stub.dll whose architecture\n"
         "is --arch (x64 when --arch is not given)"},
    },
    "  Without --module the module is taken from the release this tool came in\n"
    "  (<arch>/Stub.dll beside the tool's own folder: x64/Stub.dll, x86/Stub.dll),\n"
    "  else from the build tree the tool was built in.\n"
    "  The package is written under a temporary name in DIR and renamed into place:\n"
    "  a run that fails or is interrupted leaves nothing, and can be run again; the\n"
    "  temporary folder of a run killed outright is removed by the next run in DIR.\n"
    "exit code: 0 made, 2 refused or failed (nothing is left written)\n",
    true};

namespace {
namespace fs = std::filesystem;

// Of each class of PackageClasses, in its order: the middle of its ProgIDs
// (NAME.Style.1), its description after the package's name, its threading model.
struct NewClass {
  const char* kind;
  const char* description;
  const char* threadingModel;
};
constexpr NewClass kNewClasses[] = {{"Style", "Style", "Apartment"}, {"StyleText", "Text Style", "Both"}};
static_assert(std::size(kNewClasses) == std::size(PackageClasses), "one row for each class of the package");

int Refuse(const std::string& message) { return check::Refuse(kNewSpec, message); }

// The module of `arch` in the release beside the tool's own folder (x64/Stub.dll beside
// linux-x86_64/stub-check), else in the build tree; empty when neither, the places in `tried`.
std::string FindShippedModule(const std::string& arch, std::string* tried) {
  const std::string folder = io::ProgramFolder();
  if (folder.empty()) return "";
  for (const std::string& place : {folder + "/../" + arch + "/Stub.dll",
                                   folder + "/../../../windows-" + arch + "/src/exports/Stub.dll"}) {
    const std::string normal = io::TextOf(io::PathOf(place).lexically_normal());
    // A module that is there but cannot be looked at is named, so that reading it says why.
    std::error_code error;
    if (fs::status(io::PathOf(place), error).type() != fs::file_type::not_found) return normal;
    *tried += (tried->empty() ? "" : ", ") + normal;
  }
  return "";
}

// Whether the module at `path` is, as `check` sees it, a copy of Stub.dll for `arch`.
bool UsableModule(const std::string& path, const std::string& arch, bool archGiven, std::string* bytes,
                  std::string* problem) {
  if (!ReadRegularFile(path, kModuleSizeLimit, bytes, problem)) {
    *problem = "cannot read the module " + path + ": " + *problem;
    return false;
  }
  const ModuleFile file = ReadModuleFile(path, true, *bytes);
  std::vector<Finding> findings;
  CheckModuleFile(file, io::FileName(path), &findings);
  if (!findings.empty()) {
    *problem = findings[0].message;
    for (const std::string& note : findings[0].notes) *problem += "; " + note;
    *problem += "; name a copy of Stub.dll with --module";
  } else if (file.architecture != arch) {
    *problem = "the module " + path + " is the " + file.architecture + " module, not the " + arch + " one " +
               (archGiven ? "asked for with --arch" : "made without --arch (x64 is the default)") +
               ": give --arch " + file.architecture + " for a package for " +
               (file.architecture == "x86" ? "32-bit" : "64-bit") + " hosts, or name the " + arch +
               " Stub.dll";
  }
  return findings.empty() && file.architecture == arch;
}

// The script of one class, laid out as the sample package's. The version-independent
// ProgID carries the CLSID too: CLSIDFromProgID does not follow CurVer.
std::string Script(const std::string& name, const NewClass& c, const std::string& id) {
  const std::string progId = name + "." + c.kind, description = name + " " + c.description;
  const std::string named = " = s '" + description + "'\n\t{\n\t\tCLSID = s '" + id + "'\n";
  return "HKCR\n{\n"
         "\t" +
         progId + ".1" + named +
         "\t}\n"
         "\t" +
         progId + named + "\t\tCurVer = s '" + progId +
         ".1'\n\t}\n"
         "\tNoRemove CLSID\n\t{\n"
         "\t\tForceRemove " +
         id + " = s '" + description +
         "'\n\t\t{\n"
         "\t\t\tProgID = s '" +
         progId +
         ".1'\n"
         "\t\t\tVersionIndependentProgID = s '" +
         progId +
         "'\n"
         "\t\t\tInprocServer32 = s '%Module%'\n\t\t\t{\n"
         "\t\t\t\tval ThreadingModel = s '" +
         c.threadingModel +
         "'\n"
         "\t\t\t}\n\t\t}\n\t}\n}\n";
}

// Everything `new` has made so far, taken away again, last first, unless cleared.
struct Undo {
  std::vector<std::string> made;
  ~Undo() {
    std::error_code error;
    for (auto it = made.rbegin(); it != made.rend(); ++it) fs::remove_all(io::PathOf(*it), error);
  }
};

// A new folder at `path`, taken away with `undo`; false with `problem` set.
bool MakeFolder(const fs::path& path, Undo* undo, std::string* problem) {
  std::error_code error;
  if (fs::create_directory(path, error)) {
    undo->made.push_back(io::TextOf(path));
    return true;
  }
  *problem = "cannot make the folder " + io::TextOf(path) + ": " + (error ? error.message() : "it exists");
  return false;
}

// The folder `path` with the missing ones above it, each made here (and so alone taken back).
bool MakeFolders(const fs::path& path, Undo* undo, std::string* problem) {
  std::error_code error;
  if (path.empty() || fs::exists(path, error)) return true;
  const bool root = !path.has_parent_path() || path.parent_path() == path;
  return (root || MakeFolders(path.parent_path(), undo, problem)) && MakeFolder(path, undo, problem);
}

// The lock file in a staging folder, held by its run for as long as it runs: a staging folder whose
// lock no process holds is what a run killed outright (SIGKILL, a power cut) left behind.
constexpr char kStagingLock[] = "new.lock";

// The package written whole under `staging`, held by `lock`: NAME/ with its scripts, then NAME.dll.
bool Stage(const std::string& staging, const std::string& name, const std::vector<std::string>& ids,
           const std::string& moduleBytes, Undo* undo, io::HeldLock* lock, std::string* problem) {
  const auto write = [problem](const std::string& what, const std::string& path, const std::string& bytes) {
    if (WriteNewFile(path, bytes, problem)) return true;
    *problem = "cannot write " + what + path + ": " + *problem + "; nothing was left written";
    return false;
  };
  const std::string folder = staging + "/" + name, lockFile = staging + "/" + kStagingLock;
  if (!MakeFolder(io::PathOf(staging), undo, problem)) return false;
  if (!lock->Make(lockFile, problem)) {
    *problem = "cannot write " + lockFile + ": " + *problem + "; nothing was left written";
    return false;
  }
  if (!MakeFolder(io::PathOf(folder), undo, problem)) return false;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::string path = folder + "/" + Utf8(PackageClasses[i].scriptName);
    if (!write("", path, Script(name, kNewClasses[i], ids[i]))) return false;
  }
  return write("the module copy ", folder + ".dll", moduleBytes);
}

// Whether `folder` is a staging folder of `new` (.NAME.new- and eight hexadecimal digits, NAME a package
// name) holding its lock file and nothing but what a run writes there: NAME/ with the scripts, NAME.dll.
bool StagingFolder(const fs::path& folder) {
  std::error_code error;
  const std::string entry = io::TextOf(folder.filename());
  const std::size_t dash = entry.rfind(".new-");
  if (entry.size() < 2 || entry[0] != '.' || dash == std::string::npos || entry.size() != dash + 13 ||
      entry.find_first_not_of("0123456789ABCDEF", dash + 5) != std::string::npos) {
    return false;
  }
  const std::string name = entry.substr(1, dash - 1);
  std::string problem;
  if (!ValidPackageName(name, &problem) || !fs::is_directory(fs::symlink_status(folder, error))) return false;
  const auto scripts = [&](const fs::path& inner) {
    for (const auto& script : fs::directory_iterator(inner, error)) {
      const std::string file = io::TextOf(script.path().filename());
      const bool known = std::any_of(std::begin(PackageClasses), std::end(PackageClasses),
                                     [&](const auto& c) { return Utf8(c.scriptName) == file; });
      if (!known || !script.is_regular_file(error) || script.is_symlink(error)) return false;
    }
    return !error;
  };
  bool locked = false;
  for (const auto& part : fs::directory_iterator(folder, error)) {
    const std::string file = io::TextOf(part.path().filename());
    const fs::file_type type = part.symlink_status(error).type();
    const bool regular = type == fs::file_type::regular;
    locked = locked || (file == kStagingLock && regular);
    bool expected = false;
    if (file == kStagingLock || file == name + ".dll")
      expected = regular;
    else if (file == name)
      expected = type == fs::file_type::directory && scripts(part.path());
    if (!expected) return false;
  }
  return locked && !error;
}

// Removes from `dir` the staging folders of runs of `new` that were killed outright (that no running
// `new` holds); answers their names. The lock file goes last, so that a removal cut short is still known.
std::vector<std::string> RemoveLeftovers(const std::string& dir) {
  std::error_code error;
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(io::PathOf(dir), error)) {
    if (StagingFolder(entry.path())) found.push_back(entry.path());
  }
  std::vector<std::string> removed;
  for (const fs::path& folder : found) {
    io::HeldLock lock;
    // Looked at again once held: no run changes it any more.
    if (!lock.Take(io::TextOf(folder / kStagingLock)) || !StagingFolder(folder)) continue;
    lock.Release();  // on Windows an open file cannot be removed
    std::vector<fs::path> parts;
    for (const auto& part : fs::directory_iterator(folder, error)) parts.push_back(part.path());
    for (const fs::path& part : parts) {
      if (part.filename() != kStagingLock) fs::remove_all(part, error);
    }
    fs::remove(folder / kStagingLock, error);
    if (fs::remove(folder, error)) removed.push_back(io::TextOf(folder.filename()));
  }
  return removed;
}

// Says in one line which staging folders of `dir` RemoveLeftovers `removed`, if any.
void TellRemoved(const std::string& dir, const std::vector<std::string>& removed) {
  std::string names;
  for (const std::string& folder : removed) names += (names.empty() ? "" : ", ") + dir + "/" + folder;
  if (removed.empty()) return;
  io::PrintError("stub-check new: removed " + std::to_string(removed.size()) +
                 " staging folder(s) that runs of new killed outright left behind: " + Escaped(names) + "\n");
}

// The entry NAME.dll, else NAME, of `dir` in any letter case (as Windows matches), as spelled there.
std::string Existing(const std::string& dir, const std::string& name) {
  std::error_code error;
  std::string found;
  for (const auto& entry : fs::directory_iterator(io::PathOf(dir), error)) {
    const std::string there = io::TextOf(entry.path().filename());
    if (Lower(there) == Lower(name + ".dll")) return there;
    if (Lower(there) == Lower(name)) found = there;
  }
  return found;
}

// Whether the package can be made in `dir` (`*dirExists`: it is there) without replacing anything.
bool CheckTarget(const std::string& dir, const std::string& name, bool* dirExists, std::string* problem) {
  std::error_code error;
  problem->clear();
  const fs::file_status dirStatus = fs::status(io::PathOf(dir), error);
  *dirExists = fs::exists(dirStatus);
  const std::string there = *dirExists ? Existing(dir, name) : "";
  if (error && error != std::errc::no_such_file_or_directory) {
    *problem = "cannot use the folder " + dir + ": " + error.message();
  } else if (*dirExists && !fs::is_directory(dirStatus)) {
    *problem = dir + " is not a folder: give --dir a folder, or a path where one can be made";
  } else if (!there.empty()) {
    *problem = dir + "/" + there + " already exists; nothing was written (choose another name or folder)";
  }
  return problem->empty();
}

// What `new` says it made (`folder` and its module copy), and what to do next.
std::string Summary(const std::string& folder, const std::string& name, const std::string& arch,
                    const std::string& module, const std::vector<std::string>& ids,
                    const std::string& upgradeCode) {
  // The folder and the module as given, escaped as every name the checker prints.
  const std::string shown = Escaped(folder);
  std::string summary = "Made the package " + name + " with the " + arch + " module (" +
                        (arch == "x64" ? "64-bit" : "32-bit") + " hosts):\n  " + shown + ".dll  a copy of " +
                        Escaped(module) + "\n";
  for (std::size_t i = 0; i < ids.size(); ++i) {
    std::string className = Utf8(PackageClasses[i].className);
    className.resize(std::max<std::size_t>(className.size() + 1, 10), ' ');
    summary += "  " + shown + "/" + Utf8(PackageClasses[i].scriptName) + "  class " + className + ids[i] +
               "  ProgID " + name + "." + kNewClasses[i].kind + ".1, " + kNewClasses[i].threadingModel + "\n";
  }
  return summary + "  UpgradeCode " + upgradeCode +
         " for the product source of this package's MSI, if you build one: keep it for every version\n" +
         "Next: stub-check check " + shown + ".dll\n";
}

}  // namespace

bool ValidPackageName(const std::string& name, std::string* problem) {
  problem->clear();
  // The longest ProgID made from the name, NAME.StyleText.1, must fit in 39 characters.
  constexpr std::size_t kProgIdLimit = 39, kSuffix = sizeof ".StyleText.1" - 1;
  const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  const auto other = std::find_if(name.begin(), name.end(),
                                  [&](char c) { return !letter(c) && !(c >= '0' && c <= '9') && c != '.'; });
  const std::size_t at = other - name.begin(), n = at < name.size() ? Utf8Sequence(name, at) : 0;
  if (name.empty()) {
    *problem = "the name is empty";
  } else if (other != name.end()) {
    // The whole character, as UTF-8 (or \xHH for a byte that is none).
    *problem =
        (*other == ' ' ? std::string("it holds a blank") : "it holds " + Quoted(name.substr(at, n ? n : 1))) +
        ": ProgIDs allow only letters, digits and periods";
  } else if (!letter(name[0])) {
    *problem = "it must start with a letter (a ProgID cannot start with a digit or a period)";
  } else if (name.back() == '.' || name.find("..") != std::string::npos) {
    *problem = "a period must stand between two parts (Windows drops a folder name's final period)";
  } else if (name.size() + kSuffix > kProgIdLimit) {
    *problem = "it is " + std::to_string(name.size()) + " characters long: the ProgID " + name +
               ".StyleText.1 would be longer than " + std::to_string(kProgIdLimit) +
               " characters; use at most " + std::to_string(kProgIdLimit - kSuffix);
  } else {
    CheckDeviceName(name, problem);
  }
  return problem->empty();
}

int NewCommand(const std::vector<std::string>& args) {
  ParsedLine line;
  if (const int exit = ReadCommandLine(kNewSpec, args, &line); exit >= 0) return exit;
  std::string problem;
  if (line.operands.empty())
    return Refuse("no package name given: stub-check new NAME (stub-check new --help)");
  const std::string name = line.operands[0];
  std::string dir = line.Get("--dir", "."), arch = line.Get("--arch", "x64"), module = line.Get("--module");
  if (!ValidPackageName(name, &problem))
    return Refuse("cannot name a package " + Quoted(name) + ": " + problem);

  // The module to copy, of the architecture asked for, checked before anything is written.
  std::string tried, moduleBytes;
  if (module.empty() && (module = FindShippedModule(arch, &tried)).empty()) {
    return Refuse("no " + arch + " module found beside this tool (looked at " + tried +
                  "): name one with --module FILE");
  }
  if (!UsableModule(module, arch, line.Has("--arch"), &moduleBytes, &problem)) return Refuse(problem);

  while (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  bool dirExists = false;
  if (!CheckTarget(dir, name, &dirExists, &problem)) return Refuse(problem);

  // Fresh class identifiers, none twice; an installer's UpgradeCode, so that
  // no other tool is needed for it; a token for the staging folder's name.
  std::vector<std::string> ids(std::size(PackageClasses));
  std::string token, upgradeCode;
  bool random = NewRandomGuid(&token) && NewRandomGuid(&upgradeCode);
  for (auto id = ids.begin(); id != ids.end() && random; ++id) {
    random = NewRandomGuid(&*id) && std::find(ids.begin(), id, *id) == id;
  }
  if (!random) return Refuse("this system gives no random numbers for fresh class identifiers");

  // An interrupt waits from the first thing made to the last, is looked at before the first rename
  // and after the last, and takes everything back; the hold outlives the undo, never cutting it short.
  // The staging folder's lock goes before the undo takes the folder away.
  HeldInterrupts held;
  Undo undo;
  io::HeldLock lock;
  if (!dirExists && !MakeFolders(io::PathOf(dir), &undo, &problem)) return Refuse(problem);
  if (dirExists) TellRemoved(dir, RemoveLeftovers(dir));
  // Written under a temporary name in DIR (one file system: the renames only move names).
  const std::string staging = dir + "/." + name + ".new-" + token.substr(1, 8);
  if (!Stage(staging, name, ids, moduleBytes, &undo, &lock, &problem)) return Refuse(problem);

  // Into place, unless something of the name appeared meanwhile or an interrupt came.
  const std::string there = Existing(dir, name);
  if (!there.empty()) {
    return Refuse(dir + "/" + there + " appeared while the package was written; nothing was left written");
  }
  if (held.Pending()) return Refuse("interrupted; nothing was left written");
  const std::string folder = dir + "/" + name, dll = folder + ".dll";
  std::error_code error;
  fs::rename(io::PathOf(staging + "/" + name), io::PathOf(folder), error);
  if (error) return Refuse("cannot move the package folder into place as " + folder + ": " + error.message());
  undo.made.push_back(folder);
  fs::rename(io::PathOf(staging + "/" + name + ".dll"), io::PathOf(dll), error);
  if (error) return Refuse("cannot move the module copy into place as " + dll + ": " + error.message());
  undo.made.push_back(dll);
  // The lock file goes while held where the system allows (POSIX), else just after.
  const fs::path lockFile = io::PathOf(staging + "/" + kStagingLock);
  fs::remove(lockFile, error);
  lock.Release();
  fs::remove(lockFile, error);
  fs::remove(io::PathOf(staging), error);
  const std::string summary = Summary(folder, name, arch, module, ids, upgradeCode);
  if (held.Pending() || !PrintChecked("stub-check new", summary)) return Refuse("nothing was left written");
  undo.made.clear();  // kept
  return 0;
}

}  // namespace check
