#include "registrar/key_handle.h"

namespace {
constexpr DWORD kReserved = 0;
constexpr DWORD kKeyNameCapacity = 256;  // 255 characters and the terminator
}  // namespace

// Replaces the held key by a freshly obtained one; the wrapper is untouched
// when the platform call failed.
LONG CKeyHandle::Hold(LONG result, HKEY key) {
  if (result != ERROR_SUCCESS) return result;
  const LONG closed = Close();
  key_.Reset(key);
  return closed;
}

LONG CKeyHandle::Open(HKEY parent, const char16_t* name, REGSAM access) {
  HKEY key = nullptr;
  const LONG result = sys::RegOpenKeyExW(parent, name, kReserved, access, &key);
  return Hold(result, key);
}

LONG CKeyHandle::Create(HKEY parent, const char16_t* name, char16_t* keyClass, DWORD options, REGSAM access,
                        SECURITY_ATTRIBUTES* security, DWORD* disposition) {
  HKEY key = nullptr;
  const LONG result =
      sys::RegCreateKeyExW(parent, name, kReserved, keyClass, options, access, security, &key, disposition);
  return Hold(result, key);
}

LONG CBorrowedKey::DeleteTree(const char16_t* name) const { return DeleteTreeAt(name, 1); }

// Each level holds one open key and one name buffer; `depth` bounds the
// recursion so that a pathologically deep tree cannot exhaust the stack.
LONG CBorrowedKey::DeleteTreeAt(const char16_t* name, int depth) const {
  if (depth > kMaxDeleteDepth) return kErrorTreeTooDeep;
  CKeyHandle subkey;
  LONG result = subkey.Open(key_, name, KEY_READ | KEY_WRITE);
  if (result != ERROR_SUCCESS) return result;
  for (;;) {
    char16_t child[kKeyNameCapacity];
    DWORD length = kKeyNameCapacity;
    // Always index 0: the child deleted on the previous pass no longer holds it.
    result = sys::RegEnumKeyExW(subkey.Get(), 0, child, &length);
    if (result != ERROR_SUCCESS) break;
    result = subkey.Borrow().DeleteTreeAt(child, depth + 1);
    if (result != ERROR_SUCCESS) return result;
  }
  // No more children (or an enumeration error): try the key itself; if
  // children remain, the platform refuses and says why.
  subkey.Close();
  return sys::RegDeleteKeyW(key_, name);
}

LONG CBorrowedKey::StoreString(const char16_t* name, const char16_t* text, DWORD type) const {
  if (!text) return E_FAIL;
  const DWORD size = static_cast<DWORD>(sys::lstrlenW(text) + 1) * sizeof(char16_t);
  return sys::RegSetValueExW(key_, name, kReserved, type, reinterpret_cast<const BYTE*>(text), size);
}

LONG CBorrowedKey::StoreMultiString(const char16_t* name, const char16_t* list) const {
  if (!list) return E_FAIL;
  DWORD units = 0;
  for (;;) {
    const DWORD length = static_cast<DWORD>(sys::lstrlenW(list + units));
    units += length + 1;
    if (length == 0) break;
  }
  return sys::RegSetValueExW(key_, name, kReserved, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(list),
                             units * sizeof(char16_t));
}

LONG CBorrowedKey::StoreDword(const char16_t* name, DWORD value) const {
  const BYTE bytes[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                         static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)};
  return sys::RegSetValueExW(key_, name, kReserved, REG_DWORD, bytes, sizeof(bytes));
}
