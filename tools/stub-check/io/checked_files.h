// Checked writes (a full disk or a closed pipe is never taken for success),
// bounded reads (a pipe or a device is never waited on, a file past its limit
// never read) and Windows' rules for paths and names.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace check {

/// Prints `text` on standard output, checked; on failure says so on standard
/// error under `who` ("stub-check export") and answers false.
bool PrintChecked(const std::string& who, const std::string& text);

/// Writes `bytes` to a new file at `path`, which must not exist yet, checking
/// every write, the flush and the close; a file that could not be written
/// whole is removed again. False with `reason` set.
bool WriteNewFile(const std::string& path, const std::string& bytes, std::string* reason);

/// The whole regular file at `path` into `bytes`, when it is at most `limit`
/// bytes long. False with `reason` set otherwise: the system's words, what the
/// path is instead of a regular file ("a folder, not a file"), or the size and
/// the limit (`*tooLarge` set then, when given).
bool ReadRegularFile(const std::string& path, std::size_t limit, std::string* bytes, std::string* reason,
                     bool* tooLarge = nullptr);

/// The size limits of what the checker reads. A real script is a few KB; a
/// regedit export of a machine's classes some tens of MB.
constexpr std::size_t kScriptSizeLimit = 8u << 20;
constexpr std::size_t kRegistrySizeLimit = 256u << 20;
constexpr std::size_t kModuleSizeLimit = 64u << 20;

/// Whether `path` is an absolute Windows path a module can be installed at:
/// a drive (C:\...) or a share (\\server\share\...), backslashes only, no
/// character Windows refuses in a file name; otherwise `problem` says why.
bool CheckWindowsModulePath(const std::string& path, std::string* problem);

/// The device Windows reserves a file name for ("CON" for con.txt, whatever
/// the extension), or empty when `name` is none.
std::string DeviceName(const std::string& name);

}  // namespace check
