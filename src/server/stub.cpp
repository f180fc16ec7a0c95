#include "server/stub.h"

#include <new>

#include "platform/hresult.h"
#include "server/server_module.h"

namespace {

// Module paths hold at most 260 units, terminator included.
constexpr DWORD kModuleNameCapacity = 260;

}  // namespace

// ---- CStubObject ------------------------------------------------------------------------------

template <class T>
HRESULT CStubObject<T>::HandOff(REFIID riid, void** object) {
  if (!inner_) return E_NOINTERFACE;
  HRESULT result = inner_->QueryInterface(riid, object);
  // The engine's word is checked: a success with no interface is a refusal, and
  // a refusal never leaves the client a pointer it might use or release.
  if (SUCCEEDED(result) && !*object) result = E_NOINTERFACE;
  if (FAILED(result)) *object = nullptr;
  Dispose();
  return result;
}

template <class T>
HRESULT CStubObject<T>::Bind() {
  HRESULT result = sys::CoCreateInstance(T::InnerClassId(), nullptr, CLSCTX_INPROC_SERVER, IID_IStubTarget,
                                         reinterpret_cast<void**>(inner_.Put()));
  if (FAILED(result)) return result;
  // An engine that answers success without an object gave an unusable pointer;
  // any success with an object still gets the module path before a client sees it.
  if (!inner_) return E_POINTER;
  return PassModulePath();
}

template <class T>
HRESULT CStubObject<T>::PassModulePath() {
  // The engine locates the package from this name, so it must get the whole name
  // or nothing: a truncated name would point it at the wrong place.
  char16_t name[kModuleNameCapacity] = {};
  DWORD length = sys::GetModuleFileNameW(ModuleInstance, name, kModuleNameCapacity);
  if (length == 0) {
    DWORD error = sys::GetLastError();
    return error != ERROR_SUCCESS ? HResultFromWin32(static_cast<LONG>(error)) : E_FAIL;
  }
  if (length >= kModuleNameCapacity) return HResultFromWin32(ERROR_INSUFFICIENT_BUFFER);
  return inner_->SetModulePath(name);
}

template <class T>
void CStubObject<T>::Dispose() {
  // The stub is always a CHeapObject; its virtual destructor does the rest.
  delete this;
}

// ---- CHeapObject -----------------------------------------------------------------------------

template <class T>
CHeapObject<T>::CHeapObject() {
  ActiveModule->IncrementLockCount();
}

template <class T>
CHeapObject<T>::~CHeapObject() {
  this->refCount_ = kDestroyingRefCount;
  ActiveModule->DecrementLockCount();
}

template <class T>
ULONG CHeapObject<T>::AddRef() {
  return static_cast<ULONG>(this->InternalAddRef());
}

template <class T>
ULONG CHeapObject<T>::Release() {
  LONG count = this->InternalRelease();
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

template <class T>
HRESULT CHeapObject<T>::QueryInterface(REFIID riid, void** object) {
  return this->HandOff(riid, object);
}

// ---- Creation --------------------------------------------------------------------------------

HRESULT RefuseAggregation(IUnknown*, REFIID, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  return CLASS_E_NOAGGREGATION;
}

template <class T>
HRESULT CreateStubInstance(IUnknown* outer, REFIID riid, void** object) {
  if (outer) return RefuseAggregation(outer, riid, object);
  return CreateStub<T>(riid, object);
}

template <class T>
HRESULT CreateStub(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  void* block = sys::MemAlloc(sizeof(CHeapObject<T>));
  if (!block) return E_OUTOFMEMORY;
  CHeapObjectOwner<CHeapObject<T>> stub(new (block) CHeapObject<T>());

  // Held while binding; the plain counter steps back to 0 without destroying.
  CStubObject<T>* binding = stub.Get();
  binding->InternalAddRef();
  HRESULT result = binding->Bind();
  binding->InternalRelease();
  if (FAILED(result)) return result;

  // HandOff disposes of the stub exactly when it holds an engine object.
  const bool disposes = stub->IsBound();
  result = stub->QueryInterface(riid, object);
  if (disposes) stub.Take();  // already gone
  return result;
}

template HRESULT CreateStubInstance<Stub>(IUnknown*, REFIID, void**);
template HRESULT CreateStubInstance<StubText>(IUnknown*, REFIID, void**);
template HRESULT CreateStub<Stub>(REFIID, void**);
template HRESULT CreateStub<StubText>(REFIID, void**);
template class CStubObject<Stub>;
template class CStubObject<StubText>;
template class CHeapObject<Stub>;
template class CHeapObject<StubText>;
