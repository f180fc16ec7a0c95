// StubSampleEngine.dll: a sample engine, the in-process COM server of the two
// engine classes that Stub packages forward to.
//
// Each engine object implements IStubTarget, through which the package
// module tells it which module created it, and IStubSampleEngine, a dual
// Automation interface that shows what the object was given: the module path,
// and which engine class it is. Script hosts (VBScript, JScript, PowerShell)
// reach it through IDispatch, which is answered from the type library built
// into this DLL as a resource, so the DLL needs no other file.
//
// regsvr32 StubSampleEngine.dll registers both engine classes (ThreadingModel
// Both) and the type library; regsvr32 /u removes them again.
#include <windows.h>
#include <ole2.h>
#include <new>

#include <initguid.h>  // defines the identifiers of the header below in this file

#include <stub/stub_engine.h>

namespace {

HINSTANCE g_module = nullptr;
LONG g_liveObjects = 0;
LONG g_serverLocks = 0;

// The file name of this DLL, however long its path. Null when it cannot be had.
BSTR OwnPath() {
  for (DWORD capacity = MAX_PATH;; capacity *= 2) {
    BSTR path = SysAllocStringLen(nullptr, capacity);
    if (!path) return nullptr;
    const DWORD length = GetModuleFileNameW(g_module, path, capacity);
    if (length == 0 || capacity >= 32768) {
      SysFreeString(path);
      return nullptr;
    }
    if (length < capacity) {
      BSTR exact = SysAllocStringLen(path, length);
      SysFreeString(path);
      return exact;
    }
    SysFreeString(path);
  }
}

const wchar_t* EngineName(REFCLSID engineClass) {
  return IsEqualCLSID(engineClass, CLSID_StyleEngine) ? L"StyleEngine" : L"StyleTextEngine";
}

// One engine object. Its state is set by SetModulePath and read through the
// dual interface, possibly from several threads (the classes are registered
// with ThreadingModel Both): a slim lock guards the path.
class CEngineObject final : public IStubTarget, public IStubSampleEngine {
 public:
  explicit CEngineObject(REFCLSID engineClass) : engineClass_(engineClass) {
    InitializeSRWLock(&lock_);
    InterlockedIncrement(&g_liveObjects);
  }
  ~CEngineObject() {
    SysFreeString(path_);
    if (typeInfo_) typeInfo_->Release();
    InterlockedDecrement(&g_liveObjects);
  }
  CEngineObject(const CEngineObject&) = delete;
  CEngineObject& operator=(const CEngineObject&) = delete;

