// Text conversions of the emulated platform that touch none of its state: the
// emulator's own UTF-8 and case folding, for tests and the checker's text.
#pragma once

#include <string>

#include "platform/platform.h"

namespace emu {

std::string ToUtf8(const std::u16string& text);
std::u16string FromUtf8(const std::string& text);
/// `name` as the emulated registry and file system compare names, regardless of case.
std::u16string FoldedName(const std::u16string& name);
/// The braced upper-case text form of a GUID, as Windows writes it.
std::u16string GuidText(const GUID& guid);

}  // namespace emu
