// The checker's calls to the file system and to its standard streams. Every
// other part keeps a path as UTF-8 text in a std::string; here, and only here,
// it becomes what the system takes: the bytes themselves on POSIX, UTF-16 on
// Windows, whose narrow calls would squeeze it through the ANSI code page and
// lose every character outside it. Includes nothing of the checker.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace check::io {

/// The path named by the UTF-8 text `utf8`.
std::filesystem::path PathOf(const std::string& utf8);
/// `path` as UTF-8 text.
std::string TextOf(const std::filesystem::path& path);
/// The last part of the UTF-8 path `utf8` ("Fjord.dll" of "Pakete\Fjord.dll" on Windows).
std::string FileName(const std::string& utf8);

/// The program's arguments as UTF-8, the program's name left out. On Windows
/// they are those of wmain, as the system holds them (UTF-16).
#ifdef _WIN32
std::vector<std::string> Arguments(int argc, wchar_t** argv);
#else
std::vector<std::string> Arguments(int argc, char** argv);
#endif

/// Opens a new file at `path` for binary writing, never over one that exists
/// (made exclusively). Null with errno set when it cannot be made.
std::FILE* CreateNewFile(const std::string& path);

/// Opens `path` for binary reading without waiting on it (a FIFO put in the
/// place of a file would block an ordinary open) and holds it to what the open
/// file itself is: null with `reason` set (the system's words, or "not a
/// regular file") when it cannot be opened or is no regular file.
std::FILE* OpenRegularFile(const std::string& path, std::string* reason);

/// Writes the UTF-8 `text` to `stream` when that is a Windows console, as the
/// console's own UTF-16 text (a console shows bytes through its code page, so
/// UTF-8 bytes would come out garbled there). False when `stream` is no
/// console (always on POSIX, whose terminals take UTF-8 bytes): the caller
/// writes the bytes then. `*ok` and `reason` tell how a console write went.
bool WriteToConsole(std::FILE* stream, const std::string& text, bool* ok, std::string* reason);

/// Writes `text` to standard error, on a console as its own text; unchecked,
/// as there is nowhere left to tell a failure.
void PrintError(const std::string& text);

}  // namespace check::io
