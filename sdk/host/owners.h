// Inside the host library: the holders of what it opens (registry keys, files,
// searches, kernel objects, activation contexts, COM references), each the
// one owner template (stub/unique_resource.h) with traits over the Windows API.
#ifndef STUB_SDK_HOST_OWNERS_H
#define STUB_SDK_HOST_OWNERS_H

#include <windows.h>

#include <string>
#include <utility>

#include "stub/unique_resource.h"

namespace stub {
namespace host {
namespace detail {
namespace traits {

struct RegistryKey {
  using Pointer = HKEY;
  static LSTATUS Free(HKEY key) { return RegCloseKey(key); }
};

/// A handle of CreateFileW, which answers INVALID_HANDLE_VALUE for none.
struct File {
  using Pointer = HANDLE;
  static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
  static BOOL Free(HANDLE file) { return CloseHandle(file); }
};

/// A kernel object whose creation answers null for none (events, threads,
/// processes, jobs).
struct KernelObject {
  using Pointer = HANDLE;
  static BOOL Free(HANDLE object) { return CloseHandle(object); }
};

/// A search of FindFirstFileW, which answers INVALID_HANDLE_VALUE for none.
struct FileSearch {
  using Pointer = HANDLE;
  static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
  static BOOL Free(HANDLE search) { return FindClose(search); }
};

/// An activation context of CreateActCtxW, which answers INVALID_HANDLE_VALUE
/// for none.
struct ActivationContext {
  using Pointer = HANDLE;
  static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
  static void Free(HANDLE context) { ReleaseActCtx(context); }
};

/// A string of the system's allocator (SysFreeString).
struct SystemString {
  using Pointer = BSTR;
  static void Free(BSTR text) { SysFreeString(text); }
};

/// A block of LocalAlloc's heap (LocalFree), as CommandLineToArgvW answers.
template <class T>
struct LocalMemory {
  using Pointer = T*;
  static HLOCAL Free(T* block) { return LocalFree(block); }
};

template <class T>
struct Interface {
  using Pointer = T*;
  static ULONG Free(T* object) { return object->Release(); }
};

}  // namespace traits

/// An open registry key (RegCloseKey).
using UniqueKey = CUniqueResource<traits::RegistryKey>;
/// An open file (CloseHandle; INVALID_HANDLE_VALUE: none).
using UniqueFile = CUniqueResource<traits::File>;
/// An open kernel object (CloseHandle; null: none).
using UniqueHandle = CUniqueResource<traits::KernelObject>;
/// A directory search (FindClose; INVALID_HANDLE_VALUE: none).
using UniqueSearch = CUniqueResource<traits::FileSearch>;
/// A reference to an activation context (ReleaseActCtx; INVALID_HANDLE_VALUE: none).
using UniqueActivationContext = CUniqueResource<traits::ActivationContext>;
/// A system string (SysFreeString).
using UniqueString = CUniqueResource<traits::SystemString>;
/// A LocalAlloc block (LocalFree).
template <class T>
using UniqueLocal = CUniqueResource<traits::LocalMemory<T>>;
/// One reference to a COM object (Release).
template <class T>
using InterfacePtr = CUniqueResource<traits::Interface<T>>;

/// Opens `path` under `parent` for reading into `key`, which keeps what it
/// held where the open fails. Answers the registry's status.
inline LSTATUS OpenKey(HKEY parent, const std::wstring& path, UniqueKey& key) {
  UniqueKey opened;
  const LSTATUS status = RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, opened.Put());
  if (status != ERROR_SUCCESS) {
    opened.Take();  // whatever a failed open wrote there is no key
    return status;
  }
  key = std::move(opened);
  return status;
}

}  // namespace detail
}  // namespace host
}  // namespace stub

#endif  // STUB_SDK_HOST_OWNERS_H
