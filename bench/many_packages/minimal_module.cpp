// The baseline module of the many-packages benchmark: an in-process server with
// an empty entry point that does the engine work of a creation (create the
// engine object, tell it this module's file name, answer the client from it)
// and nothing else. Padded to the size of Stub.dll, so that loading it maps and
// reads as many bytes; its copies are loaded the way package copies are.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <objbase.h>

#ifdef MANY_MINIMAL_BARE
constexpr unsigned kMinimalPaddingBytes = 512;  // the bare build, weighed to size the padding
#else
#include "minimal_padding.h"  // kMinimalPaddingBytes, generated from the size of Stub.dll
#endif
#include "server/stub_target.h"

namespace {

LONG g_locks = 0;
HMODULE g_self = nullptr;

// Filler that the linker keeps (it is read once per class-object request).
__attribute__((used)) const volatile unsigned char kPadding[kMinimalPaddingBytes] = {1};

class Factory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
      return E_NOINTERFACE;
    }
    *object = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&g_locks); }
  ULONG STDMETHODCALLTYPE Release() override { return InterlockedDecrement(&g_locks); }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    if (!g_self) {
      GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&g_locks), &g_self);
    }
    wchar_t name[MAX_PATH];
    if (!GetModuleFileNameW(g_self, name, MAX_PATH)) return E_FAIL;
    IStubTarget* target = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_StyleEngine, nullptr, CLSCTX_INPROC_SERVER, IID_IStubTarget,
                                  reinterpret_cast<void**>(&target));
    if (FAILED(hr)) return hr;
    hr = target->SetModulePath(reinterpret_cast<const char16_t*>(name));
    if (SUCCEEDED(hr)) hr = target->QueryInterface(riid, object);
    target->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    lock ? InterlockedIncrement(&g_locks) : InterlockedDecrement(&g_locks);
    return S_OK;
  }
};

Factory g_factory;

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD, void*) { return TRUE; }

HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID, REFIID riid, void** object) {
  (void)kPadding[0];
  return g_factory.QueryInterface(riid, object);
}

HRESULT STDMETHODCALLTYPE DllCanUnloadNow() { return g_locks == 0 ? S_OK : S_FALSE; }

}  // extern "C"
