// The cached class factory: one per class-table row, created on first lookup.
//
// Its reference count tells the class table's reference (which does not keep the
// module loaded) from clients' references (which do): the module's lock count is
// raised when the count steps from 1 to 2 and lowered when it steps from 2 to 1.
#pragma once

#include "platform/platform.h"
#include "server/class_table.h"
#include "server/object_root.h"

/// One row of an interface table: where an interface lies within its object.
struct InterfaceTableRow {
  const IID* iid;
  DWORD offset;
  /// 1: the interface lies at `offset`; 0 ends the table.
  DWORD kind;
};

/// IClassFactory whose CreateInstance refuses aggregation and otherwise defers to
/// the row's instance creator. Never instantiated by itself.
class CClassFactory : public IClassFactory, public CObjectRootEx<CMultiThreadModel> {
 public:
  /// E_POINTER for a null `object`; CLASS_E_NOAGGREGATION when `outer` is given with
  /// an interface other than IID_IUnknown; otherwise the instance creator's answer.
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override;
  /// Raises (non-zero) or lowers (zero) the module's lock count; always S_OK.
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

  /// The interfaces of a class factory: IClassFactory at the object's start. The
  /// first row also serves IID_IUnknown.
  static const InterfaceTableRow InterfaceTable[2];

 protected:
  InstanceCreator createInstance_ = nullptr;

  friend HRESULT CreateCachedClassFactory(InstanceCreator, REFIID, void**);
};

/// The heap-allocated class object: interface-table QueryInterface and the
/// lock-aware reference count described above.
template <class Base>
class CCachedObject final : public Base {
 public:
  CCachedObject() = default;
  /// Marks the count as destroying before the section goes.
  ~CCachedObject() { this->refCount_ = kDestroyingRefCount; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  static void operator delete(void* block) { sys::MemFree(block); }

 private:
  friend HRESULT CreateCachedClassFactory(InstanceCreator, REFIID, void**);
};

/// Creates a class factory around `createInstance` and answers `riid` of it in
/// `*object` (count 1, owned by the caller; the module lock is not raised).
/// E_POINTER for a null `object`; E_OUTOFMEMORY (nothing left behind) when the
/// object or its critical section cannot be made; E_NOINTERFACE for an interface
/// other than IID_IUnknown and IID_IClassFactory.
HRESULT CreateCachedClassFactory(InstanceCreator createInstance, REFIID riid, void** object);
