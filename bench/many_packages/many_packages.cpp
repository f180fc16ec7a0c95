#include "many_packages.h"

#include <utility>

#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "support/package_files.h"
#include "test_engine.h"

namespace many {
namespace {

// Category entries written by every registration (and kept by removal).
const wchar_t* const kCategory[2] = {L"{390F9E99-171D-4A3B-A185-A0E495BA86D0}",
                                     L"{FD8ABB6D-B549-4A66-94A9-3C360CD70490}"};
const wchar_t* const kCategoryName[2] = {L"Tarvo Styles", L"Tarvo Texts"};
constexpr size_t kMaxProblemLines = 40;
constexpr int kMaxPackages = 1024;

void Add(Problems& problems, const std::string& line) {
  if (problems.size() < kMaxProblemLines) {
    problems.push_back(line);
  } else if (problems.size() == kMaxProblemLines) {
    problems.push_back("(more problems left out)");
  }
}

std::string Hex(long value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(value));
  return text;
}

std::wstring Numbered(const wchar_t* prefix, int i) {
  wchar_t name[16];
  std::swprintf(name, 16, L"%ls%04d", prefix, i);
  return name;
}

bool KeyExists(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

// The text of a string value, or "<absent>".
std::wstring StringValue(const std::wstring& path, const wchar_t* name) {
  wchar_t text[1024];
  DWORD size = sizeof text;
  if (RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), name, RRF_RT_REG_SZ, nullptr, text, &size) !=
      ERROR_SUCCESS) {
    return L"<absent>";
  }
  return text;
}

std::vector<std::wstring> SubkeyNames(const std::wstring& path) {
  std::vector<std::wstring> names;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.empty() ? nullptr : path.c_str(), 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return names;
  }
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD length = 256;
    if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    CharUpperBuffW(name, length);
    names.emplace_back(name, length);
  }
  RegCloseKey(key);
  std::sort(names.begin(), names.end());
  return names;
}

std::wstring Upper(std::wstring text) {
  if (!text.empty()) CharUpperBuffW(&text[0], static_cast<DWORD>(text.size()));
  return text;
}

// Names in `a` that are not in `b` (both sorted), at most five, for a message.
std::string Missing(const std::vector<std::wstring>& a, const std::vector<std::wstring>& b) {
  std::vector<std::wstring> only;
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(only));
  std::string text;
  for (size_t i = 0; i < only.size() && i < 5; ++i) text += " " + e2e::Narrow(only[i]);
  if (only.size() > 5) text += " and " + std::to_string(only.size() - 5) + " more";
  return text;
}

using EntryPoint = HRESULT(STDAPICALLTYPE*)();

HRESULT CallExport(const std::wstring& module, const char* name) {
  HMODULE handle = LoadLibraryW(module.c_str());
  if (!handle) return HRESULT_FROM_WIN32(GetLastError());
  auto entry = reinterpret_cast<EntryPoint>(reinterpret_cast<void*>(GetProcAddress(handle, name)));
  const HRESULT result = entry ? entry() : E_NOINTERFACE;
  FreeLibrary(handle);
  return result;
}

std::wstring MinimalModulePath() { return e2e::WindowsPath(MANY_MINIMAL_DLL); }

}  // namespace

void PrintCrash(EXCEPTION_POINTERS* exception) {
  const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
  HMODULE module = nullptr;
  wchar_t name[MAX_PATH] = L"no module (unloaded code?)";
  if (GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(record.ExceptionAddress), &module)) {
    GetModuleFileNameW(module, name, MAX_PATH);
  }
  std::fprintf(
      stderr, "\nmany_packages: exception 0x%08lx at %p in %s (thread %lu, data %p); stopping\n",
      record.ExceptionCode, record.ExceptionAddress, e2e::Narrow(name).c_str(), GetCurrentThreadId(),
      record.NumberParameters > 1 ? reinterpret_cast<void*>(record.ExceptionInformation[1]) : nullptr);
  std::fflush(nullptr);
}

double Now() { return bench::Now(); }

double Median(std::vector<double> values) { return bench::Median(std::move(values)); }

// ---- Packages ----------------------------------------------------------------------------------

