// The one owner of a registry key handle inside the script interpreter.
#pragma once

#include "platform/platform.h"

/// Deepest subtree, counted in key levels below the named key, that
/// DeleteTree walks; the registry itself allows no more than 512 levels.
constexpr int kMaxDeleteDepth = 512;
/// Returned by DeleteTree for a subtree deeper than kMaxDeleteDepth
/// (ERROR_STACK_OVERFLOW: the recursion would go too deep).
constexpr LONG kErrorTreeTooDeep = 1001;

/// Holds at most one open registry key. A key obtained by Open or Create is
/// owned and closed here; a key placed by Adopt belongs to someone else and is
/// never closed here (Disown it before the wrapper goes away). Move-only. All
/// results are Win32 codes (0 = success).
class CKeyHandle {
 public:
  CKeyHandle() = default;
  ~CKeyHandle() { Close(); }
  CKeyHandle(const CKeyHandle&) = delete;
  CKeyHandle& operator=(const CKeyHandle&) = delete;
  /// The source is left empty.
  CKeyHandle(CKeyHandle&& other) noexcept : key_(other.key_) { other.key_ = nullptr; }
  CKeyHandle& operator=(CKeyHandle&& other) noexcept;

  /// The held key, or null.
  HKEY Get() const { return key_; }

  /// Closes the held key (holding none afterwards even if the close failed)
  /// and returns the close's result; 0 when nothing was held.
  LONG Close();
  /// Opens `name` under `parent` (null name: a new handle to `parent`). On
  /// failure returns the error and this wrapper is unchanged. On success the
  /// previous key is closed and the new one held; returns that close's result.
  LONG Open(HKEY parent, const char16_t* name, REGSAM access);
  /// Opens or creates `name` under `parent`; failure and success as for Open.
  /// `disposition` (optional) receives the platform's created/opened answer.
  LONG Create(HKEY parent, const char16_t* name, char16_t* keyClass, DWORD options,
              REGSAM access, SECURITY_ATTRIBUTES* security, DWORD* disposition);
  /// Holds `key` without owning it; the wrapper must hold none beforehand.
  void Adopt(HKEY key) { key_ = key; }
  /// Lets go of the held key without closing it.
  void Disown() { key_ = nullptr; }

  /// Deletes subkey `name` of the held key with all its descendants, deepest
  /// first. Returns the first failure: the open of `name` (2 when absent), a
  /// descendant that cannot be deleted (those deleted before it stay deleted),
  /// kErrorTreeTooDeep, or the final delete of `name`.
  LONG DeleteTree(const char16_t* name);

  /// Writes `text` with its terminator as a value of `type` (null name: the
  /// default value). A null `text` gives E_FAIL, which is negative and so
  /// passes the Win32-to-HRESULT rule unchanged.
  LONG StoreString(const char16_t* name, const char16_t* text, DWORD type);
  /// Writes REG_MULTI_SZ from a list of terminated strings ending with an
  /// empty one (counted). A null `list` gives E_FAIL as StoreString does.
  LONG StoreMultiString(const char16_t* name, const char16_t* list);
  /// Writes the 4 little-endian bytes of `value` as REG_DWORD.
  LONG StoreDword(const char16_t* name, DWORD value);

 private:
  LONG Hold(LONG result, HKEY key);
  LONG DeleteTreeAt(const char16_t* name, int depth);

  HKEY key_ = nullptr;
};