  // IUnknown: one identity, whichever interface asks.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IStubTarget)) {
      *object = static_cast<IStubTarget*>(this);
    } else if (IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID_IStubSampleEngine)) {
      *object = static_cast<IStubSampleEngine*>(this);
    } else {
      *object = nullptr;
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

  // IStubTarget. The text lives only during the call: it is copied.
  HRESULT STDMETHODCALLTYPE SetModulePath(LPCWSTR path) override {
    if (!path) return E_POINTER;
    BSTR copy = SysAllocString(path);
    if (!copy) return E_OUTOFMEMORY;
    AcquireSRWLockExclusive(&lock_);
    BSTR old = path_;
    path_ = copy;
    ReleaseSRWLockExclusive(&lock_);
    SysFreeString(old);
    return S_OK;
  }

  // IStubSampleEngine.
  HRESULT STDMETHODCALLTYPE get_ModulePath(BSTR* path) override {
    if (!path) return E_POINTER;
    AcquireSRWLockShared(&lock_);
    *path = SysAllocString(path_ ? path_ : L"");
    ReleaseSRWLockShared(&lock_);
    return *path ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE get_EngineClass(BSTR* classId) override {
    if (!classId) return E_POINTER;
    wchar_t text[40] = {};
    StringFromGUID2(engineClass_, text, 40);
    *classId = SysAllocString(text);
    return *classId ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE get_EngineName(BSTR* name) override {
    if (!name) return E_POINTER;
    *name = SysAllocString(EngineName(engineClass_));
    return *name ? S_OK : E_OUTOFMEMORY;
  }

  // IDispatch, answered from the type information of IStubSampleEngine.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    ITypeInfo* found = nullptr;
    const HRESULT hr = TypeInfo(&found);
    if (FAILED(hr)) return hr;
    found->AddRef();
    *info = found;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* info = nullptr;
    const HRESULT hr = TypeInfo(&info);
    if (FAILED(hr)) return hr;
    return DispGetIDsOfNames(info, names, count, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* argumentError) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* info = nullptr;
    const HRESULT hr = TypeInfo(&info);
    if (FAILED(hr)) return hr;
    return DispInvoke(static_cast<IStubSampleEngine*>(this), info, member, flags, params, result, exception,
                      argumentError);
  }

 private:
  // The type information of IStubSampleEngine, read once per object from the
  // type library in this DLL's resources. Borrowed: the object keeps it.
  HRESULT TypeInfo(ITypeInfo** info) {
    ITypeInfo* cached = static_cast<ITypeInfo*>(
        InterlockedCompareExchangePointer(reinterpret_cast<void**>(&typeInfo_), nullptr, nullptr));
    if (!cached) {
      BSTR path = OwnPath();
      if (!path) return E_OUTOFMEMORY;
      ITypeLib* library = nullptr;
      HRESULT hr = LoadTypeLibEx(path, REGKIND_NONE, &library);
      SysFreeString(path);
      if (FAILED(hr)) return hr;
      hr = library->GetTypeInfoOfGuid(IID_IStubSampleEngine, &cached);
      library->Release();
      if (FAILED(hr)) return hr;
      // Two threads may both have read it: the first one's stays.
      if (InterlockedCompareExchangePointer(reinterpret_cast<void**>(&typeInfo_), cached, nullptr) !=
          nullptr) {
        cached->Release();
        cached = typeInfo_;
      }
    }
    *info = cached;
    return S_OK;
  }

  LONG refs_ = 0;
  const CLSID engineClass_;
  SRWLOCK lock_;
  BSTR path_ = nullptr;
  ITypeInfo* typeInfo_ = nullptr;
};

// One static factory per engine class; its references lock the server.
class CEngineFactory final : public IClassFactory {
 public:
  explicit constexpr CEngineFactory(const CLSID& engineClass) : engineClass_(engineClass) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
      *object = nullptr;
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
    CEngineObject* engine = new (std::nothrow) CEngineObject(engineClass_);
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
  const CLSID& engineClass_;
};

CEngineFactory g_styleFactory(CLSID_StyleEngine);
CEngineFactory g_styleTextFactory(CLSID_StyleTextEngine);

// ---- Registration ------------------------------------------------------------------------

struct EngineClassEntry {
  const CLSID* id;
  const wchar_t* description;
};
const EngineClassEntry kEngineClasses[] = {
    {&CLSID_StyleEngine, L"Stub sample engine: StyleEngine"},
    {&CLSID_StyleTextEngine, L"Stub sample engine: StyleTextEngine"},
};

// "CLSID\{...}" of an engine class.
void ClassKeyName(REFCLSID id, wchar_t (&name)[48]) {
  lstrcpyW(name, L"CLSID\\");
  StringFromGUID2(id, name + 6, 42);
}

LONG SetText(HKEY key, const wchar_t* name, const wchar_t* text) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(wchar_t)));
}

// HKCR\CLSID\{id} with its description, InprocServer32 (this file, Both) and
// the type library that describes the class.
HRESULT RegisterClass(const EngineClassEntry& entry, const wchar_t* path) {
  wchar_t keyName[48];
  ClassKeyName(*entry.id, keyName);
  wchar_t library[40] = {};
  StringFromGUID2(LIBID_StubEngineLib, library, 40);
  HKEY classKey = nullptr;
  LONG error =
      RegCreateKeyExW(HKEY_CLASSES_ROOT, keyName, 0, nullptr, 0, KEY_WRITE, nullptr, &classKey, nullptr);
  if (error != ERROR_SUCCESS) return HRESULT_FROM_WIN32(error);
  HKEY server = nullptr;
  error = SetText(classKey, nullptr, entry.description);
  if (error == ERROR_SUCCESS) {
    error = RegCreateKeyExW(classKey, L"InprocServer32", 0, nullptr, 0, KEY_WRITE, nullptr, &server, nullptr);
  }
  if (error == ERROR_SUCCESS) error = SetText(server, nullptr, path);
  if (error == ERROR_SUCCESS) error = SetText(server, L"ThreadingModel", L"Both");
  if (server) RegCloseKey(server);
  if (error == ERROR_SUCCESS)
    error = RegSetKeyValueW(classKey, L"TypeLib", nullptr, REG_SZ, library, sizeof library);
  if (error == ERROR_SUCCESS)
    error = RegSetKeyValueW(classKey, L"Version", nullptr, REG_SZ, L"1.0", sizeof L"1.0");
  RegCloseKey(classKey);
  return HRESULT_FROM_WIN32(error);
}