PackageSet::PackageSet(Kind kind, int count, Problems& problems) : kind_(kind) {
  if (folder_.path().empty()) {
    Add(problems, "no temporary folder");
    return;
  }
  if (count > kMaxPackages) {
    Add(problems, "at most " + std::to_string(kMaxPackages) + " packages");
    return;
  }
  // A tag of this set in every ProgID, so that no run meets another's keys.
  const std::wstring tag = e2e::GuidText(e2e::NewGuid()).substr(1, 8);
  for (int i = 0; i < count; ++i) {
    const GUID style = e2e::NewGuid(), styleText = e2e::NewGuid();
    ids_.push_back(style);
    ids_.push_back(styleText);
    if (kind == Kind::kMinimal) {
      const std::wstring path = folder_.path() + Numbered(L"Min", i) + L".dll";
      if (!CopyFileW(MinimalModulePath().c_str(), path.c_str(), TRUE)) {
        Add(problems, "cannot copy the minimal module to " + e2e::Narrow(path));
        return;
      }
      modules_.push_back(path);
      progIds_.insert(progIds_.end(), 2, L"");
      continue;
    }
    const std::wstring styleProgId = L"ManyPkg" + tag + L".Style" + std::to_wstring(i);
    const std::wstring styleTextProgId = L"ManyPkg" + tag + L".StyleText" + std::to_wstring(i);
    progIds_.push_back(styleProgId);
    progIds_.push_back(styleTextProgId);
    const std::string styleScript =
        AuthorScript(e2e::Narrow(styleProgId), e2e::Narrow(e2e::GuidText(style)), "Both");
    const std::string styleTextScript =
        AuthorScript(e2e::Narrow(styleTextProgId), e2e::Narrow(e2e::GuidText(styleText)), "Both");
    e2e::Package package(folder_, Numbered(L"Pkg", i), styleScript.c_str(), styleTextScript.c_str());
    if (!package.ok) {
      Add(problems, "cannot lay out package " + std::to_string(i));
      return;
    }
    modules_.push_back(package.modulePath);
  }
}

PackageSet::~PackageSet() { DeleteKeys(); }

void PackageSet::RegisterAll(Problems& problems) {
  for (int i = 0; i < size(); ++i) {
    const HRESULT result = CallExport(modules_[i], "DllRegisterServer");
    if (result != S_OK) Add(problems, "package " + std::to_string(i) + ": DllRegisterServer " + Hex(result));
  }
}

void PackageSet::UnregisterAll(Problems& problems) {
  for (int i = 0; i < size(); ++i) {
    const HRESULT result = CallExport(modules_[i], "DllUnregisterServer");
    if (result != S_OK) {
      Add(problems, "package " + std::to_string(i) + ": DllUnregisterServer " + Hex(result));
    }
  }
}

void PackageSet::CheckRegistered(Problems& problems) const {
  for (int i = 0; i < size(); ++i) {
    for (int which = 0; which < 2; ++which) {
      const std::wstring id = e2e::GuidText(classId(i, which));
      const std::wstring classKey = L"CLSID\\" + id;
      const std::string where = "package " + std::to_string(i) + (which ? " StubText" : " Stub");
      if (StringValue(progId(i, which) + L"\\CLSID", nullptr) != id) {
        Add(problems, where + ": the ProgID does not name the class");
      }
      const std::wstring server = StringValue(classKey + L"\\InprocServer32", nullptr);
      if (lstrcmpiW(server.c_str(), modules_[i].c_str()) != 0) {
        Add(problems, where + ": server is " + e2e::Narrow(server));
      }
      if (StringValue(classKey + L"\\InprocServer32", L"ThreadingModel") != L"Both") {
        Add(problems, where + ": threading model is not Both");
      }
      if (!KeyExists(classKey + L"\\Implemented Categories\\" + kCategory[which])) {
        Add(problems, where + ": not in its component category");
      }
    }
  }
}

