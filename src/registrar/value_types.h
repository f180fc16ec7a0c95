// The type letters of a value assignment ("= S 'text'", "= D 1", ...).
#pragma once

#include <cstdint>

#include "registrar/script_grammar.h"

/// The conversion code of a one-letter type token (any letter case); false
/// for every other token ("SZ" and "dword" included).
bool LookupValueType(const char16_t* token, std::uint16_t* code);

/// 0 to 15 for a hexadecimal digit; 0 for every other character.
int HexDigitValue(char16_t c);
