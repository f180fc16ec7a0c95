// The checker's calls to the file system and its standard streams. Every other part keeps a
// path as UTF-8 text; here alone it becomes what the system takes: the bytes on POSIX, UTF-16
// on Windows (whose narrow calls would lose every character outside the ANSI code page).
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace check::io {

std::filesystem::path PathOf(const std::string& utf8);
std::string TextOf(const std::filesystem::path& path);
/// The last part of the UTF-8 path `utf8` ("Fjord.dll" of "Pakete\Fjord.dll" on Windows).
std::string FileName(const std::string& utf8);
/// The folder the running program was started from ("" when unknown).
std::string ProgramFolder();

/// The program's arguments as UTF-8, its name left out (on Windows from wmain's UTF-16).
#ifdef _WIN32
std::vector<std::string> Arguments(int argc, wchar_t** argv);
#else
std::vector<std::string> Arguments(int argc, char** argv);
#endif

/// Writes `text` to standard error, unchecked: there is nowhere left to tell a failure.
void PrintError(const std::string& text);

/// An advisory lock on a lock file, held for as long as this object holds it (flock on POSIX,
/// LockFileEx on Windows), so that another process can tell whether a run that made the file is
/// still running: the system lets a lock go when its process ends, however it ends (SIGKILL too).
/// A lock file is written only once it is locked: one found empty has a maker that has not locked
/// it yet. Not copyable; the file itself stays where it is.
class HeldLock {
 public:
  HeldLock() = default;
  ~HeldLock() { Release(); }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
  /// Makes the lock file `path` (never over one there), locks it and writes it; false with `reason`.
  bool Make(const std::string& path, std::string* reason);
  /// Locks the lock file `path` when no process holds it and it was written: false when one holds
  /// it, when it is empty (its maker is about to lock it), or when it is no regular file or cannot
  /// be opened.
  bool Take(const std::string& path);
  /// Lets the lock go and closes the file.
  void Release();

 private:
  std::FILE* file_ = nullptr;
};

}  // namespace check::io
