#include "package/class_server.h"

#include <cstddef>

#include "package/class_identity.h"
#include "package/module_path.h"
#include "platform/unique_resource.h"

namespace {

// Longer values (in UTF-16 units) name no file a path can reach.
constexpr DWORD kServerTextLimit = 32767;

bool IsBlankOrQuote(char16_t c) { return c == u' ' || c == u'\t' || c == u'"'; }

// The server value of `key` as terminated text in `*text`; false when the key
// names no server. `*other` is set, with `*text` left unusable, when it names
// one that cannot be read whole.
bool ReadServerValue(HKEY key, CHeapMemory<char16_t>* text, DWORD* type, bool* other) {
  DWORD size = 0;
  if (sys::RegQueryValueExW(key, nullptr, type, nullptr, &size) != ERROR_SUCCESS) return false;
  if ((*type != REG_SZ && *type != REG_EXPAND_SZ) || size < sizeof(char16_t)) return false;
  if (size / sizeof(char16_t) > kServerTextLimit) return *other = true;
  const DWORD units = size / sizeof(char16_t) + 1;
  text->Reset(static_cast<char16_t*>(sys::MemAlloc(units * sizeof(char16_t))));
  DWORD read = size;
  if (!*text || sys::RegQueryValueExW(key, nullptr, type, reinterpret_cast<BYTE*>(text->Get()), &read) !=
                    ERROR_SUCCESS) {
    return *other = true;  // it changed or memory ran out: not known to be ours
  }
  text->Get()[read / sizeof(char16_t)] = 0;  // ended at its size or its first NUL
  return true;
}

// Whether `path` names `moduleLongPath`: as written, in the loader's full form
// (trailing dots and blanks dropped, as the loader names the module it loads
// from such a path), or in the long form of that.
bool NamesModule(const char16_t* path, const char16_t* moduleLongPath) {
  if (sys::lstrcmpiW(path, moduleLongPath) == 0) return true;
  char16_t full[kModulePathCapacity];
  DWORD length = sys::GetFullPathNameW(path, full, kModulePathCapacity);
  const char16_t* named = length > 0 && length < kModulePathCapacity ? full : path;
  if (sys::lstrcmpiW(named, moduleLongPath) == 0) return true;
  char16_t longForm[kModulePathCapacity];
  length = sys::GetLongPathNameW(named, longForm, kModulePathCapacity);
  return length > 0 && length < kModulePathCapacity && sys::lstrcmpiW(longForm, moduleLongPath) == 0;
}

}  // namespace

ClassServer FindClassServer(const GUID& classId, const char16_t* moduleLongPath) {
  char16_t keyPath[6 + kGuidTextCapacity + 15] = u"CLSID\\";
  char16_t id[kGuidTextCapacity];
  FormatGuid(classId, id);
  std::size_t at = 6;
  for (const char16_t* c = id; *c; ++c) keyPath[at++] = *c;
  for (const char16_t* c = u"\\InprocServer32"; *c; ++c) keyPath[at++] = *c;
  keyPath[at] = 0;

  CUniqueKey key;
  if (sys::RegOpenKeyExW(HKEY_CLASSES_ROOT, keyPath, 0, KEY_QUERY_VALUE, key.Put()) != ERROR_SUCCESS) {
    return ClassServer::kNone;
  }
  CHeapMemory<char16_t> value;
  DWORD type = REG_NONE;
  bool unreadable = false;
  if (!ReadServerValue(key.Get(), &value, &type, &unreadable)) return ClassServer::kNone;
  if (unreadable) return ClassServer::kOtherModule;

  char16_t* path = value.Get();
  while (IsBlankOrQuote(*path)) ++path;
  std::size_t length = 0;
  while (path[length]) ++length;
  while (length > 0 && IsBlankOrQuote(path[length - 1])) path[--length] = 0;
  if (length == 0) return ClassServer::kNone;

  CHeapMemory<char16_t> expanded;
  if (type == REG_EXPAND_SZ) {
    const DWORD needed = sys::ExpandEnvironmentStringsW(path, nullptr, 0);
    if (needed == 0 || needed > kServerTextLimit) return ClassServer::kOtherModule;
    expanded.Reset(static_cast<char16_t*>(sys::MemAlloc(needed * sizeof(char16_t))));
    if (!expanded || sys::ExpandEnvironmentStringsW(path, expanded.Get(), needed) != needed) {
      return ClassServer::kOtherModule;
    }
    path = expanded.Get();
  }
  return NamesModule(path, moduleLongPath) ? ClassServer::kThisModule : ClassServer::kOtherModule;
}
