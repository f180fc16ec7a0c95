#include "state_text.h"

#include <cstdio>

namespace catalog {
namespace {

using stub::host::State;

std::wstring Hex(unsigned long value, int digits) {
  wchar_t text[16];
  std::swprintf(text, 16, L"0x%0*lX", digits, value);
  return text;
}

std::wstring MachineName(WORD machine) {
  switch (machine) {
    case IMAGE_FILE_MACHINE_I386: return L"x86";
    case IMAGE_FILE_MACHINE_AMD64: return L"x64";
    case 0xAA64: return L"arm64";  // IMAGE_FILE_MACHINE_ARM64
    default: return Hex(machine, 4);
  }
}

// The class a package's state comes from: the first of the pair in use that
// is neither working nor ready, as Package::state() decides.
const stub::host::Class* DecidingClass(const stub::host::Package& package) {
  const State state = package.state();
  for (const stub::host::Class* entry : {package.style(), package.text()}) {
    if (entry && entry->state == state) return entry;
  }
  for (const stub::host::Class& entry : package.classes) {
    if (entry.state == state) return &entry;
  }
  return nullptr;
}

}  // namespace

std::wstring GuidText(const GUID& id) {
  wchar_t text[40] = {};
  StringFromGUID2(id, text, 40);
  return text;
}

std::wstring StateWord(State state) {
  const char* name = stub::host::StateName(state);
  return std::wstring(name, name + std::char_traits<char>::length(name));
}

std::wstring ClassDetail(const stub::host::Class& entry) {
  switch (entry.state) {
    case State::NoServer: return L"HKEY_CLASSES_ROOT\\CLSID\\" + GuidText(entry.clsid);
    case State::PathTooLong: return entry.path;
    case State::ModuleMissing:
    case State::NotAModule:
    case State::Changed: return entry.serverPath;
    case State::OtherArchitecture: return MachineName(entry.machine);
    case State::FolderMissing:
    case State::ScriptMissing:
    case State::ScriptUnreadable:
    case State::ManifestMissing:
    case State::NotInManifest: return entry.path;
    case State::BadIdentifier: return entry.path + L": " + entry.identifierText;
    case State::Stale: return GuidText(entry.scriptClsid);
    case State::BadManifest: return entry.path + L": " + Hex(static_cast<unsigned long>(entry.result), 8);
    case State::CreateFailed: return Hex(static_cast<unsigned long>(entry.result), 8);
    default: return std::wstring();
  }
}

std::wstring PackageDetail(const stub::host::Package& package) {
  const State state = package.state();
  if (state == State::ManifestMissing || state == State::BadManifest ||
      state == State::NotInManifest) {
    if (const stub::host::Class* entry = DecidingClass(package)) {
      if (!entry->path.empty()) return ClassDetail(*entry);
    }
    return package.manifestPath;
  }
  const stub::host::Class* entry = DecidingClass(package);
  return entry ? ClassDetail(*entry) : std::wstring();
}

const wchar_t* Remedy(State state, HRESULT result) {
  switch (state) {
    case State::Unchecked: return L"list the packages again.";
    case State::Ready:
    case State::Working: return L"";
    case State::NoServer:
      return L"a stale entry of a removed package: treat it as removed, or delete its class key.";
    case State::BadServer:
      return L"register the package again: its class key names no module file.";
    case State::PathTooLong:
      return L"install the package under a path of fewer than 260 characters and register it there.";
    case State::ModuleMissing: return L"install the package again, or remove its registration.";
    case State::NotAModule: return L"install the package again: its module must be a copy of Stub.dll.";
    case State::OtherArchitecture:
      return L"install the package's module built for this kind of process (x86 or x64).";
    case State::FolderMissing:
    case State::ScriptMissing:
    case State::ScriptUnreadable:
      return L"install the package again with its folder and both scripts beside its module.";
    case State::BadIdentifier:
      return L"correct the class identifier in the script (stub-check check names it) and register "
             L"the package again.";
    case State::SameIdentifier:
      return L"give each script its own class identifier (stub-check check names them) and register "
             L"the package again.";
    case State::Stale:
      return L"use the classes the scripts name now; remove the old class key to clear it.";
    case State::Changed: return L"its registration changed since it was listed: list the packages again.";
    case State::CreateFailed:
      // The module file itself serves no class its scripts name: whatever
      // DLL stands there (the engine's, say), it is no package module.
      if (result == CLASS_E_CLASSNOTAVAILABLE) {
        return L"the module file serves no class its scripts name, so it is not a package module: "
               L"replace it with a copy of Stub.dll.";
      }
      return L"the checks passed but the creation failed: install the engine for this kind of "
             L"process, or run stub-check on the package.";
    case State::TimedOut:
      return L"the probe did not end in time and was killed: try again with a longer limit, or "
             L"forget the verdict once the package is mended.";
    case State::Crashed:
      return L"the package crashed its probe: report it to the package's author; forget the "
             L"verdict once its module is replaced.";
    case State::Exited:
      return L"the package ended its probe: report it to the package's author; forget the "
             L"verdict once its module is replaced.";
    case State::ProbeFailed:
      return L"the probe could not be run or its report was malformed: install StubProbe.exe "
             L"for the module's architecture beside the host, and try again.";
    case State::NoStyle:
    case State::NoText:
      return L"one of its two classes is not registered: register the package again (regsvr32).";
    case State::ManifestMissing:
      return L"put the package's assembly manifest beside its module (stub-check export --format manifest).";
    case State::BadManifest:
    case State::NotInManifest:
      return L"export the package's manifest again (stub-check check --manifest names the mistake).";
  }
  return L"";
}

const wchar_t* PackageRemedy(const stub::host::Package& package) {
  // A package of a folder is never registered: a shorter folder is all it needs.
  if (package.origin == stub::host::Origin::Folder && package.state() == State::PathTooLong) {
    return L"move the packages' folder to where their module paths have fewer than 260 "
           L"characters; nothing needs registering.";
  }
  const stub::host::Class* entry = DecidingClass(package);
  return Remedy(package.state(), entry ? entry->result : S_OK);
}

std::wstring ShortPath(const std::wstring& path) {
  constexpr size_t kKept = 60;
  if (path.size() <= 2 * kKept + 3) return path;
  // Never between the two halves of a surrogate pair.
  size_t head = kKept, tail = path.size() - kKept;
  if (IS_HIGH_SURROGATE(path[head - 1])) --head;
  if (IS_LOW_SURROGATE(path[tail])) ++tail;
  return path.substr(0, head) + L"..." + path.substr(tail);
}

}  // namespace catalog