bool PackageSet::WriteRegFile(const std::wstring& path) const {
  std::wstring text = L"\xFEFFWindows Registry Editor Version 5.00\r\n\r\n";
  for (int which = 0; which < 2; ++which) {
    text += L"[HKEY_CLASSES_ROOT\\Component Categories\\" + std::wstring(kCategory[which]) +
            L"]\r\n\"409\"=\"" + kCategoryName[which] + L"\"\r\n\r\n";
  }
  for (int i = 0; i < size(); ++i) {
    std::wstring server;
    for (wchar_t unit : modules_[i]) server += unit == L'\\' ? std::wstring(L"\\\\") : std::wstring(1, unit);
    for (int which = 0; which < 2; ++which) {
      const std::wstring id = e2e::GuidText(classId(i, which));
      const std::wstring root = L"[HKEY_CLASSES_ROOT\\";
      text += root + progId(i, which) + L"]\r\n@=\"Tarvo package\"\r\n\r\n";
      text += root + progId(i, which) + L"\\CLSID]\r\n@=\"" + id + L"\"\r\n\r\n";
      text += root + L"CLSID\\" + id + L"]\r\n@=\"Tarvo package\"\r\n\r\n";
      text += root + L"CLSID\\" + id + L"\\ProgID]\r\n@=\"" + progId(i, which) + L"\"\r\n\r\n";
      text += root + L"CLSID\\" + id + L"\\InprocServer32]\r\n@=\"" + server +
              L"\"\r\n\"ThreadingModel\"=\"Both\"\r\n\r\n";
      text += root + L"CLSID\\" + id + L"\\Implemented Categories\\" + kCategory[which] + L"]\r\n\r\n";
    }
  }
  const std::string bytes(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
  return e2e::WriteFileText(path, bytes);
}

void PackageSet::DeleteKeys() const {
  for (int i = 0; i < size(); ++i) {
    for (int which = 0; which < 2; ++which) {
      const std::wstring classKey = L"CLSID\\" + e2e::GuidText(classId(i, which));
      RegDeleteTreeW(HKEY_CLASSES_ROOT, classKey.c_str());
      RegDeleteKeyW(HKEY_CLASSES_ROOT, classKey.c_str());
      if (!progId(i, which).empty()) {
        RegDeleteTreeW(HKEY_CLASSES_ROOT, progId(i, which).c_str());
        RegDeleteKeyW(HKEY_CLASSES_ROOT, progId(i, which).c_str());
      }
    }
  }
}

void PackageSet::RegisterMinimalClasses(Problems& problems) {
  for (int i = 0; i < size(); ++i) {
    for (int which = 0; which < 2; ++which) {
      const std::wstring key = L"CLSID\\" + e2e::GuidText(classId(i, which)) + L"\\InprocServer32";
      const std::wstring both = L"Both";
      HKEY handle = nullptr;
      if (RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle,
                          nullptr) != ERROR_SUCCESS ||
          RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(modules_[i].c_str()),
                         static_cast<DWORD>((modules_[i].size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS ||
          RegSetValueExW(handle, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(both.c_str()),
                         static_cast<DWORD>((both.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS) {
        Add(problems, "cannot register minimal module " + std::to_string(i));
      }
      if (handle) RegCloseKey(handle);
    }
  }
}

RegistrySnapshot RegistrySnapshot::Take() {
  return RegistrySnapshot{SubkeyNames(L""), SubkeyNames(L"CLSID")};
}

void CheckRemoved(const RegistrySnapshot& before, const PackageSet& packages, Problems& problems) {
  const RegistrySnapshot after = RegistrySnapshot::Take();
  if (after.roots != before.roots) {
    Add(problems, "keys under HKCR added by removal:" + Missing(after.roots, before.roots) +
                      "; lost:" + Missing(before.roots, after.roots));
  }
  // The class keys stay for their category entries; nothing else may.
  std::vector<std::wstring> expected = before.classes;
  for (int i = 0; i < packages.size(); ++i) {
    for (int which = 0; which < 2; ++which) {
      const std::wstring id = e2e::GuidText(packages.classId(i, which));
      expected.push_back(Upper(id));
      const std::vector<std::wstring> inside = SubkeyNames(L"CLSID\\" + id);
      const std::vector<std::wstring> categories = SubkeyNames(L"CLSID\\" + id + L"\\Implemented Categories");
      if (inside != std::vector<std::wstring>{L"IMPLEMENTED CATEGORIES"} ||
          categories != std::vector<std::wstring>{Upper(kCategory[which])}) {
        Add(problems, "package " + std::to_string(i) + ": class key " + e2e::Narrow(id) +
                          " holds more than its category entry after removal");
      }
    }
  }
  std::sort(expected.begin(), expected.end());
  if (after.classes != expected) {
    Add(problems, "keys under HKCR\\CLSID unexpected after removal:" + Missing(after.classes, expected) +
                      "; missing:" + Missing(expected, after.classes));
  }
}

// ---- Loads and unloads -------------------------------------------------------------------------

namespace {

// The loader's DLL notifications (ntdll; Windows Vista and later, and Wine).
struct UnicodeText {
  USHORT length;  // bytes
  USHORT capacity;
  const wchar_t* buffer;
};
struct DllNotification {
  ULONG flags;
  const UnicodeText* fullName;
  const UnicodeText* baseName;
  void* base;
  ULONG imageSize;
};
constexpr ULONG kDllLoaded = 1;
constexpr ULONG kDllUnloaded = 2;
using NotificationFn = void(CALLBACK*)(ULONG reason, const DllNotification* data, void* context);
using RegisterNotificationFn = LONG(NTAPI*)(ULONG flags, NotificationFn callback, void* context,
                                            void** cookie);

std::atomic<long> g_loads[2][kMaxPackages];
std::atomic<long> g_unloads[2][kMaxPackages];

// Runs under the loader lock: only reads the name and counts.
void CALLBACK OnDllNotification(ULONG reason, const DllNotification* data, void*) {
  if (!data || !data->baseName || data->baseName->length != 11 * sizeof(wchar_t)) return;
  const wchar_t* name = data->baseName->buffer;
  const auto is = [name](const wchar_t* prefix) {
    for (int i = 0; i < 3; ++i) {
      if ((name[i] | 0x20) != (prefix[i] | 0x20)) return false;
    }
    return true;
  };
  const int kind = is(L"pkg") ? 0 : is(L"min") ? 1 : -1;
  if (kind < 0) return;
  int index = 0;
  for (int i = 3; i < 7; ++i) {
    if (name[i] < L'0' || name[i] > L'9') return;
    index = index * 10 + (name[i] - L'0');
  }
  if (index >= kMaxPackages) return;
  if (reason == kDllLoaded) g_loads[kind][index]++;
  if (reason == kDllUnloaded) g_unloads[kind][index]++;
}

}  // namespace

bool LoadCounter::Start() {
  static bool started = [] {
    auto registerNotification = reinterpret_cast<RegisterNotificationFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "LdrRegisterDllNotification")));
    void* cookie = nullptr;
    return registerNotification && registerNotification(0, &OnDllNotification, nullptr, &cookie) >= 0;
  }();
  return started;
}

void LoadCounter::Reset() {
  for (int kind = 0; kind < 2; ++kind) {
    for (int i = 0; i < kMaxPackages; ++i) {
      g_loads[kind][i] = 0;
      g_unloads[kind][i] = 0;
    }
  }
}

long LoadCounter::Loads(bool minimal, int index) { return g_loads[minimal][index]; }
long LoadCounter::Unloads(bool minimal, int index) { return g_unloads[minimal][index]; }

// ---- Engine ------------------------------------------------------------------------------------

Engine::Engine(Problems& problems) {
  const std::wstring path = e2e::EngineModulePath();
  module_ = LoadLibraryW(path.c_str());
  if (module_) {
    live_ =
        reinterpret_cast<LONG (*)()>(reinterpret_cast<void*>(GetProcAddress(module_, "EngineLiveObjects")));
  }
  style_ = std::make_unique<e2e::ScopedClassRegistration>(CLSID_StyleEngine, path, L"Both");
  styleText_ = std::make_unique<e2e::ScopedClassRegistration>(CLSID_StyleTextEngine, path, L"Both");
  if (!live_ || !style_->ok() || !styleText_->ok()) {
    Add(problems, "cannot load or register the engine " + e2e::Narrow(path));
  }
}

Engine::~Engine() {
  style_.reset();
  styleText_.reset();
  if (module_) FreeLibrary(module_);
}

LONG Engine::LiveObjects() const { return live_ ? live_() : -1; }

std::wstring ProbedPath(IUnknown* object) {
  e2e::IEngineProbe* probe = nullptr;
  if (!object || FAILED(object->QueryInterface(e2e::kIID_IEngineProbe, reinterpret_cast<void**>(&probe)))) {
    return L"<not an engine object>";
  }
  wchar_t path[1024] = {};
  probe->GetModulePath(path, 1024);
  probe->Release();
  return path;
}

CLSID ProbedClass(IUnknown* object) {
  e2e::IEngineProbe* probe = nullptr;
  CLSID engineClass = {};
  if (object && SUCCEEDED(object->QueryInterface(e2e::kIID_IEngineProbe, reinterpret_cast<void**>(&probe)))) {
    probe->GetEngineClass(&engineClass);
    probe->Release();
  }
  return engineClass;
}

// ---- The busy host -----------------------------------------------------------------------------

namespace {

constexpr DWORD kBoundMs = 60000;  // longest wait for any thread; beyond it the run is hung
constexpr DWORD kSampleMs = 200;
constexpr int kStaFreeEvery = 32;  // creations between an STA client's own unload calls

struct HostShared {
  const PackageSet* packages;
  // COM's multithreaded apartment unloads a module without delay while another
  // thread of that apartment may have found it and not yet called into it; a
  // host that asks for no delay keeps its own activations apart from its unload
  // calls. Single-threaded apartments need nothing: each unloads only what it
  // loaded itself, on its own thread.
  SRWLOCK mtaLock = SRWLOCK_INIT;
  volatile LONG stop = 0;
  // The last unload calls, made once every client has stopped creating: a copy
  // answers DllCanUnloadNow for the whole process, so an apartment's call
  // made while another apartment still uses the copy keeps it.
  HANDLE finalFree = nullptr;
  HANDLE release = nullptr;  // lets STA clients and the unloading thread leave COM
  std::atomic<long long> activations{0}, failures{0}, wrongPaths{0}, freeCalls{0};
  std::atomic<int> firstFailureLogged{0};
  std::string firstFailure;
};

struct ClientThread {
  HostShared* shared;
  int index;
  bool sta;
  HANDLE stopped;  // set once the client has stopped creating
  HANDLE done;     // set after its last unload call
};

void Record(HostShared& shared, const std::string& what) {
  if (shared.firstFailureLogged.exchange(1) == 0) shared.firstFailure = what;
}

DWORD WINAPI ClientMain(void* argument) {
  auto* self = static_cast<ClientThread*>(argument);
  HostShared& shared = *self->shared;
  const bool comReady =
      SUCCEEDED(CoInitializeEx(nullptr, self->sta ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED));
  unsigned state = 2463534242u ^ (static_cast<unsigned>(self->index) * 0x9E3779B9u) ^ GetTickCount();
  const auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  const int count = shared.packages->size();
  long long made = 0;
  while (comReady && !InterlockedCompareExchange(&shared.stop, 0, 0)) {
    const int package = static_cast<int>(next() % static_cast<unsigned>(count));
    const int which = static_cast<int>(next() & 1);
    IUnknown* object = nullptr;
    if (!self->sta) AcquireSRWLockShared(&shared.mtaLock);
    const HRESULT created =
        CoCreateInstance(shared.packages->classId(package, which), nullptr, CLSCTX_INPROC_SERVER,
                         e2e::kIID_IEngineProbe, reinterpret_cast<void**>(&object));
    if (!self->sta) ReleaseSRWLockShared(&shared.mtaLock);
    ++made;
    if (FAILED(created) || !object) {
      shared.failures++;
      Record(shared, "creation of package " + std::to_string(package) + " failed with " + Hex(created) +
                         (self->sta ? " (STA)" : " (MTA)"));
    } else {
      const std::wstring path = ProbedPath(object);
      const CLSID engine = ProbedClass(object);
      if (path != shared.packages->modulePath(package) ||
          !IsEqualCLSID(engine, which ? CLSID_StyleTextEngine : CLSID_StyleEngine)) {
        shared.wrongPaths++;
        Record(shared,
               "package " + std::to_string(package) + " gave an engine object told " + e2e::Narrow(path));
      }
      object->Release();
    }
    if (self->sta && made % kStaFreeEvery == 0) {
      CoFreeUnusedLibrariesEx(0, 0);
      shared.freeCalls++;
    }
  }
  shared.activations += made;
  SetEvent(self->stopped);
  if (comReady && self->sta && WaitForSingleObject(shared.finalFree, kBoundMs) == WAIT_OBJECT_0) {
    CoFreeUnusedLibrariesEx(0, 0);
    shared.freeCalls++;
  }
  SetEvent(self->done);
  if (self->sta) WaitForSingleObject(shared.release, kBoundMs);
  if (comReady) CoUninitialize();
  return 0;
}

struct FreerThread {
  HostShared* shared;
  HANDLE done;  // set after the last unload call
};

DWORD WINAPI FreerMain(void* argument) {
  auto* self = static_cast<FreerThread*>(argument);
  HostShared& shared = *self->shared;
  const bool comReady = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  const auto unload = [&shared] {
    AcquireSRWLockExclusive(&shared.mtaLock);
    CoFreeUnusedLibrariesEx(0, 0);
    ReleaseSRWLockExclusive(&shared.mtaLock);
    shared.freeCalls++;
  };
  while (comReady && !InterlockedCompareExchange(&shared.stop, 0, 0)) {
    unload();
    Sleep(1);
  }
  if (comReady && WaitForSingleObject(shared.finalFree, kBoundMs) == WAIT_OBJECT_0) unload();
  SetEvent(self->done);
  WaitForSingleObject(shared.release, kBoundMs);
  if (comReady) CoUninitialize();
  return 0;
}

}  // namespace

DWORD HandleCount() {
  struct HandleEntry {  // SYSTEM_HANDLE_TABLE_ENTRY_INFO
    ULONG ownerPid;
    BYTE objectType, flags;
    USHORT value;
    void* object;
    ACCESS_MASK access;
  };
  using QueryFn = LONG(NTAPI*)(ULONG infoClass, void* buffer, ULONG size, ULONG* needed);
  static const auto query = reinterpret_cast<QueryFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  constexpr ULONG kSystemHandleInformation = 16;
  if (!query) return 0;
  std::vector<BYTE> buffer(1 << 20);
  for (int attempt = 0; attempt < 4; ++attempt) {
    ULONG needed = 0;
    const LONG status =
        query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status >= 0) {
      const ULONG count = *reinterpret_cast<ULONG*>(buffer.data());
      const auto* entries = reinterpret_cast<const HandleEntry*>(buffer.data() + sizeof(void*));
      DWORD mine = 0;
      for (ULONG i = 0; i < count; ++i) mine += entries[i].ownerPid == GetCurrentProcessId();
      return mine;
    }
    buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
  }
  return 0;
}

namespace {

HostSample Sample(DWORD atMs) {
  HostSample sample = {atMs, HandleCount(), 0, 0};
  // Committed private memory (heaps, stacks, allocations), walked region by
  // region: what this process really holds, whatever the counters say.
  MEMORY_BASIC_INFORMATION region;
  for (const BYTE* at = nullptr; VirtualQuery(at, &region, sizeof region) == sizeof region;) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) sample.privateBytes += region.RegionSize;
    const BYTE* next = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize;
    if (next <= at) break;
    at = next;
  }
  PROCESS_MEMORY_COUNTERS memory = {};
  memory.cb = sizeof memory;
  if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory)) {
    sample.workingSet = memory.WorkingSetSize;
  }
  return sample;
}

