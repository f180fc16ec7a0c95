// The real registry and the real module under Wine, in plain standard types,
// so that the checker's code (built over the emulated platform) can compare
// its prediction with them without the two platforms' headers meeting.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace real {

struct Value {
  std::u16string name;  // empty: the default value
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};
struct Key {
  std::u16string path;  // "HKEY_CLASSES_ROOT\..." or "HKEY_CURRENT_USER\..."
  std::vector<Value> values;
};

/// The keys under HKEY_CLASSES_ROOT and HKEY_CURRENT_USER that a script
/// naming `names` (case-folded) can reach: every top-level key of one of those
/// names with its whole subtree; below a shared top-level key (`shared`, such
/// as CLSID, holding thousands of others' keys) only the subtrees of the named
/// children, plus the shared key's first child, so that the key keeps a subkey
/// as it really has. The roots themselves are not listed.
std::vector<Key> ReadRegistry(const std::set<std::u16string>& names, const std::set<std::u16string>& shared);

/// What the module did: its load, then DllRegisterServer, the registry, then
/// DllUnregisterServer, the registry.
struct ModuleRun {
  bool loaded = false;
  std::uint32_t loadError = 0;
  std::int32_t registration = 0;
  std::int32_t removal = 0;
  std::vector<Key> registered;
  std::vector<Key> removed;
};
ModuleRun RunModule(const std::u16string& modulePath, const std::set<std::u16string>& names,
                    const std::set<std::u16string>& shared);

/// Makes `path`'s folder if needed and writes `bytes` there; false on failure.
bool WriteFile(const std::u16string& path, const std::string& bytes);
bool MakeFolder(const std::u16string& path);
bool CopyInto(const std::u16string& from, const std::u16string& to);

}  // namespace real
