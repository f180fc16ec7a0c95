#include "package/module_path.h"

#include <initializer_list>

namespace {

// Stops at the capacity, so an unterminated path reads no further than a path can be.
std::size_t BoundedLength(const char16_t* text) {
  std::size_t length = 0;
  while (length < kModulePathCapacity && text[length]) ++length;
  return length;
}

}  // namespace

bool GetModuleLongPath(HMODULE module, char16_t* longPath) {
  char16_t name[kModulePathCapacity] = {};
  // A name that fills the buffer is cut: Windows terminates it, Wine may not.
  const bool whole = sys::GetModuleFileNameW(module, name, kModulePathCapacity) < kModulePathCapacity;
  name[kModulePathCapacity - 1] = 0;
  // A failed conversion leaves the output undefined, and a long form that needs
  // more room than a module path has is no usable path; both fall back to the
  // name. A cut name is not converted: it may name another file.
  DWORD length = whole ? sys::GetLongPathNameW(name, longPath, kModulePathCapacity) : 0;
  if (length == 0 || length >= kModulePathCapacity) {
    for (std::size_t i = 0; i < kModulePathCapacity; ++i) longPath[i] = name[i];
  }
  return whole;
}

bool GetPackageDirectory(const char16_t* longPath, char16_t* directory) {
  directory[0] = 0;
  std::size_t length = BoundedLength(longPath);
  const std::size_t kept = PackageFolderLength(length);
  if (kept == 0 || length >= kModulePathCapacity) return false;
  for (std::size_t i = 0; i < kept; ++i) directory[i] = longPath[i];
  directory[kept] = u'\\';
  directory[kept + 1] = 0;
  return true;
}

bool JoinPath(const char16_t* directory, const char16_t* name, char16_t (&path)[kScriptPathCapacity]) {
  std::size_t n = 0;
  for (const char16_t* part : {directory, name}) {
    for (; *part; ++part) {
      if (n + 1 >= kScriptPathCapacity) return false;
      path[n++] = *part;
    }
  }
  path[n] = 0;
  return true;
}
