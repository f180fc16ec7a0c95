// The checker's input and output (io/files.h, io/checked_files.h): POSIX's
// calls on Linux, the wide (UTF-16) calls on Windows, UTF-8 paths on both.
#include "io/files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "io/checked_files.h"
#include "text/text.h"

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
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace check {
namespace fs = std::filesystem;
namespace io {
namespace {

std::string Failed(const char* otherwise) { return errno ? std::strerror(errno) : otherwise; }

// "8 MiB", "1.5 MB" as the messages give sizes.
std::string SizeText(unsigned long long bytes) {
  const unsigned long long mib = 1ull << 20;
  if (bytes >= mib && bytes % mib == 0) return std::to_string(bytes / mib) + " MiB";
  if (bytes < 1000000) return std::to_string(bytes) + " bytes";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return text;
}

std::string KindOf(fs::file_type type) {
  switch (type) {
    case fs::file_type::directory:
      return "a folder, not a file";
    case fs::file_type::fifo:
      return "a FIFO (named pipe), not a file";
    case fs::file_type::character:
      return "a character device, not a file";
    case fs::file_type::block:
      return "a block device, not a file";
    case fs::file_type::socket:
      return "a socket, not a file";
    case fs::file_type::none:
    case fs::file_type::not_found:
    case fs::file_type::regular:
    case fs::file_type::symlink:
    case fs::file_type::unknown:
      break;
  }
  return "not a regular file";
}

#ifdef _WIN32
// Bytes that are no UTF-8 become U+FFFD: such a name cannot be on a Windows file system anyway.
std::wstring Wide(const std::string& utf8) {
  const std::u16string text = Utf16(utf8);
  return std::wstring(text.begin(), text.end());
}

std::string Narrow(const std::wstring& wide) { return Utf8(std::u16string(wide.begin(), wide.end())); }
#endif

// `path` opened for binary reading (without waiting, as an ordinary open of a
// FIFO would) when it is a regular file, or made new (never over one that
// exists) for binary writing. Null with `reason` set.
std::FILE* OpenFile(const std::string& path, bool create, std::string* reason) {
  errno = 0;
#ifdef _WIN32
  const int fd = ::_wopen(Wide(path).c_str(),
                          (create ? _O_WRONLY | _O_CREAT | _O_EXCL : _O_RDONLY) | _O_BINARY | _O_NOINHERIT,
                          _S_IREAD | _S_IWRITE);
  struct _stat64 st;
  const bool regular = fd >= 0 && ::_fstat64(fd, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
  std::FILE* file = regular ? ::_fdopen(fd, create ? "wb" : "rb") : nullptr;
  if (fd >= 0 && !file) ::_close(fd);
#else
  const int fd =
      ::open(path.c_str(), (create ? O_WRONLY | O_CREAT | O_EXCL : O_RDONLY | O_NONBLOCK) | O_CLOEXEC, 0666);
  struct stat st;
  const bool regular = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (regular) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::FILE* file = regular ? ::fdopen(fd, create ? "wb" : "rb") : nullptr;
  if (fd >= 0 && !file) ::close(fd);
#endif
  const char* otherwise = create ? "it cannot be made" : "it cannot be opened";
  if (!file) *reason = fd >= 0 && !regular ? "not a regular file" : Failed(otherwise);
  return file;
}

// All of `text` written to `file` and flushed; false with the system's words
// ("No space left on device") when any of it is not.
bool WriteAll(std::FILE* file, const std::string& text, std::string* reason) {
#ifdef _WIN32
  // A console shows bytes through its code page, so UTF-8 would come out garbled there: it takes UTF-16.
  const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)));
  DWORD mode = 0;
  if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
    std::fflush(file);
    const std::wstring wide = Wide(text);
    // In pieces (old consoles refuse one write of more than some tens of KB), a surrogate pair kept whole.
    DWORD written = 1;
    for (std::size_t at = 0, n; at < wide.size() && written > 0; at += written) {
      n = std::min<std::size_t>(8192, wide.size() - at);
      if (at + n < wide.size() && wide[at + n - 1] >= 0xD800 && wide[at + n - 1] <= 0xDBFF) --n;
      if (!WriteConsoleW(handle, wide.data() + at, static_cast<DWORD>(n), &written, nullptr)) written = 0;
    }
    if (written > 0) return true;
    wchar_t* words = nullptr;
    FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        GetLastError(), 0, reinterpret_cast<wchar_t*>(&words), 0, nullptr);
    *reason = words ? Narrow(words) : "the write failed";
    if (words) LocalFree(words);
    while (!reason->empty() && std::strchr("\r\n.", reason->back())) reason->pop_back();
    return false;
  }
