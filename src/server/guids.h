// Identifiers the server frame compares and creates, and the one way it compares them.
#pragma once

#include <cstring>

#include "platform/platform.h"

/// True when two identifiers are the same, byte for byte.
inline bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

/// The process-wide global interface table class: {00000323-0000-0000-C000-000000000046}
inline constexpr CLSID kStdGlobalInterfaceTableClassId = {
    0x00000323, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

/// IGlobalInterfaceTable: {00000146-0000-0000-C000-000000000046}
inline constexpr IID kGlobalInterfaceTableInterfaceId = {
    0x00000146, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
