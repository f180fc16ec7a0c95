// libFuzzer target: registry scripts through preparation and the key-tree walk,
// in both modes, on the emulated registry.
//
// Input layout: one flag byte, then the script text.
//   bit 0      set: removal only; clear: registration, then removal of the same script
//   bit 1      set: the text is UTF-16LE; clear: UTF-8
//   bit 7      set: the allocation numbered by bits 2-6 (1-31) fails during the first run
// A seed such as "0HKCR { ... }" is a readable UTF-8 script registered and removed.
//
// After every run: no registry handle, task-memory block or heap block is left.
// After every removal: the registry holds nothing that was not there before it
// (removal only ever deletes keys and values; it never creates or changes one).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "platform/emulated/emulator.h"
#include "platform/platform.h"
#include "registrar/registrar.h"
#include "registrar/script_parser.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "script_fuzzer: %s\n", what);
  std::abort();
}

// ---- Registry snapshots ----------------------------------------------------------------------

struct Snapshot {
  // Key path ("<root>\a\b", lower-cased ASCII so that case-only renames do not
  // count as changes) to its values: name (as stored) -> (type, data).
  std::map<std::u16string, std::map<std::u16string, std::pair<DWORD, std::vector<BYTE>>>> keys;
};

std::u16string Lower(std::u16string text) {
  for (char16_t& c : text) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  }
  return text;
}

void Collect(HKEY root, const std::u16string& label, const std::u16string& path, Snapshot& snapshot) {
  const emu::KeyContents contents = emu::ReadKey(root, path);
  if (!contents.exists) return;
  auto& values = snapshot.keys[Lower(label + u"\\" + path)];
  for (const emu::Value& value : contents.values) {
    values[Lower(value.name)] = {value.type, value.data};
  }
  for (const std::u16string& child : contents.subkeys) {
    Collect(root, label, path.empty() ? child : path + u"\\" + child, snapshot);
  }
}

Snapshot Take() {
  static const std::pair<HKEY, const char16_t*> kRoots[] = {
      {HKEY_CLASSES_ROOT, u"HKCR"}, {HKEY_CURRENT_USER, u"HKCU"},     {HKEY_LOCAL_MACHINE, u"HKLM"},
      {HKEY_USERS, u"HKU"},         {HKEY_PERFORMANCE_DATA, u"HKPD"}, {HKEY_CURRENT_CONFIG, u"HKCC"},
      {HKEY_DYN_DATA, u"HKDD"},
  };
  Snapshot snapshot;
  for (const auto& root : kRoots) Collect(root.first, root.second, u"", snapshot);
  return snapshot;
}

// Every key and value of `after` is in `before`, with the same type and data.
bool OnlyDeleted(const Snapshot& before, const Snapshot& after) {
  for (const auto& key : after.keys) {
    const auto old = before.keys.find(key.first);
    if (old == before.keys.end()) return false;
    for (const auto& value : key.second) {
      const auto oldValue = old->second.find(value.first);
      if (oldValue == old->second.end() || oldValue->second != value.second) return false;
    }
  }
  return true;
}

// ---- One input -------------------------------------------------------------------------------

// A registry with something in it for ForceRemove, Delete and removal to find.
void Seed() {
  const std::vector<BYTE> text = {'x', 0, 0, 0};
  emu::SetValue(HKEY_CLASSES_ROOT, u"CLSID\\{11111111-2222-3333-4444-555555555555}", u"", REG_SZ, text);
  emu::CreateKey(HKEY_CLASSES_ROOT, u"CLSID\\{11111111-2222-3333-4444-555555555555}\\Keep");
  emu::SetValue(HKEY_CLASSES_ROOT, u"Stub.Style", u"v", REG_DWORD, {1, 0, 0, 0});
  emu::CreateKey(HKEY_CLASSES_ROOT, u"Stub.Style\\CLSID");
  emu::CreateKey(HKEY_CURRENT_USER, u"Software\\Stub\\Settings");
}

void CheckNothingLeft() {
  if (emu::OpenKeyHandles() != 0) Fail("a registry key handle was left open");
  if (emu::LiveTaskMemBlocks() != 0) Fail("a task-memory block was left");
  if (emu::LiveHeapBlocks() != 0) Fail("a heap block was left");
}

HRESULT Run(const std::u16string& script, ScriptMode mode) {
  HRESULT hr = E_UNEXPECTED;
  {
    CRegistrar registrar;
    // Without memory for the replacements the run cannot start; that is fine.
    if (SUCCEEDED(registrar.DefineReplacement(u"Module", u"C:\\Packages\\Stub.dll")) &&
        SUCCEEDED(registrar.DefineReplacement(u"Owner", u"O'Brien's"))) {
      ScriptParser parser(&registrar);
      hr = parser.RunScript(script.c_str(), mode);
    }
  }
  emu::ClearFaults();
  CheckNothingLeft();
  return hr;
}

void RemoveAndCheck(const std::u16string& script) {
  const Snapshot before = Take();
  Run(script, ScriptMode::kRemove);
  if (!OnlyDeleted(before, Take())) Fail("removal created or changed a key or value");
}

std::u16string Decode(const std::uint8_t* data, std::size_t size, bool utf16) {
  if (!utf16) return emu::FromUtf8(std::string(reinterpret_cast<const char*>(data), size));
  std::u16string text;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t flags = data[0];
  const bool removeOnly = flags & 1;
  const bool utf16 = flags & 2;
  const int failAllocation = (flags & 0x80) ? (flags >> 2) & 0x1F : 0;
  // The script ends at its first NUL, as the text handed to RunScript does.
  std::u16string script = Decode(data + 1, size - 1, utf16);
  script = script.substr(0, script.find(u'\0'));

  emu::Reset();
  Seed();
  if (removeOnly) {
    if (failAllocation) emu::FailAllocation(failAllocation);
    const Snapshot before = Take();
    Run(script, ScriptMode::kRemove);
    if (!OnlyDeleted(before, Take())) Fail("removal created or changed a key or value");
    return 0;
  }
  if (failAllocation) emu::FailAllocation(failAllocation);
  Run(script, ScriptMode::kRegister);
  RemoveAndCheck(script);
  return 0;
}
