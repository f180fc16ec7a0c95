// Kernel and user services: the thread's last error, critical sections, named
// mutexes, the environment, the module heap, message boxes (recorded, never
// shown) and the process's window station.
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <memory>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/emulated/internal.h"

namespace emu {
namespace {

thread_local DWORD lastError = 0;

// A named mutex as the kernel keeps it: whose it is, how often that thread
// took it, and the wait of the other threads. Handles share it by name.
struct NamedMutex {
  std::thread::id owner;
  int depth = 0;
  std::condition_variable_any released;
};

struct KernelState {
  std::map<std::u16string, std::shared_ptr<NamedMutex>> mutexes;  // by folded name
  std::unordered_map<HANDLE, std::shared_ptr<NamedMutex>> handles;
  std::uintptr_t nextHandle = 0x4000;
  std::map<std::u16string, std::u16string> environment;  // by folded name
  std::unordered_set<void*> heapBlocks;
  std::unordered_set<void*> criticalSections;
  std::vector<MessageBoxRecord> messageBoxes;
  bool stationVisible = true;
};

// The process's window station: a tagged value that is never dereferenced.
// ERROR_NOT_OWNER: a mutex given back by a thread that does not hold it.
constexpr DWORD kNotOwner = 288;

const HWINSTA kProcessStation = reinterpret_cast<HWINSTA>(static_cast<std::uintptr_t>(0x5740));

KernelState& Kernel() {
  static KernelState state;
  return state;
}

}  // namespace

namespace detail {

void SetLastErrorCode(DWORD code) { lastError = code; }

void ResetKernel() { Kernel() = KernelState(); }

}  // namespace detail

int LiveHeapBlocks() {
  detail::Guard guard(detail::StateLock());
  return static_cast<int>(Kernel().heapBlocks.size());
}

int OpenKernelHandles() {
  detail::Guard guard(detail::StateLock());
  return static_cast<int>(Kernel().handles.size());
}

void SetEnvironmentVariable(const std::u16string& name, const std::u16string& value) {
  detail::Guard guard(detail::StateLock());
  Kernel().environment[detail::Folded(name)] = value;
}

int LiveCriticalSections() {
  detail::Guard guard(detail::StateLock());
  return static_cast<int>(Kernel().criticalSections.size());
}

const std::vector<MessageBoxRecord>& MessageBoxes() {
  detail::Guard guard(detail::StateLock());
  return Kernel().messageBoxes;
}

void SetWindowStationVisible(bool visible) {
  detail::Guard guard(detail::StateLock());
  Kernel().stationVisible = visible;
}

}  // namespace emu

