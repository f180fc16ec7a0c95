// StubProbe.exe: tries a package's classes in a process of their own, so
// that whatever the package does while it is created (crash, end the
// process, hang, wait on a box) befalls this process and never its host.
// The host library starts it, in a job object that ends it with the host,
// and reads its report (probe_report.h) off the handle it names.
//
//   StubProbe.exe --report HANDLE --sta|--mta [--application EXE]
//                 [--module PATH] CLSID [CLSID]
//
// --application: the host's program, whose manifest is active around every
// creation here, as the host's own process default context is around its
// creations (an engine registered only there is found the same way).
// --module: the module of a package kept in a folder without registration,
// whose classes are created from it directly (its manifest, checked by the
// host, maps them to it), so that the engine the module creates is looked
// up in the host's manifest and the registry, as in the host. Each class is
// created in-process, asked for the path it received where the engine
// tells (IStubSampleEngine), and released, in the order given.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <initguid.h>  // defines the engine header's identifiers in this file

#include "manifest.h"
#include "owners.h"
#include "probe_report.h"
#include "stub/stub_engine.h"

namespace {

using stub::host::detail::ActivationContext;
using stub::host::detail::ActiveContext;
using stub::host::detail::InterfacePtr;
using stub::host::detail::UniqueLocal;
using stub::host::detail::UniqueString;

// Where the report goes, and which class is being created: the exception
// filter reads both.
HANDLE g_report = INVALID_HANDLE_VALUE;
volatile LONG g_creating = 0;

void Write(const std::string& line) {
  const std::string text = line + "\n";
  DWORD written = 0;
  WriteFile(g_report, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string Utf8(const wchar_t* text) {
  char narrow[4 * MAX_PATH + 4] = "";
  if (!text || !*text ||
      WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr) == 0) {
    return "-";
  }
  // A record is one line: a path holds no line break, but what an engine
  // reports is the engine's.
  for (char* c = narrow; *c; ++c) {
    if (static_cast<unsigned char>(*c) < 0x20) *c = '?';
  }
  return narrow;
}

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
  return text;
}

// A crash anywhere in the process: report it with the module the fault is
// in, then end at once with the exception code (no debugger, no box).
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* exception) {
  const EXCEPTION_RECORD* record = exception ? exception->ExceptionRecord : nullptr;
  const DWORD code = record ? record->ExceptionCode : 0xC0000001;
  wchar_t module[MAX_PATH] = L"";
  HMODULE faulting = nullptr;
  if (record && GetModuleHandleExW(
                    GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                    static_cast<LPCWSTR>(record->ExceptionAddress), &faulting)) {
    GetModuleFileNameW(faulting, module, MAX_PATH);
    module[MAX_PATH - 1] = L'\0';
  }
  Write("crashed " + std::to_string(g_creating) + " " + Hex(code) + " " + Utf8(module));
  TerminateProcess(GetCurrentProcess(), code);
  return EXCEPTION_EXECUTE_HANDLER;
}

// Puts the process on a window station of its own, which is not visible, and
// a desktop there: a module that shows a box only where someone can answer
// it sees that nobody can, and a box an engine raises anyway shows nobody.
void HideFromUser() {
  HWINSTA station = CreateWindowStationW(nullptr, 0, WINSTA_ALL_ACCESS, nullptr);
  if (!station || !SetProcessWindowStation(station)) return;
  HDESK desktop = CreateDesktopW(L"StubProbe", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  if (desktop) SetThreadDesktop(desktop);
}

struct Request {
  HANDLE report = INVALID_HANDLE_VALUE;
  DWORD apartment = COINIT_APARTMENTTHREADED;
  std::wstring application;
  std::wstring module;
  CLSID clsids[2] = {};
  int count = 0;
};

bool ParseRequest(int argc, wchar_t** argv, Request& request) {
  bool apartment = false;
  for (int i = 1; i < argc; ++i) {
    const std::wstring option = argv[i];
    if (option == L"--report" && i + 1 < argc) {
      wchar_t* end = nullptr;
      const unsigned long long value = std::wcstoull(argv[++i], &end, 10);
      if (!*argv[i] || *end) return false;
      request.report = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value));
    } else if (option == L"--sta" || option == L"--mta") {
      if (apartment) return false;
      apartment = true;
      request.apartment = option == L"--sta" ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED;
    } else if (option == L"--application" && i + 1 < argc) {
      request.application = argv[++i];
    } else if (option == L"--module" && i + 1 < argc) {
      request.module = argv[++i];
    } else if (request.count < 2 && SUCCEEDED(CLSIDFromString(argv[i], &request.clsids[request.count]))) {
      ++request.count;
    } else {
      return false;
    }
  }
  return apartment && request.count > 0 && request.report != INVALID_HANDLE_VALUE;
}

