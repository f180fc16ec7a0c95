// Results and class identifiers as text: the part of the text layer that
// speaks of the platform's types (HRESULT, GUID).
#pragma once

#include <string>

#include "platform/platform.h"

namespace check {

std::string Hex32(HRESULT value);  // "0x80020009"
/// The name of a result the module answers, e.g. "DISP_E_EXCEPTION"; empty if unknown.
std::string ResultName(HRESULT value);
/// "S_OK", or "DISP_E_EXCEPTION (0x80020009)".
std::string DescribeResult(HRESULT value);
/// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case, as the module writes it.
std::string GuidString(const GUID& id);
/// A fresh random (version-4) identifier, braced; false when the system offers no randomness.
bool NewRandomGuid(std::string* braced);
/// A name-based (version-5, SHA-1) identifier derived from `text`, unbraced: always the same for it.
std::string NamedGuid(const std::string& text);

}  // namespace check