// True when the class key's server is the file `path`: only then is it this
// DLL's to remove (another engine may have registered the class since).
bool ServedBy(const wchar_t* keyName, const wchar_t* path) {
  wchar_t serverKey[64];
  lstrcpyW(serverKey, keyName);
  lstrcatW(serverKey, L"\\InprocServer32");
  DWORD size = 0;
  if (RegGetValueW(HKEY_CLASSES_ROOT, serverKey, nullptr, RRF_RT_REG_SZ, nullptr, nullptr, &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  BSTR server = SysAllocStringByteLen(nullptr, size);
  if (!server) return false;
  const bool same = RegGetValueW(HKEY_CLASSES_ROOT, serverKey, nullptr, RRF_RT_REG_SZ, nullptr, server,
                                 &size) == ERROR_SUCCESS &&
                    lstrcmpiW(server, path) == 0;
  SysFreeString(server);
  return same;
}

HRESULT Unregister(const wchar_t* path) {
  HRESULT result = S_OK;
  for (const EngineClassEntry& entry : kEngineClasses) {
    wchar_t keyName[48];
    ClassKeyName(*entry.id, keyName);
    if (!ServedBy(keyName, path)) continue;
    const LONG error = RegDeleteTreeW(HKEY_CLASSES_ROOT, keyName);
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) result = HRESULT_FROM_WIN32(error);
  }
  // Both architectures' engines carry the same type library and register it
  // under the same key: it goes only with the engine whose file it names.
  BSTR registered = nullptr;
  if (SUCCEEDED(QueryPathOfRegTypeLib(LIBID_StubEngineLib, 1, 0, LOCALE_NEUTRAL, &registered))) {
    // A registration made through LoadTypeLibEx may carry the "\\?\" prefix.
    const wchar_t* name = registered;
    if (name[0] == L'\\' && name[1] == L'\\' && name[2] == L'?' && name[3] == L'\\') name += 4;
    if (lstrcmpiW(name, path) == 0) {
      const HRESULT hr = UnRegisterTypeLib(LIBID_StubEngineLib, 1, 0, LOCALE_NEUTRAL, SYS_WIN32);
      if (FAILED(hr)) result = hr;
    }
    SysFreeString(registered);
  }
  return result;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (IsEqualCLSID(clsid, CLSID_StyleEngine)) return g_styleFactory.QueryInterface(riid, object);
  if (IsEqualCLSID(clsid, CLSID_StyleTextEngine)) {
    return g_styleTextFactory.QueryInterface(riid, object);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT STDAPICALLTYPE DllCanUnloadNow() { return g_liveObjects == 0 && g_serverLocks == 0 ? S_OK : S_FALSE; }

// Registers both engine classes and the type library; on failure removes
// again what it wrote and answers the failure.
HRESULT STDAPICALLTYPE DllRegisterServer() {
  BSTR path = OwnPath();
  if (!path) return E_OUTOFMEMORY;
  HRESULT hr = S_OK;
  for (const EngineClassEntry& entry : kEngineClasses) {
    hr = RegisterClass(entry, path);
    if (FAILED(hr)) break;
  }
  if (SUCCEEDED(hr)) {
    // Registered under this file's own name, as the class keys name it.
    ITypeLib* library = nullptr;
    hr = LoadTypeLibEx(path, REGKIND_NONE, &library);
    if (SUCCEEDED(hr)) {
      hr = RegisterTypeLib(library, path, nullptr);
      library->Release();
    }
  }
  if (FAILED(hr)) Unregister(path);
  SysFreeString(path);
  return hr;
}

HRESULT STDAPICALLTYPE DllUnregisterServer() {
  BSTR path = OwnPath();
  if (!path) return E_OUTOFMEMORY;
  const HRESULT hr = Unregister(path);
  SysFreeString(path);
  return hr;
}

}  // extern "C"
