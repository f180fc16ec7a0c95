// A COM client as a package's user would write one: it creates each class
// named on the command line (a ProgID or a braced class identifier) through the
// registry, and prints which engine object it got and which module created it,
// as the sample engine (StubSampleEngine.dll) tells through its Automation
// interface, IStubSampleEngine.
//
//   demo_client.exe Aurora.Style.1 Aurora.StyleText Aurora.StyleText.1
//
// Exit code 0 when every class was created, 1 otherwise.
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

// Creates one class and reports on it; false on any failure.
bool CreateAndReport(const wchar_t* name) {
  std::printf("%s\n", Narrow(name).c_str());
  // A class identifier in braces, or a ProgID: CLSIDFromProgID also finds a
  // ProgID that only the application's manifest names (registration-free
  // packages), where CLSIDFromString reads the registry alone.
  CLSID clsid = {};
  HRESULT hr = name[0] == L'{' ? CLSIDFromString(name, &clsid) : CLSIDFromProgID(name, &clsid);
  if (FAILED(hr)) {
    std::printf("  not a registered ProgID or class identifier (0x%08lX)\n",
                static_cast<unsigned long>(hr));
    return false;
  }
  std::printf("  class         %s\n", GuidText(clsid).c_str());

  IUnknown* object = nullptr;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                        reinterpret_cast<void**>(&object));
  if (FAILED(hr)) {
    std::printf("  CoCreateInstance failed (0x%08lX)\n", static_cast<unsigned long>(hr));
    return false;
  }
  // The package module handed over the engine object itself, so the engine's
  // own interfaces are there.
  IStubSampleEngine* engine = nullptr;
  hr = object->QueryInterface(IID_IStubSampleEngine, reinterpret_cast<void**>(&engine));
  object->Release();
  if (FAILED(hr)) {
    std::printf("  the object is no sample engine object (0x%08lX)\n",
                static_cast<unsigned long>(hr));
    return false;
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
    std::printf("  the engine object does not answer (0x%08lX, 0x%08lX)\n",
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
