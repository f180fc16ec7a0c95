// Helpers of the end-to-end client: module and package files on disk, class
// registrations in the real registry, and a watcher for message boxes.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <objbase.h>

#include <string>
#include <vector>

namespace e2e {

/// Windows form of a path handed over by the build: a Unix path "/a/b" becomes
/// "Z:\a\b" (Wine's drive for the root); a Windows path is returned unchanged.
std::wstring WindowsPath(const char* path);

/// The built module (Stub.dll, or the file named by the environment variable
/// E2E_STUB_MODULE) and the test engine, as Windows paths.
std::wstring StubModulePath();
std::wstring EngineModulePath();

/// Braced text of a GUID, e.g. "{6C3E2B71-0F4D-4C8A-9E15-7A2B90D1C4E6}".
std::wstring GuidText(const GUID& id);
/// A fresh GUID, so that no run collides with a registration left by another.
GUID NewGuid();

/// Writes `text` as the whole content of `path`; false on failure.
bool WriteFileText(const std::wstring& path, const std::string& text);

/// Narrow (UTF-8) form of wide text, for readable assertion messages.
std::string Narrow(const std::wstring& text);

/// A folder under the temporary folder, removed with its contents at the end.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  /// The folder's long path with a trailing backslash; empty if creation failed.
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

/// One copy of the module with its package folder: <folder><name>.dll and
/// <folder><name>\ holding the scripts given (a null text leaves that script out).
struct Package {
  /// Copies the module and writes the scripts; `ok` tells whether all of it worked.
  Package(const TempFolder& folder, const std::wstring& name, const char* styleScript,
          const char* styleTextScript);

  bool ok = false;
  std::wstring modulePath;  ///< full path of the module copy
  std::wstring directory;   ///< package folder, with a trailing backslash
};

/// Makes a class loadable by COM from `modulePath` for as long as it lives:
/// HKCR\CLSID\{clsid}\InprocServer32 with the default value and ThreadingModel.
/// The whole class key is removed at the end.
class ScopedClassRegistration {
 public:
  ScopedClassRegistration(const CLSID& clsid, const std::wstring& modulePath, const wchar_t* threadingModel);
  ~ScopedClassRegistration();
  ScopedClassRegistration(const ScopedClassRegistration&) = delete;
  ScopedClassRegistration& operator=(const ScopedClassRegistration&) = delete;

  /// Removes the registration now (also done at the end of life).
  void Remove();
  /// True when the keys were written.
  bool ok() const { return ok_; }

 private:
  std::wstring classKey_;
  bool ok_ = false;
};

/// Text and caption of one message box that the watcher closed.
struct SeenBox {
  std::wstring caption;
  std::wstring text;
  bool owned = false;   ///< the box had an owner window
  bool okOnly = false;  ///< OK was the only button shown
};

/// Readable list of boxes for assertion messages ("no box" for none).
std::string Describe(const std::vector<SeenBox>& boxes);

/// A thread that closes every message box of one process (by default this one)
/// and records it.
///
/// A box raised while the module loads is raised under the loader lock, and a
/// thread that is still starting, or making its first window call, waits for
/// that lock; so Start returns only once the watcher has been round its loop.
class MessageBoxWatcher {
 public:
  explicit MessageBoxWatcher(DWORD process = GetCurrentProcessId());
  ~MessageBoxWatcher();
  MessageBoxWatcher(const MessageBoxWatcher&) = delete;
  MessageBoxWatcher& operator=(const MessageBoxWatcher&) = delete;

  /// Starts the thread; false if it does not run within a few seconds.
  bool Start();
  /// Stops the thread (bounded wait); false if it did not end in time.
  bool Stop();
  /// The boxes closed so far, oldest first.
  std::vector<SeenBox> Boxes();

 private:
  static DWORD WINAPI ThreadMain(void* self);
  static BOOL CALLBACK VisitWindow(HWND window, LPARAM self);
  void Loop();
  void Visit(HWND window);

  DWORD process_;
  HANDLE thread_ = nullptr;
  HANDLE running_ = nullptr;
  HANDLE stop_ = nullptr;
  CRITICAL_SECTION lock_;
  std::vector<SeenBox> boxes_;
  std::vector<HWND> closed_;
};

/// Runs `body` on `count` threads that are released together; false if the
/// threads could not be started or did not finish within `timeoutMs`.
bool RunTogether(int count, DWORD timeoutMs, void (*body)(int index, void* context), void* context);

}  // namespace e2e
