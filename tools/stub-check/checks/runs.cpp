// The package installed on an emulated machine: the module's own load,
// registration and removal, and what each leaves in the registry.
#include <algorithm>
#include <iterator>

#include "checks/package.h"
#include "findings/finding.h"
#include "module/module_file.h"
#include "package/class_identity.h"
#include "package/class_server.h"
#include "package/message_captions.h"
#include "package/module_path.h"
#include "package/package_classes.h"
#include "package/script_files.h"
#include "package/self_registration.h"
#include "platform/unique_resource.h"
#include "registry/emulator_session.h"
#include "registry/registry_state.h"
#include "scripts/script_reading.h"
#include "text/identifiers.h"
#include "text/text.h"

namespace check {
namespace {

// The user's classes key, HKEY_CLASSES_ROOT during DllInstall(TRUE, "user"); every user has one.
const char16_t kUserClasses[] = u"Software\\Classes";

// A fresh emulated machine over the registry it holds: the module at its path, and the package's scripts in
// the folder the module derives from it. Per user, HKCR stands for the user's classes key in every run.
void SetUpMachine(EmulatorSession& session, const Package& package, const Install& install) {
  session.NewMachineKeepingRegistry();
  CUniqueKey userClasses;
  if (package.perUser &&
      sys::RegCreateKeyExW(HKEY_CURRENT_USER, kUserClasses, 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, userClasses.Put(), nullptr) == ERROR_SUCCESS) {
    sys::RegOverridePredefKey(HKEY_CLASSES_ROOT, userClasses.Get());
  }
  session.SetModulePath(install.modulePath);
  if (install.directory.empty()) return;
  for (const ScriptFile& script : package.scripts) {
    const std::u16string path = install.directory + Utf16(script.name);
    if (script.isFolder) session.PutDirectory(path);
    if (script.found) session.PutFile(path, script.bytes);
  }
}

// A run's result, the boxes shown since the `boxesBefore` first, and regsvr32's exit code (`failed`).
RunResult Ran(const EmulatorSession& session, HRESULT result, std::size_t boxesBefore, int failed) {
  RunResult run{result, {}, "", FAILED(result) ? failed : 0, true, ""};
  for (const ShownBox& box : session.BoxesFrom(boxesBefore))
    run.boxes.push_back({Utf8(box.caption), Utf8(box.text)});
  return run;
}

// Where a failed run stopped, as the interpreter reported it, in the terms of
// the script's reading, and what it leaves (`made`: the keys its walk made, and how many stay).
void DescribeFailure(const PackageOutcome& outcome, std::pair<int, int> made, std::size_t written,
                     const std::vector<ScriptReading>& readings, ScriptMode mode, Install* install) {
  const int i = outcome.script;
  // A script that could not be loaded was never run; its box tells why.
  if (i < 0 || outcome.run.result == S_OK || readings[i].name.empty()) return;
  Finding f = DescribeStop(readings[i], outcome.run, mode);
  if (outcome.run.rolledBack) {
    f.notes.push_back(outcome.run.rollbackFinished
                          ? "the failed root block is rolled back"
                          : "the rollback of the failed root block stops early, at the same malformed text");
    if (made.first > 0) {
      f.notes.push_back(
          "its walk had made " + std::to_string(made.first) + " key(s), " +
          (made.second ? std::to_string(made.second) + " of which stay" : "none of which stays"));
      f.arguments.insert(f.arguments.end(), {{"keysMade", std::to_string(made.first)},
                                             {"keysStaying", std::to_string(made.second)}});
    }
  }
  // What the failure means for the package's other scripts: the next one, or after the last the first.
  const bool last = i + 1 == static_cast<int>(std::size(PackageClasses));
  const std::string name = Utf8(PackageClasses[i].scriptName),
                    next = Utf8(PackageClasses[last ? 0 : i + 1].scriptName);
  if (mode == ScriptMode::kRemove) {
    if (!last) f.notes.push_back(next + " is not removed while " + name + " fails");
  } else {
    const std::string left = std::to_string(install->leftBehind.size());
    f.notes.push_back(next + (last ? " stays registered when " : " is not run while ") + name + " fails");
    f.notes.push_back("after the failure " + std::to_string(written) +
                      " key(s) stay written (earlier blocks and the category entries stay)");
    f.notes.push_back("removal then leaves " + left + " key(s) or value(s)");
    f.arguments.insert(f.arguments.end(),
                       {{"keysWritten", std::to_string(written)}, {"keysLeftByRemoval", left}});
  }
  install->findings.push_back(f);
}

// Why a key stays after removal. `path` is named as the scripts name it:
// under HKEY_CLASSES_ROOT when it is under the classes key their HKCR stood for.
std::string LeftReason(const std::u16string& path, const Install& install, const Snapshot& after,
                       const std::vector<ScriptReading>& readings) {
  auto under = [](const std::u16string& key, const std::u16string& top) {
    return key.size() > top.size() && key.compare(0, top.size(), top) == 0 && key[top.size()] == u'\\';
  };
  const std::u16string folded = FoldCase(path), top = FoldCase(install.classesKey);
  const std::u16string named = under(folded, top) ? u"hkey_classes_root" + folded.substr(top.size()) : folded;
  if (folded.find(u"\\component categories\\") != std::u16string::npos)
    return "a component category: removal leaves categories in place";
  if (folded.find(u"\\implemented categories") != std::u16string::npos)
    return "the class's category entry: removal leaves it in place";
  for (const ScriptReading& r : readings) {
    const std::size_t key = r.FindKey(named);
    if (key != kNoKey && r.keys[key].noRemoveEntry != kNoKey) {
      const Place p = r.PlaceOfPrepared(r.tokens[r.entries[r.keys[key].noRemoveEntry].token].start);
      return "NoRemove (" + r.name + " line " + std::to_string(p.line) + ")";
    }
  }
  const auto below = after.upper_bound(folded);
  if (below != after.end() && under(below->first, folded)) {
    if (below->first.find(u"\\implemented categories") != std::u16string::npos)
      return "the class key holds its category entries, so removal keeps it and its values";
    return "it still has subkeys (" + Utf8(below->second.path.substr(path.size() + 1)) + ")";
  }
  if (FAILED(install.removal.result)) return "removal stopped at an error before it reached this key";
  return "no removal entry of the scripts takes it away";
}

// The findings of a load that failed: one per box the module showed, and what makes it go away.
void LoadFailures(Install* install) {
  for (const Box& box : install->load.boxes) {
    const std::size_t slash = box.text.rfind('\\');
    const std::string name = box.text.substr(slash + 1);  // the script the box names
    Finding f = Noted(FindingCode::kLoadFails, "", {},
                      "the module shows the box \"" + box.caption + "\" and fails to load", "",
                      {"the box's text is \"" + box.text + "\""});
    if (box.caption == Utf8(kModulePathTooLongCaption)) {
      // A name the module cannot hold whole: the box gives the part that fits.
      f.remedy = "install the package at a path of at most " + std::to_string(kModulePathCapacity - 1) +
                 " characters";
      f.notes.push_back("the module path is " + std::to_string(install->modulePath.size()) +
                        " characters long, more than the " + std::to_string(kModulePathCapacity - 1) +
                        " the module can hold of its own name (MAX_PATH less the terminating NUL)");
    } else if (box.caption == Utf8(kBadIdentifierCaption)) {
      const std::string& script = install->load.lastScript;
      f.remedy = "in " + (script.empty() ? std::string("the script") : script) + ", " + kIdentifierRemedy;
    } else if (box.caption == Utf8(kLoadFailedCaption)) {
      f.remedy = "make " + box.text + " a file the user can read (not a folder)";
    } else if (install->directory.empty() || name.size() < 4 || name.compare(name.size() - 4, 4, ".rgs")) {
      f.remedy = "name the module copy <Package>.dll and put the folder <Package>, holding " + ScriptNames() +
                 ", beside it";
    } else {
      f.remedy = "put " + name + " into " + Utf8(install->directory) +
                 " (the folder named after the module copy, its path less the last four characters), as a "
                 "file of exactly that name";
    }
    f.notes.push_back("the load answers " + DescribeResult(install->load.result));
    f.notes.push_back("regsvr32 exits 3, and COM clients cannot create the classes");
    f.arguments = {{"result", Hex32(install->load.result)}, {"boxCaption", box.caption}};
    if (slash != std::string::npos) f.arguments.push_back({"script", name});
    install->findings.push_back(std::move(f));
  }
}

// A registration that succeeds must point COM at this copy of the module: each class's InprocServer32.
void CheckServers(const EmulatorSession& session, const Install& install, std::vector<Finding>* findings) {
  for (std::size_t i = 0; i < install.ids.size(); ++i) {
    const std::string file = Utf8(PackageClasses[i].scriptName),
                      className = Utf8(PackageClasses[i].className);
    const std::string server =
        Utf8(install.classesKey) + "\\CLSID\\" + GuidString(install.ids[i]) + "\\InprocServer32";
    RegKey key;
    if (!session.ReadRegKey(Utf16(server), &key)) {
      findings->push_back(Noted(
          FindingCode::kNoServerKey, file, {},
          "registration writes no InprocServer32 for the " + className + " class",
          "register the class key of the identifier the script names, with InprocServer32 = s '%Module%'",
          {"no key " + server, "COM cannot find the module for the " + className + " class"}));
      continue;
    }
    auto value = key.values.find(u"");
    if (value == key.values.end() || value->second.type != REG_SZ ||
        value->second.data != TextData(install.modulePath)) {
      findings->push_back(
          Noted(FindingCode::kWrongServerPath, file, {},
                "the " + className + " class's InprocServer32 does not hold the module's path",
                "write InprocServer32 = s '%Module%'",
                {"the module is " + Utf8(install.modulePath),
                 value == key.values.end() ? "InprocServer32 has no default value"
                                           : "InprocServer32 holds " + RegValueLine(value->second)}));
    }
    if (!key.values.count(u"threadingmodel")) {
      findings->push_back(Noted(FindingCode::kNoThreadingModel, file, {},
                                "the " + className + " class has no ThreadingModel",
                                "add val ThreadingModel = s 'Apartment' (or 'Both', as the engine allows)",
                                {"COM creates it in the process's main apartment only"}));
    }
  }
}

// The file a class's InprocServer32 names in the emulated registry now, as its default value reads.
std::string RegisteredServer(const EmulatorSession& session, const Install& install, const GUID& id) {
  RegKey key;
  const std::u16string server =
      install.classesKey + u"\\CLSID\\" + Utf16(GuidString(id)) + u"\\InprocServer32";
  if (!session.ReadRegKey(server, &key)) return "";
  auto value = key.values.find(u"");
  return value == key.values.end() ? "" : Utf8(TextUpToNul(value->second.data));
}

// Classes the registry already gives another module file, as the module itself tells them apart: this
// package's registration takes them over, and its removal leaves them to that file.
std::vector<Finding> ClassesOfOtherModules(const EmulatorSession& session, const Install& install) {
  std::vector<Finding> findings;
  for (std::size_t i = 0; i < install.ids.size(); ++i) {
    if (FindClassServer(install.ids[i], install.modulePath.c_str()) != ClassServer::kOtherModule) continue;
    const std::string other = RegisteredServer(session, install, install.ids[i]),
                      id = GuidString(install.ids[i]), className = Utf8(PackageClasses[i].className);
    Finding f = Noted(
        FindingCode::kTakesClass, Utf8(PackageClasses[i].scriptName), {},
        "registration takes the " + className + " class " + id + " from another module file",
        "give this package identifiers of its own (stub-check new makes fresh ones), or remove the other "
        "package first",
        {"its InprocServer32 names " + other + " now, not " + Utf8(install.modulePath),
         "once registered, the class creates this package's engine objects, and removing this package "
         "takes it and its ProgIDs from the other package too",
         "removing this package while the class names the other file leaves the class and its ProgIDs "
         "alone: the module removes only classes that name it"});
    f.arguments = {{"classId", id}, {"otherModule", other}};
    findings.push_back(std::move(f));
  }
  return findings;
}

// A removal that left a class alone because another module file serves it: which, and why. `owners` are the
// findings of classes that named another file before registration; any other such class names the file its
// own script writes instead of %Module%, which `servers` already tells: its finding gets what removal does.
void KeptClasses(const EmulatorSession& session, const Install& install, const PackageOutcome& removal,
                 std::vector<Finding>* owners, std::vector<Finding>* servers) {
  const std::string kept =
      "removal leaves the class and its ProgIDs in place: the module removes only the "
      "classes whose InprocServer32 names it";
  for (std::size_t i = 0; i < install.ids.size() && i < std::size(removal.kept); ++i) {
    if (!removal.kept[i]) continue;
    const std::string other = RegisteredServer(session, install, install.ids[i]),
                      id = GuidString(install.ids[i]), file = Utf8(PackageClasses[i].scriptName);
    const auto named = [&](const Finding& f) { return f.Arg("classId") == id || f.file == file; };
    auto wrongPath = std::find_if(servers->begin(), servers->end(), [&](const Finding& f) {
      return f.code == FindingCode::kWrongServerPath && named(f);
    });
    if (wrongPath != servers->end() &&
        std::none_of(owners->begin(), owners->end(), [&](const Finding& f) { return named(f); })) {
      wrongPath->notes.push_back(kept);
      continue;
    }
    Finding f = Noted(FindingCode::kRemovalKeepsClass, file, {},
                      "removal leaves the " + Utf8(PackageClasses[i].className) + " class " + id +
                          " alone: its InprocServer32 names another module file",
                      "give this package identifiers of its own (stub-check new makes fresh ones)",
                      {"its InprocServer32 names " + other + ", not " + Utf8(install.modulePath), kept,
                       "the script is not run for removal, and removal still succeeds"});
    f.arguments = {{"classId", id}, {"otherModule", other}};
    owners->push_back(std::move(f));
  }
}

// Each class's keys registration left as they were (its key, InprocServer32, ProgID and
// VersionIndependentProgID), so that what the classes look like once registered is data the
// report's readers take without the session.
void KeepClassKeys(const EmulatorSession& session, Install& install) {
  for (const GUID& id : install.ids) {
    const std::u16string key = install.classesKey + u"\\CLSID\\" + Utf16(GuidString(id));
    for (const char16_t* below : {u"", u"\\InprocServer32", u"\\ProgID", u"\\VersionIndependentProgID"}) {
      const std::u16string path = key + below;
      RegKey found;
      if (!install.registered.count(FoldCase(path)) && session.ReadRegKey(path, &found))
        install.unchangedClassKeys.emplace(FoldCase(path), std::move(found));
    }
  }
}

// Registration and removal of a package that loads, kept as their changes from the registry to start from: a
// large export is held once, by the emulated machine, and put back.
void RunRegistration(EmulatorSession& session, const Package& package, Install& install) {
  SetUpMachine(session, package, install);
  std::vector<Finding> owners = ClassesOfOtherModules(session, install);  // told last, as the registry stood
  session.Mark();
  PackageOutcome registrationStop, removalStop;
  install.registration = Ran(
      session,
      package.perUser ? InstallServer(TRUE, u"user", &registrationStop) : RegisterServer(&registrationStop),
      0, 5);
  Changes registered = session.TakeChanges();
  install.registration.changes = RegDiff(registered.was, Changes(), registered);
  // How many keys a failed walk made (its HKCR the scripts' classes key), and how many stay.
  std::pair<int, int> madeKeys;
  const ScriptOutcome& walk = registrationStop.run;
  const std::u16string root =
      walk.failedRoot == HKEY_CLASSES_ROOT ? install.classesKey : LongRootName(walk.failedRoot);
  const char16_t* keys = walk.createdKeys.Get();
  for (int k = 0; k < walk.createdLength; k += sys::lstrlenW(keys + k) + 1, ++madeKeys.first) {
    RegKey key;
    madeKeys.second += session.ReadRegKey(root + u"\\" + (keys + k), &key);
  }
  std::vector<Finding> servers;  // told last
  if (SUCCEEDED(install.registration.result)) CheckServers(session, install, &servers);
  const std::size_t boxesBefore = session.BoxCount();
  install.removal = Ran(
      session, package.perUser ? InstallServer(FALSE, u"user", &removalStop) : UnregisterServer(&removalStop),
      boxesBefore, 5);
  KeptClasses(session, install, removalStop, &owners, &servers);
  const Changes removed = session.TakeChanges();
  session.RollBack();
  const Snapshot& base = removed.was;  // every key either run touched, as it was before registration
  install.removal.changes = RegDiff(base, registered, removed);
  // The scripts as the interpreter reads them, read after the runs: a large script is held once.
  std::vector<ScriptReading> readings(std::size(PackageClasses));
  for (std::size_t i = 0; i < readings.size(); ++i) {
    const std::u16string name = PackageClasses[i].scriptName;
    CHeapMemory<char16_t> text;
    if (SUCCEEDED(LoadScriptText((install.directory + name).c_str(), &text)))
      readings[i] = ReadScript(Utf8(name), text.Get(), install.modulePath, &install.findings);
  }
  CheckProgIds(readings, &install.findings);
  // What stays once registered and removed again: the keys that differ from the registry before.
  for (const auto& [folded, key] : removed.changed) {
    auto old = base.find(folded);
    if (old == base.end()) {
      install.leftBehind.push_back({key.path, LeftReason(key.path, install, removed.changed, readings)});
      continue;
    }
    for (const auto& [name, value] : key.values) {
      auto was = old->second.values.find(name);
      if (was != old->second.values.end() && was->second == value) continue;
      install.leftBehind.push_back(
          {key.path, "value " + RegValueLine(value) + " stays (the key existed before)"});
    }
  }
  if (FAILED(install.registration.result) && install.registration.boxes.empty()) {
    const std::size_t written = std::count_if(registered.changed.begin(), registered.changed.end(),
                                              [&](const auto& key) { return !base.count(key.first); });
    DescribeFailure(registrationStop, madeKeys, written, readings, ScriptMode::kRegister, &install);
  }
  if (FAILED(install.removal.result) && install.removal.boxes.empty())
    DescribeFailure(removalStop, {0, 0}, 0, readings, ScriptMode::kRemove, &install);
  install.findings.insert(install.findings.end(), servers.begin(), servers.end());
  install.findings.insert(install.findings.end(), owners.begin(), owners.end());
  install.registered = std::move(registered.changed);
  KeepClassKeys(session, install);
}

}  // namespace

Regsvr32 Regsvr32Of(const Package& package, bool removal) {
  const char* entry = package.perUser ? "DllInstall" : removal ? "DllUnregisterServer" : "DllRegisterServer";
  return {std::string("regsvr32") + (removal ? " /u" : "") + (package.perUser ? " /n /i:user" : ""), entry,
          package.moduleFile.Exit(entry)};
}

Install RunInstall(EmulatorSession& session, const Package& package, const std::u16string& modulePath) {
  Install install;
  install.modulePath = modulePath;
  install.classesKey =
      package.perUser ? u"HKEY_CURRENT_USER\\" + std::u16string(kUserClasses) : u"HKEY_CLASSES_ROOT";
  char16_t directory[kModulePathCapacity] = {};
  if (modulePath.size() < kModulePathCapacity && GetPackageDirectory(modulePath.c_str(), directory))
    install.directory = directory;
  SetUpMachine(session, package, install);
  char16_t longPath[kModulePathCapacity], found[kModulePathCapacity];
  install.load = Ran(session, LocateThisPackage(longPath, found), 0, 3);
  if (const std::u16string last = session.LastOpenedPath(); !last.empty()) {
    install.load.lastScript = Utf8(last.substr(last.rfind(u'\\') + 1));
  }
  // The module's own scan of each script, asked where it stopped (its opening is no part of the load), and
  // where in the script it read the identifier.
  install.scans.resize(std::size(PackageClasses));
  install.idPlaces.resize(install.scans.size());
  for (std::size_t i = 0; i < install.scans.size() && !install.directory.empty(); ++i) {
    GUID id;
    ReadScriptClassId((install.directory + PackageClasses[i].scriptName).c_str(), &id, &install.scans[i]);
    if (i < package.scripts.size())
      install.idPlaces[i] = IdentifierPlace(*package.scripts[i].bytes, install.scans[i]);
  }
  if (FAILED(install.load.result)) {
    LoadFailures(&install);
  } else {
    // A module path the module holds whole may still put a script's path past MAX_PATH, which
    // Windows opens only for a long-path aware process (regsvr32 and most hosts are not).
    std::u16string script;
    for (const PackageClass& row : PackageClasses) {
      if (std::u16string(row.scriptName).size() > script.size()) script = row.scriptName;
    }
    const std::size_t scriptPath = install.directory.size() + script.size(), most = kModulePathCapacity - 1;
    if (!install.directory.empty() && scriptPath > most) {
      install.findings.push_back(
          Noted(FindingCode::kLongPath, "", {},
                Utf8(script) + " lies at a path of " + std::to_string(scriptPath) + " characters, past " +
                    std::to_string(most),
                "install the package at a path of at most " +
                    std::to_string(install.modulePath.size() - (scriptPath - most)) + " characters",
                {"the module path is " + std::to_string(install.modulePath.size()) + " characters long",
                 "Windows opens at most " + std::to_string(most) +
                     " characters for a program that is not long-path aware",
                 "there the module shows \"" + Utf8(kMissingScriptCaption) +
                     "\" and fails to load (Wine opens the file)"}));
    }
    for (const PackageClass& row : PackageClasses) install.ids.push_back(*row.classId);
    install.idsRead = true;
    RunRegistration(session, package, install);
  }
  // What regsvr32 exits with for a module file that does not load or lacks the export it calls.
  const ModuleFile& file = package.moduleFile;
  install.load.fileStops = file.Exit("DllGetClassObject") == 3;
  if (install.load.fileStops) install.load.exitCode = 3;
  for (RunResult* run : {&install.registration, &install.removal}) {
    const Regsvr32 regsvr32 = Regsvr32Of(package, run == &install.removal);
    run->fileStops = regsvr32.fileExit >= 0;
    if (run->fileStops) run->exitCode = regsvr32.fileExit;
  }
  return install;
}

}  // namespace check
