// Whose class a registered class key is: removal asks before it deletes one,
// so that a package whose scripts name another package's classes never takes
// that package's registration with it.
#pragma once

#include "platform/platform.h"

/// Who the registry says serves a class now.
enum class ClassServer {
  kNone,         // no server named (no key, no value, an empty or non-text value)
  kThisModule,   // the module file at the path asked about
  kOtherModule,  // any other file
};

/// Reads the default value of HKEY_CLASSES_ROOT\CLSID\{classId}\InprocServer32
/// and compares the file it names with `moduleLongPath`, without regard to
/// case: as written (quotes and blanks around it dropped, environment
/// references expanded for REG_EXPAND_SZ), then in the loader's full form
/// (trailing dots and blanks dropped), then in its long form. A key that
/// cannot be read names no server; a value that cannot be read whole, or is
/// longer than any path, names another module.
ClassServer FindClassServer(const GUID& classId, const char16_t* moduleLongPath);
