// The one IUnknown of every object of the catalog: QueryInterface over the
// interfaces an object names, and a reference count that keeps the module
// loaded while the object is referenced.
#pragma once

#include <windows.h>
#include <objbase.h>

#include "catalog_module.h"
#include "platform/unique_resource.h"

namespace catalog {

/// A count for an object on the heap: created with one reference, deleted
/// with its last; the module stays loaded while the object lives.
class HeapReferences {
 public:
  HeapReferences() { LockModule(); }
  ~HeapReferences() { UnlockModule(); }
  HeapReferences(const HeapReferences&) = delete;
  HeapReferences& operator=(const HeapReferences&) = delete;

  static constexpr bool kDeletedWithLast = true;
  ULONG Add() { return static_cast<ULONG>(InterlockedIncrement(&count_)); }
  ULONG Drop() { return static_cast<ULONG>(InterlockedDecrement(&count_)); }

 private:
  LONG count_ = 1;
};

/// A count for an object that lives as long as the module (the class
/// object): each reference keeps the module loaded instead.
class ModuleReferences {
 public:
  static constexpr bool kDeletedWithLast = false;
  ULONG Add() {
    LockModule();
    return 2;
  }
  ULONG Drop() {
    UnlockModule();
    return 1;
  }
};

/// Serves IUnknown for an object of the COM interfaces `First, Others...`:
/// IUnknown is answered as `First`, every other identifier as `Find` says,
/// and the references are counted as `References` counts them.
template <class References, class First, class... Others>
class UnknownObject : public First, public Others... {
 public:
  UnknownObject() = default;
  virtual ~UnknownObject() = default;
  UnknownObject(const UnknownObject&) = delete;
  UnknownObject& operator=(const UnknownObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) final {
    if (!object) return E_POINTER;
    *object = IsEqualIID(riid, IID_IUnknown) ? static_cast<First*>(this) : Find(riid);
    if (!*object) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() final { return references_.Add(); }
  ULONG STDMETHODCALLTYPE Release() final {
    const ULONG left = references_.Drop();
    if (References::kDeletedWithLast && left == 0) delete this;
    return left;
  }

 protected:
  /// The interface pointer the object answers `riid` with (not IUnknown),
  /// or null for one it does not serve.
  virtual void* Find(REFIID riid) = 0;

 private:
  References references_;
};

}  // namespace catalog