// Waits for all of `handles`; a run that does not get there is hung, and a hung
// run must end rather than hold up whoever runs it.
void WaitOrEnd(const std::vector<HANDLE>& handles, const char* what) {
  for (HANDLE handle : handles) {
    if (WaitForSingleObject(handle, kBoundMs) != WAIT_OBJECT_0) {
      std::fprintf(stderr, "many_packages: %s did not finish within %lu ms; stopping\n", what, kBoundMs);
      std::fflush(nullptr);
      TerminateProcess(GetCurrentProcess(), 3);
    }
  }
}

}  // namespace

HostResult RunHost(const HostOptions& options, Problems& problems) {
  HostResult result;
  if (!LoadCounter::Start()) {
    Add(problems, "the loader offers no DLL notifications: loads cannot be counted");
    return result;
  }
  PackageSet packages(PackageSet::Kind::kModule, options.packages, problems);
  if (!problems.empty()) return result;
  packages.RegisterAll(problems);
  packages.CheckRegistered(problems);
  Engine engine(problems);
  if (!problems.empty()) return result;
  const LONG liveBefore = engine.LiveObjects();
  LoadCounter::Reset();

  HostShared shared;
  shared.packages = &packages;
  shared.finalFree = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  shared.release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const int clients = options.staClients + options.mtaClients;
  std::vector<ClientThread> clientState(clients);
  std::vector<HANDLE> threads, clientsStopped, clientsDone;
  for (int i = 0; i < clients; ++i) {
    clientState[i] = {&shared, i, i < options.staClients, CreateEventW(nullptr, TRUE, FALSE, nullptr),
                      CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    clientsStopped.push_back(clientState[i].stopped);
    clientsDone.push_back(clientState[i].done);
  }
  FreerThread freer = {&shared, CreateEventW(nullptr, TRUE, FALSE, nullptr)};

  const double started = Now();
  for (ClientThread& client : clientState) {
    HANDLE thread = CreateThread(nullptr, 0, &ClientMain, &client, 0, nullptr);
    if (!thread) TerminateProcess(GetCurrentProcess(), 3);  // nothing sound to fall back to
    threads.push_back(thread);
  }
  HANDLE freerThread = CreateThread(nullptr, 0, &FreerMain, &freer, 0, nullptr);
  if (!freerThread) TerminateProcess(GetCurrentProcess(), 3);
  threads.push_back(freerThread);

  // Sample the process while the clients work; the run ends by itself.
  const DWORD startTick = GetTickCount();
  for (DWORD elapsed = 0; elapsed < options.milliseconds; elapsed = GetTickCount() - startTick) {
    Sleep(kSampleMs);
    result.samples.push_back(Sample(GetTickCount() - startTick));
  }
  InterlockedExchange(&shared.stop, 1);
  WaitOrEnd(clientsStopped, "a client");
  result.seconds = Now() - started;
  SetEvent(shared.finalFree);
  WaitOrEnd(clientsDone, "a client's last unload call");
  WaitOrEnd({freer.done}, "the unloading thread");

  // Quiet now: every copy must have gone, because nothing holds any of them.
  result.activations = shared.activations;
  result.failures = shared.failures;
  result.wrongPaths = shared.wrongPaths;
  result.freeCalls = shared.freeCalls;
  if (!shared.firstFailure.empty()) Add(problems, "first fault: " + shared.firstFailure);
  for (int i = 0; i < packages.size(); ++i) {
    const long loads = LoadCounter::Loads(false, i), unloads = LoadCounter::Unloads(false, i);
    result.loads += loads;
    result.unloads += unloads;
    if (loads > 0) result.packagesLoaded++;
    HMODULE still = GetModuleHandleW(packages.modulePath(i).c_str());
    if (still || loads != unloads) {
      auto canUnload = still ? reinterpret_cast<EntryPoint>(
                                   reinterpret_cast<void*>(GetProcAddress(still, "DllCanUnloadNow")))
                             : nullptr;
      Add(problems, "package " + std::to_string(i) + " loaded " + std::to_string(loads) +
                        " times, unloaded " + std::to_string(unloads) +
                        (canUnload ? "; its DllCanUnloadNow answers " + Hex(canUnload()) : ""));
    }
  }
  if (engine.LiveObjects() != liveBefore) {
    Add(problems, std::to_string(engine.LiveObjects() - liveBefore) + " engine objects still alive");
  }
  SetEvent(shared.release);
  WaitOrEnd(threads, "a thread leaving COM");
  for (HANDLE handle : threads) CloseHandle(handle);
  for (HANDLE handle : clientsStopped) CloseHandle(handle);
  for (HANDLE handle : clientsDone) CloseHandle(handle);
  CloseHandle(freer.done);
  CloseHandle(shared.finalFree);
  CloseHandle(shared.release);
  for (const HostSample& sample : result.samples) {
    if (sample.handles) result.handlesReported = true;
  }
  packages.UnregisterAll(problems);
  return result;
}

void CheckFlat(const HostResult& result, Problems& problems) {
  const size_t n = result.samples.size();
  if (n < 6) {
    Add(problems, "too few samples to judge handles and memory");
    return;
  }
  // After warm-up (the first third), the middle third against the last third.
  const auto mean = [&](size_t from, size_t to, auto field) {
    double sum = 0;
    for (size_t i = from; i < to; ++i) sum += static_cast<double>(field(result.samples[i]));
    return sum / static_cast<double>(to - from);
  };
  const size_t a = n / 3, b = 2 * n / 3;
  const double handlesMid = mean(a, b, [](const HostSample& s) { return s.handles; });
  const double handlesEnd = mean(b, n, [](const HostSample& s) { return s.handles; });
  const double memoryMid = mean(a, b, [](const HostSample& s) { return s.privateBytes; });
  const double memoryEnd = mean(b, n, [](const HostSample& s) { return s.privateBytes; });
  // Threads and COM open and close a few handles as they go; a leak per
  // activation or per load grows far beyond these margins.
  if (result.handlesReported && handlesEnd > handlesMid + 16) {
    Add(problems,
        "handles grew after warm-up: " + std::to_string(handlesMid) + " -> " + std::to_string(handlesEnd));
  }
  if (memoryEnd > memoryMid * 1.05 + 2.0 * 1024 * 1024) {
    Add(problems, "private memory grew after warm-up: " + std::to_string(memoryMid / 1024) + " KiB -> " +
                      std::to_string(memoryEnd / 1024) + " KiB");
  }
}

}  // namespace many
