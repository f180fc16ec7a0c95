// Registry keys inside the script interpreter: CKeyHandle owns one, CBorrowedKey
// works on one that belongs to someone else.
#pragma once

#include "platform/platform.h"
#include "platform/unique_resource.h"

/// Deepest subtree, counted in key levels below the named key, that
/// DeleteTree walks; the registry itself allows no more than 512 levels.
constexpr int kMaxDeleteDepth = 512;
/// Returned by DeleteTree for a subtree deeper than kMaxDeleteDepth
/// (ERROR_STACK_OVERFLOW: the recursion would go too deep).
constexpr LONG kErrorTreeTooDeep = 1001;

/// The key operations of the interpreter on an open key it does not own: a
/// parent key handed down the walk, a predefined root key, or the key a
/// CKeyHandle holds. It never closes the key, so borrowing cannot close what
/// belongs to the caller. All results are Win32 codes (0 = success).
class CBorrowedKey {
 public:
  explicit CBorrowedKey(HKEY key) : key_(key) {}

  HKEY Get() const { return key_; }

  /// Deletes subkey `name` with all its descendants, deepest first. Returns the
  /// first failure: the open of `name` (2 when absent), a descendant that
  /// cannot be deleted (those deleted before it stay deleted),
  /// kErrorTreeTooDeep, or the final delete of `name`.
  LONG DeleteTree(const char16_t* name) const;

  /// Writes `text` with its terminator as a value of `type` (null name: the
  /// default value). A null `text` gives E_FAIL, which is negative and so
  /// passes the Win32-to-HRESULT rule unchanged.
  LONG StoreString(const char16_t* name, const char16_t* text, DWORD type) const;
  /// Writes REG_MULTI_SZ from a list of terminated strings ending with an
  /// empty one (counted). A null `list` gives E_FAIL as StoreString does.
  LONG StoreMultiString(const char16_t* name, const char16_t* list) const;
  /// Writes the 4 little-endian bytes of `value` as REG_DWORD.
  LONG StoreDword(const char16_t* name, DWORD value) const;

 private:
  LONG DeleteTreeAt(const char16_t* name, int depth) const;

  HKEY key_;
};

/// Holds at most one open registry key, obtained by Open or Create, and closes
/// it (code that works on someone else's key uses CBorrowedKey instead).
/// Move-only. All results are Win32 codes (0 = success).
class CKeyHandle {
 public:
  HKEY Get() const { return key_.Get(); }
  /// The held key to work on; valid while this wrapper holds it.
  CBorrowedKey Borrow() const { return CBorrowedKey(key_.Get()); }
  operator CBorrowedKey() const { return Borrow(); }

  /// Closes the held key (holding none afterwards even if the close failed)
  /// and returns the close's result; 0 when nothing was held.
  LONG Close() { return key_.Close(); }
  /// Opens `name` under `parent` (null name: a new handle to `parent`). On
  /// failure returns the error and this wrapper is unchanged. On success the
  /// previous key is closed and the new one held; returns that close's result.
  LONG Open(HKEY parent, const char16_t* name, REGSAM access);
  /// Opens or creates `name` under `parent`; failure and success as for Open.
  /// `disposition` (optional) receives the platform's created/opened answer.
  LONG Create(HKEY parent, const char16_t* name, char16_t* keyClass, DWORD options, REGSAM access,
              SECURITY_ATTRIBUTES* security, DWORD* disposition);

  /// The operations of CBorrowedKey on the held key.
  LONG DeleteTree(const char16_t* name) const { return Borrow().DeleteTree(name); }
  LONG StoreString(const char16_t* name, const char16_t* text, DWORD type) const {
    return Borrow().StoreString(name, text, type);
  }
  LONG StoreMultiString(const char16_t* name, const char16_t* list) const {
    return Borrow().StoreMultiString(name, list);
  }
  LONG StoreDword(const char16_t* name, DWORD value) const { return Borrow().StoreDword(name, value); }

 private:
  LONG Hold(LONG result, HKEY key);

  CUniqueKey key_;
};