#endif
  errno = 0;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (std::fflush(file) == 0 && written && !std::ferror(file)) return true;
  *reason = Failed("the write failed");
  return false;
}

}  // namespace

#ifdef _WIN32
fs::path PathOf(const std::string& utf8) { return fs::path(Wide(utf8)); }
std::string TextOf(const fs::path& path) { return Narrow(path.native()); }

std::vector<std::string> Arguments(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(Narrow(argv[i]));
  return args;
}
#else
fs::path PathOf(const std::string& utf8) { return fs::path(utf8); }
std::string TextOf(const fs::path& path) { return path.native(); }
std::vector<std::string> Arguments(int argc, char** argv) { return {argv + 1, argv + argc}; }
#endif

std::string ProgramFolder() {
#ifdef _WIN32
  wchar_t wide[32768];
  const DWORD n = GetModuleFileNameW(nullptr, wide, 32768);
  return n == 0 || n >= 32768 ? "" : TextOf(fs::path(std::wstring(wide, n)).parent_path());
#else
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? std::string() : self.parent_path().string();
#endif
}

std::string FileName(const std::string& utf8) { return TextOf(PathOf(utf8).filename()); }

void PrintError(const std::string& text) {
  std::string reason;
  WriteAll(stderr, text, &reason);
}

namespace {

// Locks `file` for this process alone, waiting while another holds it (`wait`) or answering false.
bool Lock(std::FILE* file, bool wait) {
#ifdef _WIN32
  const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)));
  OVERLAPPED at = {};  // the first byte
  const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
  return handle != INVALID_HANDLE_VALUE && LockFileEx(handle, flags, /*reserved=*/0, 1, 0, &at);
#else
  int result;
  while ((result = ::flock(::fileno(file), LOCK_EX | (wait ? 0 : LOCK_NB))) != 0 && errno == EINTR) {
  }
  return result == 0;
#endif
}

// What a lock file holds once its maker has locked it.
constexpr char kLockText[] = "stub-check\n";

}  // namespace

bool HeldLock::Make(const std::string& path, std::string* reason) {
  Release();
  // Locked (waiting out a process that only looks whether it is held) before it is written.
  file_ = OpenFile(path, true, reason);
  if (!file_) return false;
  if (!Lock(file_, true)) {
    *reason = Failed("it cannot be locked");
    Release();
    return false;
  }
  if (WriteAll(file_, kLockText, reason)) return true;
  Release();
  return false;
}

bool HeldLock::Take(const std::string& path) {
  Release();
  std::string reason;
  file_ = OpenFile(path, false, &reason);
  if (!file_) return false;
  char first = 0;
  if (!Lock(file_, false) || std::fread(&first, 1, 1, file_) != 1) {
    Release();
    return false;
  }
  return true;
}

void HeldLock::Release() {
  if (file_) std::fclose(file_);  // the lock goes with the file
  file_ = nullptr;
}

}  // namespace io

bool PrintChecked(const std::string& who, const std::string& text) {
  std::string reason;
  if (io::WriteAll(stdout, text, &reason)) return true;
  io::PrintError(who + ": cannot write to standard output: " + reason + "; what was printed is incomplete\n");
  return false;
}

