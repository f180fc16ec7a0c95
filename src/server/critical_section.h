// Critical-section set-up shared by the module, its class-object lock and the class factory.
#pragma once

#include "platform/platform.h"

/// Initialises `section`: S_OK, or E_OUTOFMEMORY when the system has no memory for it
/// (the section is then unusable and must be neither entered nor deleted).
inline HRESULT InitializeLock(CRITICAL_SECTION* section) {
  return sys::InitializeCriticalSection(section) ? S_OK : E_OUTOFMEMORY;
}
