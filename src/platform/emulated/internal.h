// Shared internals of the emulated platform: the one lock around all emulated
// state, fault injection checks, the per-thread last error, and the registry
// operations that the emulated COM runtime performs on its own behalf.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/emulated/emulator.h"

namespace emu::detail {

/// The lock held by every emulated call while it touches emulated state. It is
/// recursive so that one emulated service may use another (the categories
/// manager writes the registry) without special unlocked variants.
std::recursive_mutex& StateLock();
using Guard = std::lock_guard<std::recursive_mutex>;

/// Counts one call of `call`; true when an armed fault fires for it, with the
/// code to report in `code`.
bool CallFails(Call call, std::int32_t* code);
/// Counts one allocation; true when an armed allocation fault fires for it.
bool AllocationFails();

void SetLastErrorCode(DWORD code);

// Per-area resets, called by emu::Reset with the state lock held.
void ResetFaults();
void ResetRegistry();
void ResetRegistryKeepingKeys();
void ResetFiles();
void ResetModules();
void ResetCom();
void ResetKernel();

// ---- Text helpers shared by the areas ----------------------------------------------------------

/// Simple case folding used for registry names, paths and lstrcmpiW: ASCII,
/// Latin-1 and the Latin Extended-A pairs map to lower case.
char16_t FoldCase(char16_t c);
bool EqualNoCase(const std::u16string& a, const std::u16string& b);
std::u16string Folded(const std::u16string& text);
/// Length of a NUL-terminated UTF-16 string; 0 for null.
std::size_t Length(const char16_t* text);

/// True when a file or folder exists at a Windows path in the emulated file system.
bool PathExists(const std::u16string& path);

// ---- Registry operations for the emulated COM runtime --------------------------------------

/// Creates the key at `path` under `root`, as RegCreateKeyExW would for a
/// caller holding full rights (read-only marks still refuse). Returns a Win32 code.
LONG CreateKeyPath(HKEY root, const std::u16string& path);
/// Sets a value on an existing or new key at `path`. Returns a Win32 code.
LONG SetValueAt(HKEY root, const std::u16string& path, const std::u16string& name, DWORD type,
                const void* data, std::size_t size);
/// Deletes the key at `path` with everything beneath it; ERROR_FILE_NOT_FOUND if missing.
LONG DeleteTreeAt(HKEY root, const std::u16string& path);
/// Reads a REG_SZ (or REG_EXPAND_SZ) value as text; false when missing or of another type.
bool ReadStringValue(HKEY root, const std::u16string& path, const std::u16string& name, std::u16string* text);

}  // namespace emu::detail
