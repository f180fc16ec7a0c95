// Checked writes (a full disk or a closed pipe is never taken for success),
// bounded reads (a pipe or a device is never waited on, a file past its limit
// never read) and Windows' rules for paths and names. Part of the checker's
// bottom layer: it includes text/ and io/ only.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace check {

/// Writes all of `text` to `file` and flushes it; false with `reason` (the
/// system's words, "No space left on device") when any of it is not written.
bool WriteAll(std::FILE* file, const std::string& text, std::string* reason);

/// Prints `text` on standard output, checked; on failure says so on standard
/// error under `who` ("stub-check export") and answers false.
bool PrintChecked(const std::string& who, const std::string& text);

/// Writes `bytes` to a new file at `path`, which must not exist yet, checking
/// every write, the flush and the close; a file that could not be written
/// whole is removed again. False with `reason` set.
bool WriteNewFile(const std::string& path, const std::string& bytes, std::string* reason);

/// The whole regular file at `path` into `bytes`, when it is at most `limit`
/// bytes long. False with `reason` set otherwise: the system's words for a file
/// that cannot be opened, "a folder, not a file", "a FIFO, not a file", ... for
/// anything but a regular file (so a pipe or a device is never waited on or read
/// without end), or the size and the limit for a file that is too large
/// (`*tooLarge` set then, when given).
bool ReadRegularFile(const std::string& path, std::size_t limit, std::string* bytes,
                     std::string* reason, bool* tooLarge = nullptr);

/// The size limits of what the checker reads. A real script is a few KB; a
/// regedit export of a machine's classes some tens of MB.
constexpr std::size_t kScriptSizeLimit = 8u << 20;
constexpr std::size_t kRegistrySizeLimit = 256u << 20;
constexpr std::size_t kModuleSizeLimit = 64u << 20;

/// "8 MiB", "1.5 MB" as the messages give sizes.
std::string SizeText(unsigned long long bytes);

/// Whether `path` is an absolute Windows path a module can be installed at:
/// a drive (C:\...) or a share (\\server\share\...), backslashes only, no
/// character Windows refuses in a file name (<>"|?* and the control
/// characters) and no ':' but the drive's; otherwise `problem` says why.
bool CheckWindowsModulePath(const std::string& path, std::string* problem);

/// The device Windows reserves a file name for ("CON" for con.txt, whatever
/// the extension), or empty when `name` is none.
std::string DeviceName(const std::string& name);

}  // namespace check
