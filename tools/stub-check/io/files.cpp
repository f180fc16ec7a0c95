// The file and stream calls of the checker: POSIX's calls on Linux, the wide
// (UTF-16) calls on Windows, with UTF-8 paths on both sides of this file.
#include "io/files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace check::io {

namespace fs = std::filesystem;

#ifdef _WIN32

namespace {

// Bytes that are no UTF-8 become U+FFFD, as everywhere on Windows: such a name
// cannot be on a Windows file system anyway.
std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n, nullptr,
                      nullptr);
  return utf8;
}

// The system's words for the latest failed call.
std::string LastError() {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      GetLastError(), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring words = n && text ? std::wstring(text, n) : L"the write failed";
  if (text) LocalFree(text);
  while (!words.empty() && (words.back() == L'\n' || words.back() == L'\r' || words.back() == L'.')) {
    words.pop_back();
  }
  return Narrow(words);
}

}  // namespace

fs::path PathOf(const std::string& utf8) { return fs::path(Wide(utf8)); }
std::string TextOf(const fs::path& path) { return Narrow(path.native()); }

std::vector<std::string> Arguments(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(Narrow(argv[i]));
  return args;
}

std::FILE* CreateNewFile(const std::string& path) {
  errno = 0;
  const int fd = ::_wopen(Wide(path).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                          _S_IREAD | _S_IWRITE);
  std::FILE* file = fd >= 0 ? ::_fdopen(fd, "wb") : nullptr;
  if (fd >= 0 && !file) ::_close(fd);
  return file;
}

std::FILE* OpenRegularFile(const std::string& path, std::string* reason) {
  errno = 0;
  std::FILE* file = ::_wfopen(Wide(path).c_str(), L"rb");
  if (!file) {
    *reason = errno ? std::strerror(errno) : "it cannot be opened";
    return nullptr;
  }
  struct _stat64 st;
  if (::_fstat64(::_fileno(file), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
    std::fclose(file);
    *reason = "not a regular file";
    return nullptr;
  }
  return file;
}

bool WriteToConsole(std::FILE* stream, const std::string& text, bool* ok, std::string* reason) {
  const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return false;
  std::fflush(stream);
  const std::wstring wide = Wide(text);
  *ok = true;
  // In pieces: old consoles refuse one write of more than some tens of KB.
  constexpr std::size_t kPiece = 8192;
  for (std::size_t at = 0; at < wide.size() && *ok;) {
    std::size_t n = std::min(kPiece, wide.size() - at);
    if (at + n < wide.size() && wide[at + n - 1] >= 0xD800 && wide[at + n - 1] <= 0xDBFF) --n;  // a pair stays whole
    DWORD written = 0;
    *ok = WriteConsoleW(handle, wide.data() + at, static_cast<DWORD>(n), &written, nullptr) && written > 0;
    if (!*ok) *reason = LastError();
    at += written;
  }
  return true;
}

#else

fs::path PathOf(const std::string& utf8) { return fs::path(utf8); }
std::string TextOf(const fs::path& path) { return path.native(); }

std::vector<std::string> Arguments(int argc, char** argv) { return std::vector<std::string>(argv + 1, argv + argc); }

std::FILE* CreateNewFile(const std::string& path) {
  errno = 0;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  std::FILE* file = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
  if (fd >= 0 && !file) ::close(fd);
  return file;
}

std::FILE* OpenRegularFile(const std::string& path, std::string* reason) {
  // Opened without waiting, then held to what the descriptor itself is.
  errno = 0;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *reason = errno ? std::strerror(errno) : "it cannot be opened";
    return nullptr;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    *reason = "not a regular file";
    return nullptr;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  errno = 0;
  std::FILE* file = ::fdopen(fd, "rb");
  if (!file) {
    *reason = errno ? std::strerror(errno) : "it cannot be opened";
    ::close(fd);
  }
  return file;
}

bool WriteToConsole(std::FILE*, const std::string&, bool*, std::string*) { return false; }

#endif

std::string FileName(const std::string& utf8) { return TextOf(PathOf(utf8).filename()); }

void PrintError(const std::string& text) {
  bool ok = false;
  std::string reason;
  if (WriteToConsole(stderr, text, &ok, &reason)) return;
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace check::io
