// The module's holders: the one owner template (stub/unique_resource.h) with
// traits that free each kind of resource through the platform seam.
#pragma once

#include "platform/platform.h"
#include "stub/unique_resource.h"

// The owner template itself, shared with the host library: it depends on
// nothing of the platform.
using stub::CUniqueResource;

namespace resource_traits {

struct RegistryKey {
  using Pointer = HKEY;
  static LONG Free(HKEY key) { return sys::RegCloseKey(key); }
};

/// A predefined root that RegOverridePredefKey redirected; giving it back
/// restores the root's default meaning.
struct PredefinedKeyOverride {
  using Pointer = HKEY;
  static LONG Free(HKEY root) { return sys::RegOverridePredefKey(root, nullptr); }
};

template <class T>
struct TaskMemory {
  using Pointer = T*;
  static void Free(T* block) { sys::CoTaskMemFree(block); }
};

template <class T>
struct HeapMemory {
  using Pointer = T*;
  static void Free(T* block) { sys::MemFree(block); }
};

/// An object built with placement new in a heap block; its class supplies the
/// operator delete that gives the block back.
template <class T>
struct HeapObject {
  using Pointer = T*;
  static void Free(T* object) { delete object; }
};

struct File {
  using Pointer = FILE*;
  static int Free(FILE* file) { return sys::fclose(file); }
};

/// A kernel object handle (CloseHandle).
struct KernelHandle {
  using Pointer = HANDLE;
  static BOOL Free(HANDLE object) { return sys::CloseHandle(object); }
};

/// A mutex this thread owns; giving it back releases ownership, not the handle.
struct MutexOwnership {
  using Pointer = HANDLE;
  static BOOL Free(HANDLE mutex) { return sys::ReleaseMutex(mutex); }
};

template <class T>
struct Interface {
  using Pointer = T*;
  static void Free(T* object) { object->Release(); }
};

}  // namespace resource_traits

/// An open registry key (RegCloseKey).
using CUniqueKey = CUniqueResource<resource_traits::RegistryKey>;
/// A redirected predefined root (RegOverridePredefKey with no key restores it).
using CKeyOverride = CUniqueResource<resource_traits::PredefinedKeyOverride>;
/// A task-memory block (CoTaskMemFree).
template <class T>
using CTaskMemory = CUniqueResource<resource_traits::TaskMemory<T>>;
/// A module heap block (sys::MemFree).
template <class T>
using CHeapMemory = CUniqueResource<resource_traits::HeapMemory<T>>;
/// A heap object of the module (its own operator delete).
template <class T>
using CHeapObjectOwner = CUniqueResource<resource_traits::HeapObject<T>>;
/// A file opened for reading (fclose).
using CUniqueFile = CUniqueResource<resource_traits::File>;
/// An open kernel object (CloseHandle).
using CUniqueHandle = CUniqueResource<resource_traits::KernelHandle>;
/// The ownership of a mutex this thread waited for (ReleaseMutex); the handle
/// itself stays with its CUniqueHandle.
using CHeldMutex = CUniqueResource<resource_traits::MutexOwnership>;
/// One reference to a COM object (Release).
template <class T>
using CInterfacePtr = CUniqueResource<resource_traits::Interface<T>>;

/// Releases the reference a plain pointer field holds, if any, and empties the
/// field (for records whose layout is fixed, such as class-table rows).
template <class T>
void ResetInterface(T*& field) {
  CInterfacePtr<T> reference(field);
  field = nullptr;
}

/// Moves the block `block` holds to one of `bytes` (CoTaskMemRealloc), its
/// contents kept up to the smaller size; false, with `block` unchanged, when
/// there is no memory for it.
template <class T>
bool ResizeTaskMemory(CTaskMemory<T>& block, std::size_t bytes) {
  void* resized = sys::CoTaskMemRealloc(block.Get(), bytes);
  if (!resized) return false;
  block.Take();  // the old block now lives on as the resized one
  block.Reset(static_cast<T*>(resized));
  return true;
}
