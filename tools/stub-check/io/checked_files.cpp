// Checked writes, bounded reads and Windows' rules for paths and names.
#include "io/checked_files.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "io/files.h"
#include "text/text.h"

namespace check {

namespace fs = std::filesystem;

namespace {

std::string KindOf(fs::file_type type) {
  switch (type) {
    case fs::file_type::directory: return "a folder, not a file";
    case fs::file_type::fifo: return "a FIFO (named pipe), not a file";
    case fs::file_type::character: return "a character device, not a file";
    case fs::file_type::block: return "a block device, not a file";
    case fs::file_type::socket: return "a socket, not a file";
    default: return "not a regular file";
  }
}

}  // namespace

bool WriteAll(std::FILE* file, const std::string& text, std::string* reason) {
  bool written = false;
  if (io::WriteToConsole(file, text, &written, reason)) return written;
  errno = 0;
  written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const bool flushed = std::fflush(file) == 0;
  if (written && flushed && !std::ferror(file)) return true;
  *reason = errno ? std::strerror(errno) : "the write failed";
  return false;
}

bool PrintChecked(const std::string& who, const std::string& text) {
  std::string reason;
  if (WriteAll(stdout, text, &reason)) return true;
  io::PrintError(who + ": cannot write to standard output: " + reason + "; what was printed is incomplete\n");
  return false;
}

bool WriteNewFile(const std::string& path, const std::string& bytes, std::string* reason) {
  // Made exclusively: never over a file that appeared meanwhile.
  std::FILE* file = io::CreateNewFile(path);
  if (!file) {
    *reason = errno ? std::strerror(errno) : "it cannot be made";
    return false;
  }
  bool ok = WriteAll(file, bytes, reason);
  errno = 0;
  if (std::fclose(file) != 0 && ok) {
    *reason = errno ? std::strerror(errno) : "closing it failed";
    ok = false;
  }
  if (!ok) {
    std::error_code error;
    fs::remove(io::PathOf(path), error);
  }
  return ok;
}

std::string SizeText(unsigned long long bytes) {
  char text[32];
  if (bytes >= (1ull << 20) && bytes % (1ull << 20) == 0) {
    std::snprintf(text, sizeof text, "%llu MiB", bytes >> 20);
  } else if (bytes >= 1000000) {
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
  } else {
    std::snprintf(text, sizeof text, "%llu bytes", bytes);
  }
  return text;
}

bool ReadRegularFile(const std::string& path, std::size_t limit, std::string* bytes,
                     std::string* reason, bool* tooLarge) {
  if (tooLarge) *tooLarge = false;
  bytes->clear();
  std::error_code error;
  const fs::file_status status = fs::status(io::PathOf(path), error);
  if (error || status.type() == fs::file_type::not_found) {
    *reason = error ? error.message() : std::strerror(ENOENT);
    return false;
  }
  if (status.type() != fs::file_type::regular) {
    *reason = KindOf(status.type());
    return false;
  }
  // A FIFO put in its place meanwhile is neither waited on nor read.
  std::FILE* file = io::OpenRegularFile(path, reason);
  if (!file) return false;
  const auto size = fs::file_size(io::PathOf(path), error);
  if (!error && size > limit) {
    std::fclose(file);
    if (tooLarge) *tooLarge = true;
    *reason = "it is " + SizeText(size) + ", more than the " + SizeText(limit) + " stub-check reads";
    return false;
  }
  if (!error) bytes->reserve(static_cast<std::size_t>(size));
  char buffer[65536];
  std::size_t n;
  errno = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    if (bytes->size() + n > limit) {  // it grew while being read
      std::fclose(file);
      bytes->clear();
      if (tooLarge) *tooLarge = true;
      *reason = "it is more than the " + SizeText(limit) + " stub-check reads";
      return false;
    }
    bytes->append(buffer, n);
  }
  const bool ok = !std::ferror(file);
  if (!ok) *reason = errno ? std::strerror(errno) : "reading it failed";
  std::fclose(file);
  return ok;
}

bool CheckWindowsModulePath(const std::string& path, std::string* problem) {
  const bool drive = path.size() >= 3 && ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') &&
                     path[1] == ':' && path[2] == '\\';
  const bool share = path.size() >= 3 && path[0] == '\\' && path[1] == '\\' && path[2] != '\\';
  if (!drive && !share) {
    *problem = "it is not an absolute Windows path (C:\\...\\NAME.dll or \\\\server\\share\\...\\NAME.dll)";
    return false;
  }
  for (std::size_t i = 0; i < path.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(path[i]);
    if (c < 0x20 || c == 0x7F) {
      *problem = "it holds a control character (" + Quoted(std::string(1, path[i])) +
                 "), which Windows refuses in a path";
      return false;
    }
    if (std::strchr("<>\"|?*/", c) || (c == ':' && !(drive && i == 1))) {
      *problem = std::string("it holds '") + path[i] + "', which Windows refuses in a file name" +
                 (c == '/' ? " (write backslashes)" : "");
      return false;
    }
  }
  if (ShowBytes(path) != path) {
    *problem = "it is not UTF-8 text";
    return false;
  }
  return true;
}

std::string DeviceName(const std::string& name) {
  // Windows reserves device names as file names, with any extension.
  const std::string stem = Lower(name.substr(0, name.find('.')));
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "COM1", "COM2", "COM3",
                                         "COM4", "COM5", "COM6", "COM7", "COM8", "COM9", "LPT1",
                                         "LPT2", "LPT3", "LPT4", "LPT5", "LPT6", "LPT7", "LPT8",
                                         "LPT9"};
  for (const char* device : kDevices) {
    if (stem == Lower(device)) return device;
  }
  return "";
}

}  // namespace check
