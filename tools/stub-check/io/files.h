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

}  // namespace check::io
