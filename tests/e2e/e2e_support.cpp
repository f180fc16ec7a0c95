#include "e2e_support.h"

#include <cstdio>
#include <cstdlib>

namespace e2e {
namespace {

std::wstring Widen(const char* text) {
  const int units = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  std::wstring wide(units > 0 ? units : 1, L'\0');
  if (units > 0) MultiByteToWideChar(CP_UTF8, 0, text, -1, &wide[0], units);
  wide.resize(lstrlenW(wide.c_str()));
  return wide;
}

// Removes a folder and everything under it; false if anything stayed.
bool RemoveTree(const std::wstring& folder) {
  bool removed = true;
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW((folder + L"*").c_str(), &entry);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        removed = RemoveTree(folder + name + L"\\") && removed;
      } else {
        removed = DeleteFileW((folder + name).c_str()) && removed;
      }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
  }
  return RemoveDirectoryW(folder.c_str()) && removed;
}

}  // namespace

std::wstring WindowsPath(const char* path) {
  std::wstring wide = Widen(path);
  if (!wide.empty() && wide[0] == L'/') {
    for (wchar_t& unit : wide) {
      if (unit == L'/') unit = L'\\';
    }
    wide = L"Z:" + wide;
  }
  return wide;
}

std::wstring StubModulePath() {
  // E2E_STUB_MODULE points the tests at another build of the module.
  const char* other = std::getenv("E2E_STUB_MODULE");
  return WindowsPath(other && *other ? other : E2E_STUB_DLL);
}
std::wstring EngineModulePath() { return WindowsPath(E2E_ENGINE_DLL); }

std::wstring GuidText(const GUID& id) {
  wchar_t text[40] = {};
  StringFromGUID2(id, text, 40);
  return text;
}

GUID NewGuid() {
  GUID id = {};
  CoCreateGuid(&id);
  return id;
}

bool WriteFileText(const std::wstring& path, const std::string& text) {
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == text.size();
}

std::string Narrow(const std::wstring& text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string narrow(bytes > 0 ? bytes : 1, '\0');
  if (bytes > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &narrow[0], bytes, nullptr, nullptr);
  }
  narrow.resize(std::char_traits<char>::length(narrow.c_str()));
  return narrow;
}

TempFolder::TempFolder() {
  wchar_t temp[MAX_PATH] = {};
  wchar_t longTemp[MAX_PATH] = {};
  if (!GetTempPathW(MAX_PATH, temp)) return;
  // The module derives its package folder from its long path, so the tests
  // compare against long paths too.
  if (!GetLongPathNameW(temp, longTemp, MAX_PATH)) lstrcpynW(longTemp, temp, MAX_PATH);
  // A fresh identifier in the name: a run that was killed leaves its folder.
  std::wstring path = std::wstring(longTemp) + L"stub-e2e-" + GuidText(NewGuid()) + L"\\";
  if (CreateDirectoryW(path.c_str(), nullptr)) path_ = path;
}

TempFolder::~TempFolder() {
  if (!path_.empty() && !RemoveTree(path_)) {
    std::fprintf(stderr, "warning: could not remove %s\n", Narrow(path_).c_str());
  }
}

Package::Package(const TempFolder& folder, const std::wstring& name, const char* styleScript,
                 const char* styleTextScript) {
  if (folder.path().empty()) return;
  modulePath = folder.path() + name + L".dll";
  directory = folder.path() + name + L"\\";
  if (!CopyFileW(StubModulePath().c_str(), modulePath.c_str(), TRUE)) return;
  if (!CreateDirectoryW(directory.c_str(), nullptr)) return;
  if (styleScript && !WriteFileText(directory + L"Style.rgs", styleScript)) return;
  if (styleTextScript && !WriteFileText(directory + L"StyleText.rgs", styleTextScript)) return;
  ok = true;
}

ScopedClassRegistration::ScopedClassRegistration(const CLSID& clsid, const std::wstring& modulePath,
                                                 const wchar_t* threadingModel)
    : classKey_(L"CLSID\\" + GuidText(clsid)) {
  HKEY key = nullptr;
  const std::wstring serverKey = classKey_ + L"\\InprocServer32";
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, serverKey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return;
  }
  const auto bytes = [](const std::wstring& text) {
    return static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  };
  const std::wstring model = threadingModel;
  ok_ = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(modulePath.c_str()),
                       bytes(modulePath)) == ERROR_SUCCESS &&
        RegSetValueExW(key, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(model.c_str()),
                       bytes(model)) == ERROR_SUCCESS;
  RegCloseKey(key);
}

ScopedClassRegistration::~ScopedClassRegistration() { Remove(); }

void ScopedClassRegistration::Remove() {
  if (classKey_.empty()) return;
  RegDeleteTreeW(HKEY_CLASSES_ROOT, classKey_.c_str());
  RegDeleteKeyW(HKEY_CLASSES_ROOT, classKey_.c_str());
  classKey_.clear();
}

std::string Describe(const std::vector<SeenBox>& boxes) {
  std::string text;
  for (const SeenBox& box : boxes) {
    text += "[" + Narrow(box.caption) + ": \"" + Narrow(box.text) + "\"" + (box.owned ? " owned" : "") +
            (box.okOnly ? "" : " not OK-only") + "] ";
  }
  return text.empty() ? "no box" : text;
}

