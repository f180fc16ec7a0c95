// DllRegisterServer and DllUnregisterServer: StubHost.dll's own registry
// script (resource REGISTRY 1) run through the product's registrar with
// %MODULE% standing for this file, and its type library registered from the
// DLL's own path. Removal takes away only what this file wrote: the class
// and its ProgIDs while the class key names this file, the type library
// while its registration names this file.
#include <string>

#include "catalog_module.h"
#include "platform/platform.h"
#include "platform/unique_resource.h"
#include "registrar/registrar.h"
#include "registrar/script_parser.h"
#include "stub/stub_catalog.h"

namespace catalog {
namespace {

// The type library is written for 32-bit Windows and registers as such from
// either architecture's DLL (oleaut32 reads it for both).
constexpr SYSKIND kSysKind = SYS_WIN32;

// The registry script in this DLL's resources, decoded from UTF-8.
bool ScriptText(std::wstring& text) {
  HRSRC found = FindResourceW(ModuleHandle(), MAKEINTRESOURCEW(1), L"REGISTRY");
  HGLOBAL loaded = found ? LoadResource(ModuleHandle(), found) : nullptr;
  const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  const int size = found ? static_cast<int>(SizeofResource(ModuleHandle(), found)) : 0;
  if (!bytes || size == 0) return false;
  const int length = MultiByteToWideChar(CP_UTF8, 0, bytes, size, nullptr, 0);
  text.assign(static_cast<size_t>(length), L'\0');
  return MultiByteToWideChar(CP_UTF8, 0, bytes, size, &text[0], length) == length;
}

HRESULT RunOwnScript(ScriptMode mode) {
  const std::wstring path = ModulePath();
  std::wstring text;
  if (path.empty() || !ScriptText(text)) return HRESULT_FROM_WIN32(ERROR_RESOURCE_DATA_NOT_FOUND);
  CRegistrar registrar;
  // wchar_t and char16_t are both UTF-16 code units on Windows.
  HRESULT hr = registrar.DefineReplacement(u"MODULE", reinterpret_cast<const char16_t*>(path.c_str()));
  if (FAILED(hr)) return hr;
  ScriptParser parser(&registrar);
  return parser.RunScript(reinterpret_cast<const char16_t*>(text.c_str()), mode);
}

// A registered path may carry the "\\?\" prefix LoadTypeLibEx gives long names.
bool SamePath(const wchar_t* registered, const std::wstring& path) {
  if (registered[0] == L'\\' && registered[1] == L'\\' && registered[2] == L'?' && registered[3] == L'\\') {
    registered += 4;
  }
  return lstrcmpiW(registered, path.c_str()) == 0;
}

// Whether the class key's server is this file.
bool ClassServedHere(const std::wstring& path) {
  wchar_t key[80] = L"CLSID\\";
  StringFromGUID2(CLSID_StubPackageCatalog, key + 6, 40);
  lstrcatW(key, L"\\InprocServer32");
  DWORD size = 0;
  if (RegGetValueW(HKEY_CLASSES_ROOT, key, nullptr, RRF_RT_REG_SZ, nullptr, nullptr, &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  std::wstring server(size / sizeof(wchar_t) + 1, L'\0');
  if (RegGetValueW(HKEY_CLASSES_ROOT, key, nullptr, RRF_RT_REG_SZ, nullptr, &server[0], &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  return SamePath(server.c_str(), path);
}

HRESULT RegisterOwnTypeLib(const std::wstring& path) {
  CInterfacePtr<ITypeLib> library;
  const HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.Put());
  if (FAILED(hr)) return hr;
  return RegisterTypeLib(library.Get(), const_cast<wchar_t*>(path.c_str()), nullptr);
}

// A string of the system's allocator (SysFreeString).
struct SystemString {
  using Pointer = BSTR;
  static void Free(BSTR text) { SysFreeString(text); }
};

HRESULT UnregisterOwnTypeLib(const std::wstring& path) {
  CUniqueResource<SystemString> registered;
  if (FAILED(QueryPathOfRegTypeLib(LIBID_StubCatalogLib, 1, 0, LOCALE_NEUTRAL, registered.Put()))) {
    return S_OK;  // not registered: nothing of ours to take away
  }
  if (!SamePath(registered.Get(), path)) return S_OK;
  return UnRegisterTypeLib(LIBID_StubCatalogLib, 1, 0, LOCALE_NEUTRAL, kSysKind);
}

}  // namespace
}  // namespace catalog

extern "C" {

// Registers the class, its ProgIDs and the type library; on failure removes
// again what it wrote and answers the failure.
HRESULT STDAPICALLTYPE DllRegisterServer() {
  const std::wstring path = catalog::ModulePath();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  HRESULT hr = catalog::RunOwnScript(ScriptMode::kRegister);
  if (FAILED(hr)) return hr;
  hr = catalog::RegisterOwnTypeLib(path);
  if (FAILED(hr)) catalog::RunOwnScript(ScriptMode::kRemove);
  return hr;
}

HRESULT STDAPICALLTYPE DllUnregisterServer() {
  const std::wstring path = catalog::ModulePath();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  const HRESULT library = catalog::UnregisterOwnTypeLib(path);
  // Another copy's registration (the other architecture's, or another
  // folder's) stays as it is.
  const HRESULT script = catalog::ClassServedHere(path) ? catalog::RunOwnScript(ScriptMode::kRemove) : S_OK;
  return FAILED(script) ? script : library;
}

}  // extern "C"