namespace sys {

DWORD GetLastError() { return emu::lastError; }
void SetLastError(DWORD code) { emu::lastError = code; }

BOOL DisableThreadLibraryCalls(HMODULE /*module*/) { return TRUE; }

bool InitializeCriticalSection(CRITICAL_SECTION* section) {
  std::int32_t code = 0;
  if (emu::detail::CallFails(emu::Call::InitializeCriticalSection, &code)) {
    emu::detail::SetLastErrorCode(static_cast<DWORD>(code));
    return false;
  }
  auto* mutex = new std::recursive_mutex;
  section->impl = mutex;
  emu::detail::Guard guard(emu::detail::StateLock());
  emu::Kernel().criticalSections.insert(mutex);
  return true;
}

void EnterCriticalSection(CRITICAL_SECTION* section) {
  static_cast<std::recursive_mutex*>(section->impl)->lock();
}

void LeaveCriticalSection(CRITICAL_SECTION* section) {
  static_cast<std::recursive_mutex*>(section->impl)->unlock();
}

void DeleteCriticalSection(CRITICAL_SECTION* section) {
  auto* mutex = static_cast<std::recursive_mutex*>(section->impl);
  if (!mutex) return;
  {
    emu::detail::Guard guard(emu::detail::StateLock());
    emu::Kernel().criticalSections.erase(mutex);
  }
  delete mutex;
  section->impl = nullptr;
}

HANDLE CreateMutexW(SECURITY_ATTRIBUTES*, BOOL initialOwner, const char16_t* name) {
  std::int32_t code = 0;
  if (emu::detail::CallFails(emu::Call::CreateMutexW, &code)) {
    emu::detail::SetLastErrorCode(static_cast<DWORD>(code));
    return nullptr;
  }
  emu::detail::Guard guard(emu::detail::StateLock());
  emu::KernelState& kernel = emu::Kernel();
  std::shared_ptr<emu::NamedMutex> mutex;
  DWORD error = ERROR_SUCCESS;
  if (name && *name) {
    auto& named = kernel.mutexes[emu::detail::Folded(name)];
    if (named)
      error = ERROR_ALREADY_EXISTS;
    else
      named = std::make_shared<emu::NamedMutex>();
    mutex = named;
  } else {
    mutex = std::make_shared<emu::NamedMutex>();
  }
  if (initialOwner && mutex->depth == 0) {
    mutex->owner = std::this_thread::get_id();
    mutex->depth = 1;
  }
  HANDLE handle = reinterpret_cast<HANDLE>(kernel.nextHandle += 4);
  kernel.handles[handle] = mutex;
  emu::detail::SetLastErrorCode(error);
  return handle;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  std::unique_lock<std::recursive_mutex> lock(emu::detail::StateLock());
  auto found = emu::Kernel().handles.find(object);
  if (found == emu::Kernel().handles.end()) {
    emu::detail::SetLastErrorCode(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  std::shared_ptr<emu::NamedMutex> mutex = found->second;
  const auto self = std::this_thread::get_id();
  const auto free = [&] { return mutex->depth == 0 || mutex->owner == self; };
  if (milliseconds == INFINITE) {
    mutex->released.wait(lock, free);
  } else if (!mutex->released.wait_for(lock, std::chrono::milliseconds(milliseconds), free)) {
    return WAIT_TIMEOUT;
  }
  mutex->owner = self;
  ++mutex->depth;
  return WAIT_OBJECT_0;
}

BOOL ReleaseMutex(HANDLE object) {
  emu::detail::Guard guard(emu::detail::StateLock());
  auto found = emu::Kernel().handles.find(object);
  if (found == emu::Kernel().handles.end() || found->second->depth == 0 ||
      found->second->owner != std::this_thread::get_id()) {
    emu::detail::SetLastErrorCode(found == emu::Kernel().handles.end() ? ERROR_INVALID_HANDLE
                                                                       : emu::kNotOwner);
    return FALSE;
  }
  if (--found->second->depth == 0) found->second->released.notify_all();
  return TRUE;
}

BOOL CloseHandle(HANDLE object) {
  emu::detail::Guard guard(emu::detail::StateLock());
  if (emu::Kernel().handles.erase(object) == 0) {
    emu::detail::SetLastErrorCode(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

DWORD ExpandEnvironmentStringsW(const char16_t* text, char16_t* buffer, DWORD size) {
  emu::detail::Guard guard(emu::detail::StateLock());
  const std::u16string in = text ? std::u16string(text) : std::u16string();
  std::u16string out;
  for (std::size_t i = 0; i < in.size();) {
    const std::size_t close = in[i] == u'%' ? in.find(u'%', i + 1) : std::u16string::npos;
    const auto value =
        close == std::u16string::npos
            ? emu::Kernel().environment.end()
            : emu::Kernel().environment.find(emu::detail::Folded(in.substr(i + 1, close - i - 1)));
    if (value == emu::Kernel().environment.end()) {
      out += in[i++];
      continue;
    }
    out += value->second;
    i = close + 1;
  }
  const DWORD needed = static_cast<DWORD>(out.size() + 1);
  if (buffer && size >= needed) std::copy(out.c_str(), out.c_str() + needed, buffer);
  return needed;
}

void* MemAlloc(std::size_t bytes) {
  if (emu::detail::AllocationFails()) return nullptr;
  void* block = std::malloc(bytes ? bytes : 1);
  if (!block) return nullptr;
  emu::detail::Guard guard(emu::detail::StateLock());
  emu::Kernel().heapBlocks.insert(block);
  return block;
}

void MemFree(void* block) {
  if (!block) return;
  {
    emu::detail::Guard guard(emu::detail::StateLock());
    emu::Kernel().heapBlocks.erase(block);
  }
  std::free(block);
}

int MessageBoxW(HWND owner, const char16_t* text, const char16_t* caption, UINT type) {
  emu::detail::Guard guard(emu::detail::StateLock());
  emu::Kernel().messageBoxes.push_back({owner, text ? std::u16string(text) : std::u16string(),
                                        caption ? std::u16string(caption) : std::u16string(), type});
  return 1;  // IDOK: the only button the module ever shows
}

HWINSTA GetProcessWindowStation() {
  std::int32_t code = 0;
  if (emu::detail::CallFails(emu::Call::GetProcessWindowStation, &code)) {
    emu::detail::SetLastErrorCode(static_cast<DWORD>(code));
    return nullptr;
  }
  return emu::kProcessStation;
}

BOOL GetUserObjectInformationW(HWINSTA object, int index, void* info, DWORD length, DWORD* lengthNeeded) {
  std::int32_t code = 0;
  if (emu::detail::CallFails(emu::Call::GetUserObjectInformationW, &code)) {
    emu::detail::SetLastErrorCode(static_cast<DWORD>(code));
    return FALSE;
  }
  DWORD status = ERROR_SUCCESS;
  if (object != emu::kProcessStation) {
    status = ERROR_INVALID_HANDLE;
  } else if (index != UOI_FLAGS) {
    status = ERROR_INVALID_PARAMETER;
  } else {
    if (lengthNeeded) *lengthNeeded = sizeof(USEROBJECTFLAGS);
    if (!info || length < sizeof(USEROBJECTFLAGS)) status = ERROR_INSUFFICIENT_BUFFER;
  }
  if (status != ERROR_SUCCESS) {
    emu::detail::SetLastErrorCode(status);
    return FALSE;
  }
  emu::detail::Guard guard(emu::detail::StateLock());
  USEROBJECTFLAGS flags = {FALSE, FALSE, emu::Kernel().stationVisible ? DWORD{WSF_VISIBLE} : 0};
  *static_cast<USEROBJECTFLAGS*>(info) = flags;
  return TRUE;
}

}  // namespace sys
