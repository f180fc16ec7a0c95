// A COM client as a package's user would write one: it creates each class
// named on the command line (a ProgID or a braced class identifier) and
// reports what it can tell of any engine: that the creation succeeded, that
// the object is an engine object (it answers IStubTarget), and the package
// module loaded for the class, whose full file name that module told the
// engine object through IStubTarget::SetModulePath. IStubTarget cannot read
// that name back; the sample engine (StubSampleEngine.dll) also answers its
// Automation interface, IStubSampleEngine, which shows the engine's name and
// the path the object received. An engine without it is reported as such.
//
//   demo_client.exe Aurora.Style.1 Aurora.StyleText Aurora.StyleText.1
//
// Exit code 0 when every class was created as an engine object, 1 otherwise.
#include <windows.h>
#include <ole2.h>

#include <cstdio>
#include <string>

#include <initguid.h>  // defines the identifiers of the header below in this file

#include <stub/stub_engine.h>

namespace {

std::string Narrow(const wchar_t* text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string narrow(bytes > 0 ? bytes : 1, '\0');
  if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, text, -1, &narrow[0], bytes, nullptr, nullptr);
  narrow.resize(std::char_traits<char>::length(narrow.c_str()));
  return narrow;
}

std::string GuidText(const GUID& id) {
  wchar_t text[40] = {};
  StringFromGUID2(id, text, 40);
  return Narrow(text);
}

// The package module this process loaded for a registered class, by the long
// form of its name: the name the module tells its engine objects. Empty when
// the registry names no module for the class (a registration-free class) or
// that module is not loaded.
std::string LoadedPackageModule(const CLSID& clsid) {
  wchar_t id[40] = {};
  StringFromGUID2(clsid, id, 40);
  const std::wstring key = std::wstring(L"CLSID\\") + id + L"\\InprocServer32";
  wchar_t registered[1024] = {};
  DWORD size = sizeof registered;
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, registered, &size) !=
      ERROR_SUCCESS) {
    return "";
  }
  const HMODULE module = GetModuleHandleW(registered);
  wchar_t loaded[1024] = {}, longName[1024] = {};
  if (!module || GetModuleFileNameW(module, loaded, 1024) == 0) return "";
  const DWORD length = GetLongPathNameW(loaded, longName, 1024);
  return Narrow(length > 0 && length < 1024 ? longName : loaded);
}

// Creates one class and reports on it; false on any failure.
bool CreateAndReport(const wchar_t* name) {
  std::printf("%s\n", Narrow(name).c_str());
  // A class identifier in braces, or a ProgID: CLSIDFromProgID also finds a
  // ProgID that only the application's manifest names (registration-free
  // packages), where CLSIDFromString reads the registry alone.
  CLSID clsid = {};
  HRESULT hr = name[0] == L'{' ? CLSIDFromString(name, &clsid) : CLSIDFromProgID(name, &clsid);
  if (FAILED(hr)) {
    std::printf("  not a registered ProgID or class identifier (0x%08lX)\n", static_cast<unsigned long>(hr));
    return false;
  }
  std::printf("  class         %s\n", GuidText(clsid).c_str());

  IUnknown* object = nullptr;
  hr =
      CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&object));
  if (FAILED(hr)) {
    std::printf("  CoCreateInstance failed (0x%08lX)\n", static_cast<unsigned long>(hr));
    return false;
  }
  // The package module handed over the engine object itself, so the engine's
  // own interfaces are there; every engine object answers IStubTarget.
  IStubTarget* target = nullptr;
  hr = object->QueryInterface(IID_IStubTarget, reinterpret_cast<void**>(&target));
  if (FAILED(hr)) {
    object->Release();
    std::printf(
        "  created       an object without IStubTarget (0x%08lX): no engine object,\n"
        "                so no package made it\n",
        static_cast<unsigned long>(hr));
    return false;
  }
  target->Release();
  std::printf("  created       an engine object (it answers IStubTarget)\n");
  const std::string package = LoadedPackageModule(clsid);
  if (!package.empty()) {
    std::printf("  package       %s (loaded; it tells its engine this path)\n", package.c_str());
  }
  IStubSampleEngine* engine = nullptr;
  hr = object->QueryInterface(IID_IStubSampleEngine, reinterpret_cast<void**>(&engine));
  object->Release();
  if (FAILED(hr)) {
    std::printf(
        "  no IStubSampleEngine (0x%08lX): not the sample engine, so the path the object\n"
        "                was told cannot be read back here\n",
        static_cast<unsigned long>(hr));
    return true;
  }
  BSTR engineName = nullptr, modulePath = nullptr;
  const HRESULT nameResult = engine->get_EngineName(&engineName);
  const HRESULT pathResult = engine->get_ModulePath(&modulePath);
  engine->Release();
  const bool read = SUCCEEDED(nameResult) && SUCCEEDED(pathResult);
  if (read) {
    std::printf("  got           a %s object\n", Narrow(engineName).c_str());
    std::printf("  module path   %s\n", Narrow(modulePath).c_str());
  } else {
    std::printf("  the sample engine's interface does not answer (0x%08lX, 0x%08lX)\n",
                static_cast<unsigned long>(nameResult), static_cast<unsigned long>(pathResult));
  }
  SysFreeString(engineName);
  SysFreeString(modulePath);
  return read;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: demo_client PROGID-OR-CLSID...\n");
    return 2;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
    std::fprintf(stderr, "COM could not be initialised\n");
    return 1;
  }
  bool allCreated = true;
  for (int i = 1; i < argc; ++i) allCreated = CreateAndReport(argv[i]) && allCreated;
  CoUninitialize();
  return allCreated ? 0 : 1;
}
