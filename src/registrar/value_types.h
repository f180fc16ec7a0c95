// The type letters of a value assignment ("= S 'text'", "= D 1", ...).
#pragma once

#include <cstdint>

/// Conversion codes of the type letters (the automation variant-type numbers
/// VT_BSTR, VT_BYREF | VT_BSTR, VT_UI4 and VT_UI1).
constexpr std::uint16_t kValueTypeString = 8;          // "S": REG_SZ
constexpr std::uint16_t kValueTypeMultiString = 0x4008;  // "M": REG_MULTI_SZ
constexpr std::uint16_t kValueTypeNumber = 19;         // "D": REG_DWORD
constexpr std::uint16_t kValueTypeBytes = 17;          // "B": REG_BINARY

/// The conversion code of a one-letter type token (any letter case); false
/// for every other token ("SZ" and "dword" included).
bool LookupValueType(const char16_t* token, std::uint16_t* code);

/// 0 to 15 for a hexadecimal digit; 0 for every other character.
int HexDigitValue(char16_t c);
