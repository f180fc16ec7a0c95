// Where the package lies: derived from the module's own file name and nothing else.
#pragma once

#include <cstddef>

#include "platform/platform.h"

/// Module paths hold at most this many UTF-16 units, terminator included.
inline constexpr DWORD kModulePathCapacity = 260;

/// Fills `longPath` (kModulePathCapacity units) with the long form of `module`'s
/// file name, so a module reached through a short (8.3) name finds the same
/// package. When the long form cannot be had (the conversion fails or does not
/// fit), the name as the loader reports it is used. Answers false when the
/// loader's name itself does not fit (kModulePathCapacity - 1 characters at
/// most): `longPath` then holds the part that fits, terminated, which names no
/// file of the module's and must not be acted on.
bool GetModuleLongPath(HMODULE module, char16_t* longPath);

/// How many leading units of a module path `length` units long name the package
/// folder: all but the extension, the last four units (a point and three
/// letters, not examined); 0 when nothing would be left.
constexpr std::size_t PackageFolderLength(std::size_t length) { return length > 4 ? length - 4 : 0; }

/// Fills `directory` (kModulePathCapacity units) with `longPath` less its last four
/// characters (the extension, not examined) plus "\": C:\P\A.dll gives C:\P\A\.
/// Answers false, with `directory` empty, when nothing would be left before the
/// extension or `longPath` is longer than a module path can be.
bool GetPackageDirectory(const char16_t* longPath, char16_t* directory);

/// Capacity of a script path: a package directory followed by a script's name.
inline constexpr std::size_t kScriptPathCapacity = kModulePathCapacity + 16;

/// Joins `directory` and `name` into `path`, with no separator added; false,
/// with `path` unusable, if they do not fit.
bool JoinPath(const char16_t* directory, const char16_t* name, char16_t (&path)[kScriptPathCapacity]);
