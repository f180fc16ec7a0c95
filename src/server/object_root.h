// Reference-count roots of the frame's COM objects.
//
// Objects shared between threads (the class factory) count with interlocked
// operations and carry a critical section; objects that never leave their
// creating thread (the stubs) count with plain arithmetic.
#pragma once

#include <cstring>

#include "platform/platform.h"
#include "server/critical_section.h"

/// Written into a reference count when destruction starts, so a Release reached
/// during the teardown cannot bring the count to zero a second time.
inline constexpr LONG kDestroyingRefCount = -1073741823;  // 0xC0000001

struct CSingleThreadModel {};
struct CMultiThreadModel {};

/// The reference count every frame object starts with (0).
class CObjectRootBase {
 protected:
  LONG volatile refCount_ = 0;
};

template <class ThreadModel>
class CObjectRootEx;

/// Plain counting, for objects confined to one thread.
template <>
class CObjectRootEx<CSingleThreadModel> : public CObjectRootBase {
 protected:
  LONG InternalAddRef() { return ++refCount_; }
  LONG InternalRelease() { return --refCount_; }
};

/// Interlocked counting plus a critical section that is created on demand and
/// deleted with the object (only if it was created).
template <>
class CObjectRootEx<CMultiThreadModel> : public CObjectRootBase {
 public:
  CObjectRootEx() { std::memset(&section_, 0, sizeof(section_)); }
  ~CObjectRootEx() {
    if (sectionInitialised_) {
      sectionInitialised_ = false;
      sys::DeleteCriticalSection(&section_);
    }
  }
  CObjectRootEx(const CObjectRootEx&) = delete;
  CObjectRootEx& operator=(const CObjectRootEx&) = delete;

 protected:
  LONG InternalAddRef() { return sys::InterlockedIncrement(&refCount_); }
  LONG InternalRelease() { return sys::InterlockedDecrement(&refCount_); }

  /// S_OK, or E_OUTOFMEMORY with the section left uninitialised.
  HRESULT InitializeSection() {
    HRESULT result = InitializeLock(&section_);
    if (SUCCEEDED(result)) sectionInitialised_ = true;
    return result;
  }

 private:
  CRITICAL_SECTION section_;
  bool sectionInitialised_ = false;
};
