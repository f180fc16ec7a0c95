#include "server/class_factory.h"

#include <new>

#include "platform/unique_resource.h"
#include "server/guids.h"
#include "server/server_module.h"

const InterfaceTableRow CClassFactory::InterfaceTable[2] = {
    {&IID_IClassFactory, 0, 1},
    {nullptr, 0, 0},
};

HRESULT CClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (outer && !SameGuid(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  return createInstance_(outer, riid, object);
}

HRESULT CClassFactory::LockServer(BOOL lock) {
  if (lock) {
    ActiveModule->IncrementLockCount();
  } else {
    ActiveModule->DecrementLockCount();
  }
  return S_OK;
}

template <class Base>
HRESULT CCachedObject<Base>::QueryInterface(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  // Offsets count from the start of the Base object, where its first interface lies.
  char* start = reinterpret_cast<char*>(static_cast<Base*>(this));
  const InterfaceTableRow* found = nullptr;
  if (SameGuid(riid, IID_IUnknown)) {
    found = &Base::InterfaceTable[0];
  } else {
    for (const InterfaceTableRow* row = Base::InterfaceTable; row->kind != 0; ++row) {
      if (SameGuid(*row->iid, riid)) {
        found = row;
        break;
      }
    }
  }
  if (!found) return E_NOINTERFACE;
  // Every interface of the object shares this object's count, so the count is
  // raised directly rather than through the answer's table.
  CCachedObject::AddRef();
  *object = reinterpret_cast<IUnknown*>(start + found->offset);
  return S_OK;
}

template <class Base>
ULONG CCachedObject<Base>::AddRef() {
  LONG count = this->InternalAddRef();
  if (count == 2) ActiveModule->IncrementLockCount();
  return static_cast<ULONG>(count);
}

template <class Base>
ULONG CCachedObject<Base>::Release() {
  LONG count = this->InternalRelease();
  if (count == 0) {
    delete this;
  } else if (count == 1) {
    ActiveModule->DecrementLockCount();
  }
  return static_cast<ULONG>(count);
}

template class CCachedObject<CClassFactory>;

HRESULT CreateCachedClassFactory(InstanceCreator createInstance, REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  void* block = sys::MemAlloc(sizeof(CCachedObject<CClassFactory>));
  if (!block) return E_OUTOFMEMORY;
  CHeapObjectOwner<CCachedObject<CClassFactory>> factory(new (block) CCachedObject<CClassFactory>());
  factory->createInstance_ = createInstance;
  HRESULT result = factory->InitializeSection();
  if (FAILED(result)) return result;
  result = factory->QueryInterface(riid, object);
  if (result == S_OK) factory.Take();  // the caller's reference keeps it now
  return result;
}
