// Emulated side of the platform seam: the few calls that stay inline so that
// hot paths cost on Linux what they cost on Windows. Everything else is
// implemented by the emulator library (src/platform/emulated).
#pragma once

namespace sys {

inline const char16_t* CallerText(const OLECHAR* text) { return text; }

inline LONG InterlockedIncrement(LONG volatile* value) {
  return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* value) {
  return __atomic_sub_fetch(value, 1, __ATOMIC_SEQ_CST);
}

}  // namespace sys