bool WriteNewFile(const std::string& path, const std::string& bytes, std::string* reason) {
  std::FILE* file = io::OpenFile(path, true, reason);
  if (!file) return false;
  const bool written = io::WriteAll(file, bytes, reason);
  errno = 0;
  const bool closed = std::fclose(file) == 0;
  if (written && !closed) *reason = io::Failed("closing it failed");
  std::error_code error;
  if (!written || !closed) fs::remove(io::PathOf(path), error);
  return written && closed;
}

bool ReadRegularFile(const std::string& path, std::size_t limit, std::string* bytes, std::string* reason,
                     bool* tooLarge) {
  bytes->clear();
  if (tooLarge) *tooLarge = false;
  std::error_code error;
  const fs::file_status status = fs::status(io::PathOf(path), error);
  if (error || status.type() != fs::file_type::regular) {
    *reason = error ? error.message() : io::KindOf(status.type());
    return false;
  }
  // Held to what the open file is: a FIFO put in its place meanwhile is neither waited on nor read.
  std::FILE* file = io::OpenFile(path, false, reason);
  if (!file) return false;
  const auto size = fs::file_size(io::PathOf(path), error);
  const bool large = !error && size > limit;
  char buffer[65536];
  errno = 0;
  for (std::size_t n; !large && bytes->size() <= limit && (n = std::fread(buffer, 1, sizeof buffer, file));) {
    bytes->append(buffer, n);
  }
  const bool grew = bytes->size() > limit;  // while being read
  const bool failed = !large && !grew && std::ferror(file);
  const std::string beyond = "more than the " + io::SizeText(limit) + " stub-check reads";
  if (large) *reason = "it is " + io::SizeText(size) + ", " + beyond;
  if (grew) *reason = "it is " + beyond;
  if (failed) *reason = io::Failed("reading it failed");
  std::fclose(file);
  if (large || grew) bytes->clear();
  if (tooLarge) *tooLarge = large || grew;
  return !large && !grew && !failed;
}

bool CheckWindowsModulePath(const std::string& path, std::string* problem) {
  const bool drive = path.size() >= 3 && ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') &&
                     path[1] == ':' && path[2] == '\\';
  const bool share = path.size() >= 3 && path[0] == '\\' && path[1] == '\\' && path[2] != '\\';
  // The first character Windows refuses in a path (a drive's colon aside).
  const auto bad = std::find_if(path.begin() + (drive ? 2 : 0), path.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F || std::strchr("<>\"|?*/:", c);
  });
  const bool control = bad != path.end() && (static_cast<unsigned char>(*bad) < 0x20 || *bad == 0x7F);
  problem->clear();
  if (!drive && !share) {
    *problem = "it is not an absolute Windows path (C:\\...\\NAME.dll or \\\\server\\share\\...\\NAME.dll)";
  } else if (control) {
    *problem = "it holds a control character (" + Quoted({*bad}) + "), which Windows refuses in a path";
  } else if (bad != path.end()) {
    *problem = std::string("it holds '") + *bad + "', which Windows refuses in a file name" +
               (*bad == '/' ? " (write backslashes)" : "");
  } else if (ShowBytes(path) != path) {
    *problem = "it is not UTF-8 text";
  }
  // Each folder and the file itself, past the drive or the server and share.
  std::size_t start = drive ? 3 : path.find('\\', path.find('\\', 2) + 1);
  for (std::size_t end; problem->empty() && start < path.size(); start = end + 1) {
    end = std::min(path.find('\\', start), path.size());
    CheckDeviceName(path.substr(start, end - start), problem);
  }
  return problem->empty();
}

std::string DeviceName(const std::string& name) {
  // Windows reserves device names as file names, with any extension.
  static const char* const kDevices[] = {"CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2", "COM3", "COM4",
                                         "COM5", "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2", "LPT3",
                                         "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9"};
  const std::string stem = Lower(name.substr(0, name.find('.')));
  for (const char* device : kDevices) {
    if (stem == Lower(device)) return device;
  }
  return "";
}

bool CheckDeviceName(const std::string& name, std::string* problem) {
  const std::string device = DeviceName(name);
  if (!device.empty()) *problem = device + " is a device name on Windows and cannot name a file or folder";
  return device.empty();
}

}  // namespace check
