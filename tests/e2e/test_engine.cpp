// test_engine.dll: an in-process COM server for the two engine classes, built
// only for the end-to-end tests. It records what the module passes to each
// engine object and can be told to misbehave (see test_engine.h).
#include "test_engine.h"

#include <cwchar>
#include <new>

namespace {

LONG g_liveObjects = 0;
LONG g_serverLocks = 0;

// Behaviour switches set by EngineConfigure. Tests configure the engine before
// they create objects, on the thread that then creates them.
HRESULT g_setModulePathResult = S_OK;
bool g_refuseInterface = false;
IID g_refusedInterface = {};
int g_misbehaviour = e2e::kEngineKeepsItsWord;

constexpr UINT kPathCapacity = 1024;

class EngineObject final : public IStubTarget, public e2e::IEngineProbe {
 public:
  explicit EngineObject(const CLSID& engineClass) : engineClass_(engineClass) {
    InterlockedIncrement(&g_liveObjects);
  }
  ~EngineObject() { InterlockedDecrement(&g_liveObjects); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (g_refuseInterface && IsEqualIID(riid, g_refusedInterface)) return E_NOINTERFACE;
    if (g_misbehaviour == e2e::kEngineAnswersNull && IsEqualIID(riid, e2e::kIID_IEngineProbe)) {
      return S_OK;
    }
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IStubTarget)) {
      *object = static_cast<IStubTarget*>(this);
    } else if (IsEqualIID(riid, e2e::kIID_IEngineProbe)) {
      *object = static_cast<e2e::IEngineProbe*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG refs = InterlockedDecrement(&refs_);
    if (refs == 0) delete this;
    return refs;
  }

  HRESULT STDMETHODCALLTYPE SetModulePath(const char16_t* path) override {
    InterlockedIncrement(&setModulePathCalls_);
    // Copy at once: the text is only valid during the call.
    const wchar_t* text = reinterpret_cast<const wchar_t*>(path);
    lstrcpynW(path_, text ? text : L"<null>", kPathCapacity);
    // Engines that misbehave for the hosts' probes, by the name of the
    // package that created them: one that never answers (...Stall.dll), one
    // that crashes on a null write (...Crash.dll), one that ends its process
    // (...Exit.dll), and one that shows a box (...Box.dll).
    if (text && std::wcsstr(text, L"Stall.dll")) Sleep(INFINITE);
    if (text && std::wcsstr(text, L"Crash.dll")) *static_cast<volatile int*>(nullptr) = 1;
    if (text && std::wcsstr(text, L"Exit.dll")) ExitProcess(3);
    if (text && std::wcsstr(text, L"Box.dll")) MessageBoxW(nullptr, L"An engine's own box", L"Box", MB_OK);
    return g_setModulePathResult;
  }

  HRESULT STDMETHODCALLTYPE GetModulePath(wchar_t* buffer, UINT capacity) override {
    if (!buffer || capacity == 0) return E_POINTER;
    lstrcpynW(buffer, path_, capacity);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetEngineClass(CLSID* classId) override {
    if (!classId) return E_POINTER;
    *classId = engineClass_;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE GetSetModulePathCalls() override { return setModulePathCalls_; }

 private:
  LONG refs_ = 0;
  LONG setModulePathCalls_ = 0;
  CLSID engineClass_;
  wchar_t path_[kPathCapacity] = {};
};

// One static factory per engine class; its references lock the server.
class EngineFactory final : public IClassFactory {
 public:
  explicit constexpr EngineFactory(const CLSID& engineClass) : engineClass_(engineClass) {}

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
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&g_serverLocks); }
  ULONG STDMETHODCALLTYPE Release() override { return InterlockedDecrement(&g_serverLocks); }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    if (g_misbehaviour == e2e::kEngineCreatesNothing) return S_OK;
    EngineObject* engine = new (std::nothrow) EngineObject(engineClass_);
    if (!engine) return E_OUTOFMEMORY;
    engine->AddRef();
    const HRESULT hr = engine->QueryInterface(riid, object);
    engine->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      InterlockedIncrement(&g_serverLocks);
    } else {
      InterlockedDecrement(&g_serverLocks);
    }
    return S_OK;
  }

 private:
  CLSID engineClass_;
};

EngineFactory g_styleFactory(CLSID_StyleEngine);
EngineFactory g_styleTextFactory(CLSID_StyleTextEngine);

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}

HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (IsEqualCLSID(clsid, CLSID_StyleEngine)) return g_styleFactory.QueryInterface(riid, object);
  if (IsEqualCLSID(clsid, CLSID_StyleTextEngine)) {
    return g_styleTextFactory.QueryInterface(riid, object);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT STDMETHODCALLTYPE DllCanUnloadNow() {
  return g_liveObjects == 0 && g_serverLocks == 0 ? S_OK : S_FALSE;
}

void EngineConfigure(HRESULT setModulePathResult, const IID* refusedInterface, int misbehaviour) {
  g_misbehaviour = misbehaviour;
  g_setModulePathResult = setModulePathResult;
  g_refuseInterface = refusedInterface != nullptr;
  g_refusedInterface = refusedInterface ? *refusedInterface : IID{};
}

LONG EngineLiveObjects() { return g_liveObjects; }

}  // extern "C"
