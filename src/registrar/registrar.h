// The registrar object: the named replacements (%name%) of a script run.
#pragma once

#include "platform/platform.h"
#include "platform/unique_resource.h"

/// Named string pairs in the order they were added; owns a private copy of
/// every string. The same name may be added more than once.
class ReplacementMap {
 public:
  ReplacementMap() = default;
  ~ReplacementMap();
  ReplacementMap(const ReplacementMap&) = delete;
  ReplacementMap& operator=(const ReplacementMap&) = delete;

  /// Copies and appends the pair; false (map unchanged) for a null argument or
  /// when memory runs out.
  bool Add(const char16_t* name, const char16_t* value);
  /// Index of the first pair whose name matches without regard to case, or -1.
  int IndexOf(const char16_t* name) const;
  /// Value of the first matching pair, or null.
  const char16_t* Lookup(const char16_t* name) const;
  /// Stored strings of pair i; 0 <= i < Count().
  const char16_t* NameAt(int i) const { return names_.Get()[i].Get(); }
  const char16_t* ValueAt(int i) const { return values_.Get()[i].Get(); }
  int Count() const { return count_; }
  /// Frees every pair and both arrays; S_OK.
  HRESULT Clear();

 private:
  bool AppendPair(CTaskMemory<char16_t>& name, CTaskMemory<char16_t>& value);

  // Task-memory arrays of count_ strings each (the names array may hold one
  // spare element after a failed growth); every element owns its string.
  CTaskMemory<CTaskMemory<char16_t>> names_;
  CTaskMemory<CTaskMemory<char16_t>> values_;
  int count_ = 0;
};

/// The replacement interface of the registrar object.
struct IScriptReplacements : IUnknown {
  /// Adds the pair (name, value); E_INVALIDARG for a null argument,
  /// E_OUTOFMEMORY (map unchanged) when memory runs out.
  virtual HRESULT STDMETHODCALLTYPE DefineReplacement(const char16_t* name, const char16_t* value) = 0;
  /// Removes every pair; S_OK.
  virtual HRESULT STDMETHODCALLTYPE ResetReplacements() = 0;
};

/// Carries the replacements of one script run. It has no reference count:
/// AddRef and Release do nothing and the object's owner ends its life (it is a
/// local object of the code that runs the scripts).
class CRegistrar : public IScriptReplacements {
 public:
  CRegistrar() = default;
  virtual ~CRegistrar() = default;
  CRegistrar(const CRegistrar&) = delete;
  CRegistrar& operator=(const CRegistrar&) = delete;

  /// E_NOTIMPL for every interface, `object` untouched.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 0; }
  HRESULT STDMETHODCALLTYPE DefineReplacement(const char16_t* name, const char16_t* value) override;
  HRESULT STDMETHODCALLTYPE ResetReplacements() override { return map_.Clear(); }

  const ReplacementMap& Replacements() const { return map_; }

  // Never heap-allocated here; this keeps the virtual destructor from pulling
  // in the global operator delete.
  static void operator delete(void* block) { sys::MemFree(block); }

 private:
  ReplacementMap map_;
};
