// The one conversion from a Win32 error code to an HRESULT.
#pragma once

#include "platform/platform.h"

/// A Win32 code e as an HRESULT: e itself when e <= 0 (success, or a value that
/// already is an HRESULT), else 0x80070000 | (e & 0xFFFF).
inline HRESULT HResultFromWin32(LONG e) {
  if (e <= 0) return static_cast<HRESULT>(e);
  return static_cast<HRESULT>(0x80070000u | (static_cast<std::uint32_t>(e) & 0xFFFFu));
}