// The host's own activation context: its program's manifest file, else the
// manifest its program carries as a resource. None where it has neither.
void MakeApplicationContext(const std::wstring& program, ActivationContext& context) {
  if (program.empty()) return;
  const std::size_t slash = program.find_last_of(L"\\/");
  const std::wstring directory = slash == std::wstring::npos ? std::wstring() : program.substr(0, slash + 1);
  if (GetFileAttributesW((program + L".manifest").c_str()) != INVALID_FILE_ATTRIBUTES &&
      SUCCEEDED(context.Create(program + L".manifest", directory))) {
    return;
  }
  context.CreateFromResource(program, directory);
}

// The module path an engine received, where it tells.
std::string ReceivedPath(IUnknown* object) {
  InterfacePtr<IStubSampleEngine> engine;
  UniqueString text;
  if (FAILED(object->QueryInterface(IID_IStubSampleEngine, reinterpret_cast<void**>(engine.Put()))) ||
      !engine || FAILED(engine->get_ModulePath(text.Put())) || !text) {
    return "-";
  }
  return Utf8(text.Get());
}

using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

// A class of a module loaded here by path, as COM creates an in-process
// class: the module's class object, then the object. The module stays
// loaded for as long as the probe runs.
HRESULT CreateFromModule(const std::wstring& module, const CLSID& clsid, void** object) {
  HMODULE library = LoadLibraryExW(module.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!library) return HRESULT_FROM_WIN32(GetLastError());
  const auto get = reinterpret_cast<GetClassObject>(
      reinterpret_cast<void (*)()>(GetProcAddress(library, "DllGetClassObject")));
  if (!get) return CO_E_ERRORINDLL;
  InterfacePtr<IClassFactory> factory;
  HRESULT result = get(clsid, IID_IClassFactory, reinterpret_cast<void**>(factory.Put()));
  if (SUCCEEDED(result) && !factory) result = E_POINTER;
  if (FAILED(result)) return result;
  return factory->CreateInstance(nullptr, IID_IUnknown, object);
}

void CreateEach(const Request& request) {
  LARGE_INTEGER frequency = {};
  QueryPerformanceFrequency(&frequency);
  for (int i = 0; i < request.count; ++i) {
    InterlockedExchange(&g_creating, i);
    LARGE_INTEGER start = {}, end = {};
    QueryPerformanceCounter(&start);
    InterfacePtr<IUnknown> object;
    void** slot = reinterpret_cast<void**>(object.Put());
    const HRESULT result = request.module.empty() ? CoCreateInstance(request.clsids[i], nullptr,
                                                                     CLSCTX_INPROC_SERVER, IID_IUnknown, slot)
                                                  : CreateFromModule(request.module, request.clsids[i], slot);
    QueryPerformanceCounter(&end);
    const std::string path = SUCCEEDED(result) && object ? ReceivedPath(object.Get()) : std::string("-");
    object.Reset();
    const LONGLONG ticks = end.QuadPart - start.QuadPart;
    const unsigned long milliseconds =
        frequency.QuadPart > 0 ? static_cast<unsigned long>(ticks * 1000 / frequency.QuadPart) : 0;
    Write("class " + std::to_string(i) + " " + Hex(static_cast<DWORD>(result)) + " " +
          std::to_string(milliseconds) + " " + path);
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  // No box of the system's for a fault, a missing file or a drive not ready.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(ReportCrash);
  int argc = 0;
  UniqueLocal<wchar_t*> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
  Request request;
  if (!argv || !ParseRequest(argc, argv.Get(), request)) {
    return static_cast<int>(stub::host::detail::kProbeRefused);
  }
  argv.Reset();
  g_report = request.report;
  HideFromUser();
  Write(stub::host::detail::kReportHeader);
  const HRESULT initialised = CoInitializeEx(nullptr, request.apartment);
  if (FAILED(initialised)) {
    for (int i = 0; i < request.count; ++i) {
      Write("class " + std::to_string(i) + " " + Hex(static_cast<DWORD>(initialised)) + " 0 -");
    }
  } else {
    ActivationContext application;
    MakeApplicationContext(request.application, application);
    ActiveContext active(application.get());
    CreateEach(request);
  }
  Write("done");
  // The report is complete: end here, without unloading what was loaded,
  // so that nothing the package does on its way out can change it.
  TerminateProcess(GetCurrentProcess(), 0);
  return 0;
}