MessageBoxWatcher::MessageBoxWatcher(DWORD process) : process_(process) {
  InitializeCriticalSection(&lock_);
  running_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

MessageBoxWatcher::~MessageBoxWatcher() {
  Stop();
  CloseHandle(running_);
  CloseHandle(stop_);
  DeleteCriticalSection(&lock_);
}

bool MessageBoxWatcher::Start() {
  constexpr DWORD kStartTimeoutMs = 5000;
  if (thread_ || !running_ || !stop_) return false;
  thread_ = CreateThread(nullptr, 0, &MessageBoxWatcher::ThreadMain, this, 0, nullptr);
  return thread_ && WaitForSingleObject(running_, kStartTimeoutMs) == WAIT_OBJECT_0;
}

bool MessageBoxWatcher::Stop() {
  constexpr DWORD kStopTimeoutMs = 5000;
  if (!thread_) return true;
  SetEvent(stop_);
  const bool ended = WaitForSingleObject(thread_, kStopTimeoutMs) == WAIT_OBJECT_0;
  CloseHandle(thread_);
  thread_ = nullptr;
  return ended;
}

std::vector<SeenBox> MessageBoxWatcher::Boxes() {
  EnterCriticalSection(&lock_);
  std::vector<SeenBox> boxes = boxes_;
  LeaveCriticalSection(&lock_);
  return boxes;
}

DWORD WINAPI MessageBoxWatcher::ThreadMain(void* self) {
  static_cast<MessageBoxWatcher*>(self)->Loop();
  return 0;
}

void MessageBoxWatcher::Loop() {
  constexpr DWORD kPollMs = 10;
  do {
    EnumWindows(&MessageBoxWatcher::VisitWindow, reinterpret_cast<LPARAM>(this));
    // Only now is the thread ready: its first window call sets up the thread
    // for the window system, which may wait for the loader lock.
    SetEvent(running_);
  } while (WaitForSingleObject(stop_, kPollMs) == WAIT_TIMEOUT);
}

BOOL CALLBACK MessageBoxWatcher::VisitWindow(HWND window, LPARAM self) {
  reinterpret_cast<MessageBoxWatcher*>(self)->Visit(window);
  return TRUE;
}

void MessageBoxWatcher::Visit(HWND window) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process != process_) return;
  wchar_t className[64] = {};
  GetClassNameW(window, className, 64);
  // A box is read once it is shown: by then its text has been set.
  if (lstrcmpW(className, L"#32770") != 0 || !IsWindowVisible(window)) return;
  for (HWND closed : closed_) {
    if (closed == window) return;
  }
  SeenBox box;
  wchar_t text[1024] = {};
  GetWindowTextW(window, text, 1024);
  box.caption = text;
  text[0] = L'\0';
  constexpr int kMessageTextId = 0xFFFF;
  GetDlgItemTextW(window, kMessageTextId, text, 1024);
  box.text = text;
  box.owned = GetWindow(window, GW_OWNER) != nullptr;
  const auto shown = [window](int id) {
    HWND button = GetDlgItem(window, id);
    return button && IsWindowVisible(button);
  };
  box.okOnly = shown(IDOK);
  for (int other : {IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO, IDTRYAGAIN, IDCONTINUE}) {
    if (shown(other)) box.okOnly = false;
  }
  EnterCriticalSection(&lock_);
  boxes_.push_back(box);
  LeaveCriticalSection(&lock_);
  closed_.push_back(window);
  PostMessageW(window, WM_COMMAND, IDOK, 0);
}

namespace {

struct TogetherState {
  HANDLE go;
  void (*body)(int, void*);
  void* context;
};

struct TogetherThread {
  TogetherState* state;
  int index;
};

DWORD WINAPI TogetherMain(void* argument) {
  auto* thread = static_cast<TogetherThread*>(argument);
  WaitForSingleObject(thread->state->go, INFINITE);
  thread->state->body(thread->index, thread->state->context);
  return 0;
}

}  // namespace

bool RunTogether(int count, DWORD timeoutMs, void (*body)(int, void*), void* context) {
  if (count <= 0 || count > MAXIMUM_WAIT_OBJECTS) return false;
  TogetherState state = {CreateEventW(nullptr, TRUE, FALSE, nullptr), body, context};
  std::vector<TogetherThread> threads(count);
  std::vector<HANDLE> handles;
  for (int i = 0; i < count; ++i) {
    threads[i] = {&state, i};
    HANDLE handle = CreateThread(nullptr, 0, &TogetherMain, &threads[i], 0, nullptr);
    if (handle) handles.push_back(handle);
  }
  SetEvent(state.go);
  const DWORD waited = handles.empty() ? WAIT_FAILED
                                       : WaitForMultipleObjects(static_cast<DWORD>(handles.size()),
                                                                handles.data(), TRUE, timeoutMs);
  const bool finished = waited < WAIT_OBJECT_0 + handles.size();
  // Threads that did not finish still point at this frame: leave rather than
  // let them touch freed memory.
  if (!finished) {
    std::fprintf(stderr, "threads did not finish in time; stopping the run\n");
    std::fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), 3);
  }
  for (HANDLE handle : handles) CloseHandle(handle);
  CloseHandle(state.go);
  return handles.size() == static_cast<size_t>(count);
}

}  // namespace e2e
