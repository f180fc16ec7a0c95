// Kernel and user services: the thread's last error, critical sections, the
// module heap, message boxes (recorded, never shown) and the process's window
// station.
#include <cstdlib>
#include <unordered_set>
#include <vector>

#include "platform/emulated/internal.h"

namespace emu {
namespace {

thread_local DWORD lastError = 0;

struct KernelState {
  std::unordered_set<void*> heapBlocks;
  std::unordered_set<void*> criticalSections;
  std::vector<MessageBoxRecord> messageBoxes;
  bool stationVisible = true;
};

// The process's window station: a tagged value that is never dereferenced.
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

BOOL DisableThreadLibraryCalls(HMODULE module) { return TRUE; }

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
  emu::Kernel().messageBoxes.push_back(
      {owner, text ? std::u16string(text) : std::u16string(),
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

BOOL GetUserObjectInformationW(HWINSTA object, int index, void* info, DWORD length,
                               DWORD* lengthNeeded) {
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
