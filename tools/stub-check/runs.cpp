// The package installed on an emulated machine: the module's own load,
// registration and removal, and what each leaves in the registry.
#include <algorithm>

#include "checker.h"
#include "package/class_identity.h"
#include "package/module_path.h"
#include "package/self_registration.h"
#include "platform/emulated/emulator.h"
#include "server/class_table.h"
#include "server/server_module.h"

namespace check {
namespace {

const char* const kScriptNames[2] = {"Style.rgs", "StyleText.rgs"};
const char* const kClassNames[2] = {"Stub", "StubText"};

// A fresh emulated machine: `registry`, the module at `modulePath`, and the
// package's scripts in the folder the module derives from it.
void SetUpMachine(const Package& package, const Snapshot& registry,
                  const std::u16string& modulePath, const std::u16string& directory) {
  emu::Reset();
  Restore(registry);
  emu::SetModuleFileName(sys::ThisModule(), modulePath);
  if (directory.empty()) return;
  for (const ScriptFile& script : package.scripts) {
    const std::u16string path = directory + Utf16(script.name);
    if (script.isFolder) {
      emu::PutDirectory(path);
    } else if (script.found) {
      emu::PutFile(path, script.bytes);
    }
  }
}

std::vector<Box> TakeBoxes() {
  std::vector<Box> boxes;
  for (const emu::MessageBoxRecord& box : emu::MessageBoxes()) {
    boxes.push_back({Utf8(box.caption), Utf8(box.text)});
  }
  return boxes;
}

// The script as the module loads it, or empty when it cannot be loaded.
bool LoadText(const std::u16string& path, std::u16string* text) {
  CHeapMemory<char16_t> loaded;
  if (FAILED(LoadScriptText(path.c_str(), &loaded))) return false;
  *text = loaded.Get();
  return true;
}

bool IsUnder(const std::u16string& path, const std::u16string& top) {
  return path.size() > top.size() && path.compare(0, top.size(), top) == 0 &&
         path[top.size()] == u'\\';
}

// Where a run in `mode` stopped: which script failed first, on the machine as
// it was before the run, and where in that script.
void LocateFailure(const Package& package, const Snapshot& before, const Install& install,
                   const std::vector<ScriptReading>& readings, ScriptMode mode,
                   std::vector<Finding>* findings) {
  int failing = -1;
  HRESULT result = S_OK;
  SetUpMachine(package, before, install.modulePath, install.directory);
  for (int i = 0; i < 2 && failing < 0; ++i) {
    result = RunScriptFile(install.modulePath.c_str(),
                           (install.directory + Utf16(kScriptNames[i])).c_str(), mode);
    if (result != S_OK) failing = i;
  }
  if (failing < 0 || readings[failing].name.empty()) return;
  SetUpMachine(package, before, install.modulePath, install.directory);
  if (failing == 1) {
    RunScriptFile(install.modulePath.c_str(), (install.directory + u"Style.rgs").c_str(), mode);
  }
  const Stop stop = LocateStop(readings[failing], install.modulePath, mode);
  Finding f = DescribeStop(readings[failing], stop, mode);
  if (stop.result != result) {
    f.message += " (the script itself answers " + DescribeResult(result) + ")";
  }
  if (mode == ScriptMode::kRegister) {
    f.remedy = failing == 0 ? "fix the script; StyleText.rgs is not run while Style.rgs fails"
                            : "fix the script; Style.rgs stays registered when StyleText.rgs fails";
  } else {
    f.remedy = failing == 0
                   ? "fix the script; StyleText.rgs is not removed while Style.rgs fails"
                   : "fix the script";
  }
  findings->push_back(f);
}

std::string LeftReason(const std::u16string& path, const Snapshot& after,
                       const std::vector<ScriptReading>& readings, bool removalFailed) {
  const std::u16string folded = FoldCase(path);
  if (folded.find(u"\\component categories\\") != std::u16string::npos) {
    return "a component category: removal leaves categories in place";
  }
  if (folded.find(u"\\implemented categories") != std::u16string::npos) {
    return "the class's category entry: removal leaves it in place";
  }
  for (const ScriptReading& r : readings) {
    const std::size_t key = r.FindKey(path);
    if (key != kNoKey && r.keys[key].noRemoveEntry != kNoKey) {
      const Place p = r.PlaceOfPrepared(r.tokens[r.entries[r.keys[key].noRemoveEntry].token].start);
      return "NoRemove (" + r.name + " line " + std::to_string(p.line) + ")";
    }
  }
  for (auto it = after.upper_bound(folded); it != after.end() && IsUnder(it->first, folded); ++it) {
    if (it->first.find(u"\\implemented categories") != std::u16string::npos) {
      return "the class key holds its category entries, so removal keeps it and its values";
    }
    return "it still has subkeys (" + Utf8(it->second.path.substr(path.size() + 1)) + ")";
  }
  if (removalFailed) return "removal stopped at an error before it reached this key";
  return "no removal entry of the scripts takes it away";
}

}  // namespace

Install RunInstall(const Package& package, const std::u16string& modulePath) {
  Install install;
  install.modulePath = modulePath;
  char16_t directory[kModulePathCapacity] = {};
  if (modulePath.size() < kModulePathCapacity &&
      GetPackageDirectory(modulePath.c_str(), directory)) {
    install.directory = directory;
  }

  // Load: what the module does at process attach.
  SetUpMachine(package, package.base, modulePath, install.directory);
  char16_t longPath[kModulePathCapacity];
  char16_t found[kModulePathCapacity];
  install.load.ran = true;
  install.load.result = LocatePackage(ModuleInstance, longPath, found);
  install.load.boxes = TakeBoxes();
  if (!emu::OpenedPaths().empty()) {
    const std::u16string& last = emu::OpenedPaths().back();
    install.load.lastScript = Utf8(last.substr(last.rfind(u'\\') + 1));
  }
  install.load.exitCode = FAILED(install.load.result) ? 3 : 0;
  if (FAILED(install.load.result)) {
    for (const Box& box : install.load.boxes) {
      install.findings.push_back({Severity::kError, "load-fails", "", 0, 0,
                                  "the module shows the box \"" + box.caption + "\" with the text \"" +
                                      box.text + "\" and fails to load [" +
                                      DescribeResult(install.load.result) +
                                      "]: regsvr32 exits 3, and COM clients cannot create the classes",
                                  ""});
    }
    return install;
  }
  install.ids[0] = CLSID_Stub;
  install.ids[1] = CLSID_StubText;
  install.idsRead = true;

  // The scripts, read as the interpreter reads them.
  std::vector<ScriptReading> readings(2);
  for (int i = 0; i < 2; ++i) {
    std::u16string text;
    if (LoadText(install.directory + Utf16(kScriptNames[i]), &text)) {
      readings[i] = ReadScript(kScriptNames[i], text, modulePath, &install.findings);
    }
  }
  CheckProgIds(readings, &install.findings);

  // Registration, from the registry the check starts from.
  SetUpMachine(package, package.base, modulePath, install.directory);
  install.registration.ran = true;
  install.registration.result = RegisterServer();
  install.registration.boxes = TakeBoxes();
  install.registration.exitCode = FAILED(install.registration.result) ? 5 : 0;
  const Snapshot registered = TakeSnapshot();
  install.registration.changes = RegDiff(package.base, registered);
  if (FAILED(install.registration.result) && install.registration.boxes.empty()) {
    LocateFailure(package, package.base, install, readings, ScriptMode::kRegister,
                  &install.findings);
  }

  // Removal, from what registration left.
  SetUpMachine(package, registered, modulePath, install.directory);
  install.removal.ran = true;
  install.removal.result = UnregisterServer();
  install.removal.boxes = TakeBoxes();
  install.removal.exitCode = FAILED(install.removal.result) ? 5 : 0;
  const Snapshot removed = TakeSnapshot();
  install.removal.changes = RegDiff(registered, removed);
  if (FAILED(install.removal.result) && install.removal.boxes.empty()) {
    LocateFailure(package, registered, install, readings, ScriptMode::kRemove, &install.findings);
  }

  // What stays of the package once it is registered and removed again.
  for (const auto& [folded, key] : removed) {
    auto old = package.base.find(folded);
    if (old == package.base.end()) {
      install.leftBehind.push_back(
          {key.path, LeftReason(key.path, removed, readings, FAILED(install.removal.result))});
      continue;
    }
    for (const auto& [name, value] : key.values) {
      auto was = old->second.values.find(name);
      if (was == old->second.values.end() || !(was->second == value)) {
        install.leftBehind.push_back(
            {key.path, "value " + RegValueLine(value) + " stays (the key existed before)"});
      }
    }
  }

  // What a failed registration leaves, and what removal cannot take away.
  for (Finding& f : install.findings) {
    if (f.code != "registration-error") continue;
    int stayed = 0;
    for (const auto& [folded, key] : registered) stayed += !package.base.count(folded);
    f.message += "; after the failure " + std::to_string(stayed) +
                 " key(s) stay written (the failed root block is rolled back, earlier blocks and "
                 "the category entries stay), and removal then leaves " +
                 std::to_string(install.leftBehind.size()) + " key(s) or value(s)";
  }

  // A registration that succeeds must point COM at this copy of the module.
  if (SUCCEEDED(install.registration.result)) {
    for (int i = 0; i < 2; ++i) {
      const std::u16string server =
          u"HKEY_CLASSES_ROOT\\CLSID\\" + Utf16(GuidString(install.ids[i])) + u"\\InprocServer32";
      auto key = registered.find(FoldCase(server));
      const std::string file = kScriptNames[i];
      if (key == registered.end()) {
        install.findings.push_back(
            {Severity::kWarning, "no-server-key", file, 0, 0,
             std::string("registration writes no ") + Utf8(server) + ": COM cannot find the module for the " +
                 kClassNames[i] + " class",
             "register the class key of the identifier the script names, with InprocServer32 = s '%Module%'"});
        continue;
      }
      auto value = key->second.values.find(u"");
      const std::vector<BYTE> expected = TextData(modulePath);
      if (value == key->second.values.end() || value->second.type != REG_SZ ||
          value->second.data != expected) {
        install.findings.push_back(
            {Severity::kError, "wrong-server-path", file, 0, 0,
             std::string("the ") + kClassNames[i] + " class's InprocServer32 does not hold the module's path " +
                 Utf8(modulePath) +
                 (value == key->second.values.end() ? " (no default value)" : ": " + RegValueLine(value->second)),
             "write InprocServer32 = s '%Module%'"});
      }
      if (!key->second.values.count(u"threadingmodel")) {
        install.findings.push_back(
            {Severity::kWarning, "no-threading-model", file, 0, 0,
             std::string("the ") + kClassNames[i] +
                 " class has no ThreadingModel: COM creates it in the process's main apartment only",
             "add val ThreadingModel = s 'Apartment' (or 'Both', as the engine allows)"});
      }
    }
  }
  return install;
}

}  // namespace check
