// Checked writes (a full disk or a closed pipe is never taken for success), bounded reads (a
// pipe or a device is never waited on, a file past its limit never read), Windows' path rules.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace check {

/// Prints `text` on standard output; on failure says so on standard error
/// under `who` ("stub-check export") and answers false.
bool PrintChecked(const std::string& who, const std::string& text);

/// Writes `bytes` to a new file at `path` (never over one that exists); a file
/// not written, flushed and closed whole is removed again. False with `reason` set.
bool WriteNewFile(const std::string& path, const std::string& bytes, std::string* reason);

/// The whole regular file at `path` when it is at most `limit` bytes long;
/// false with `reason` set otherwise (`*tooLarge` too, when given and so).
bool ReadRegularFile(const std::string& path, std::size_t limit, std::string* bytes, std::string* reason,
                     bool* tooLarge = nullptr);

/// What the checker reads at most: a real script is a few KB, a regedit export
/// of a machine's classes some tens of MB.
constexpr std::size_t kScriptSizeLimit = 8u << 20;
constexpr std::size_t kRegistrySizeLimit = 256u << 20;
constexpr std::size_t kModuleSizeLimit = 64u << 20;

/// Whether `path` is an absolute Windows path (C:\... or \\server\share\...) a
/// module can be installed at, no part of it a device name (CheckDeviceName); otherwise `problem` says why.
bool CheckWindowsModulePath(const std::string& path, std::string* problem);

/// The device Windows reserves the file name `name` for ("CON" for con.txt), or empty.
std::string DeviceName(const std::string& name);
/// Whether `name` can name a file or folder on Windows as far as devices go: false, with `problem`
/// saying so, when Windows reserves it for a device. The one check of `new`'s names and of install paths.
bool CheckDeviceName(const std::string& name, std::string* problem);

}  // namespace check
