// StubHost.dll's module: DllMain, the class object of StubPackageCatalog,
// DllGetClassObject and DllCanUnloadNow, and the type library.
#include "catalog_module.h"

#include "platform/unique_resource.h"
#include "unknown_object.h"

// After every other header: the identifiers of the catalog's interfaces are defined here.
#include <initguid.h>

#include "stub/stub_catalog.h"

namespace catalog {
namespace {

HMODULE g_module = nullptr;
LONG g_locks = 0;
// The type information of each interface, read from the type library in this
// DLL's resources on first use and released when the module can unload;
// guarded by g_typeLock.
struct CachedInfo {
  IID iid;
  ITypeInfo* info;
};
CachedInfo g_infos[8] = {};
int g_infoCount = 0;
SRWLOCK g_typeLock = SRWLOCK_INIT;

HRESULT LoadInfoLocked(REFIID iid, ITypeInfo** info) {
  for (int i = 0; i < g_infoCount; ++i) {
    if (IsEqualIID(g_infos[i].iid, iid)) {
      *info = g_infos[i].info;
      return S_OK;
    }
  }
  if (g_infoCount == static_cast<int>(sizeof g_infos / sizeof g_infos[0])) return E_UNEXPECTED;
  const std::wstring path = ModulePath();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  CInterfacePtr<ITypeLib> library;
  HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.Put());
  if (FAILED(hr)) return hr;
  hr = library->GetTypeInfoOfGuid(iid, info);
  if (SUCCEEDED(hr)) g_infos[g_infoCount++] = CachedInfo{iid, *info};
  return hr;
}

void ReleaseInfosLocked() {
  for (int i = 0; i < g_infoCount; ++i) ResetInterface(g_infos[i].info);
  g_infoCount = 0;
}

// The one class object; its references lock the module.
class CatalogFactory final : public UnknownObject<ModuleReferences, IClassFactory> {
 public:
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return CreateCatalog(riid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      LockModule();
    } else {
      UnlockModule();
    }
    return S_OK;
  }

 private:
  void* Find(REFIID riid) override {
    return IsEqualIID(riid, IID_IClassFactory) ? static_cast<IClassFactory*>(this) : nullptr;
  }
};

CatalogFactory g_factory;

}  // namespace

HMODULE ModuleHandle() { return g_module; }

std::wstring ModulePath() {
  // Module paths may exceed MAX_PATH: grow until the name fits with its terminator.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(g_module, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0) return std::wstring();
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

void LockModule() { InterlockedIncrement(&g_locks); }
void UnlockModule() { InterlockedDecrement(&g_locks); }

HRESULT TypeInfoOf(REFIID iid, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  AcquireSRWLockExclusive(&g_typeLock);
  const HRESULT hr = LoadInfoLocked(iid, info);
  ReleaseSRWLockExclusive(&g_typeLock);
  return hr;
}

}  // namespace catalog

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
  if (reason == DLL_PROCESS_ATTACH) {
    catalog::g_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_StubPackageCatalog)) return CLASS_E_CLASSNOTAVAILABLE;
  return catalog::g_factory.QueryInterface(riid, object);
}

HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  if (catalog::g_locks != 0) return S_FALSE;
  // Nothing uses the type information any more: give it back before the
  // module goes.
  AcquireSRWLockExclusive(&catalog::g_typeLock);
  catalog::ReleaseInfosLocked();
  ReleaseSRWLockExclusive(&catalog::g_typeLock);
  return S_OK;
}

}  // extern "C"
