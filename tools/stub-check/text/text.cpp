#include "text/text.h"

#include <cstdio>

#include "platform/emulated/emulator.h"

namespace check {
namespace {

std::string HexByte(char c) {
  char text[8];
  std::snprintf(text, sizeof text, "\\x%02X", static_cast<unsigned char>(c));
  return text;
}

}  // namespace

std::string Utf8(const std::u16string& text) { return emu::ToUtf8(text); }

std::u16string Utf16(const std::string& text) { return emu::FromUtf8(text); }

std::size_t Utf8Sequence(const std::string& b, std::size_t i) {
  const unsigned char c = static_cast<unsigned char>(b[i]);
  std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (n == 0 || c == 0xC0 || c == 0xC1 || c > 0xF4 || i + n > b.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((static_cast<unsigned char>(b[i + k]) & 0xC0) != 0x80) return 0;
  }
  // Overlong forms, code points past U+10FFFF and surrogates are no UTF-8.
  const unsigned char d = n > 1 ? static_cast<unsigned char>(b[i + 1]) : 0;
  const bool bad = (c == 0xE0 && d < 0xA0) || (c == 0xF0 && d < 0x90) || (c == 0xF4 && d >= 0x90) ||
                   (c == 0xED && d >= 0xA0);
  return bad ? 0 : n;
}

std::string ShowBytes(const std::string& text) {
  std::string out;
  for (std::size_t i = 0, n; i < text.size(); i += n ? n : 1) {
    n = Utf8Sequence(text, i);
    out += n ? text.substr(i, n) : HexByte(text[i]);
  }
  return out;
}

std::u16string FoldCase(const std::u16string& text) { return emu::FoldedName(text); }

std::string Lower(const std::string& text) {
  // Character by character; a byte that is no UTF-8 stays as it is.
  std::string out;
  for (std::size_t i = 0, n; i < text.size(); i += n ? n : 1) {
    n = Utf8Sequence(text, i);
    out += n ? Utf8(FoldCase(Utf16(text.substr(i, n)))) : text.substr(i, 1);
  }
  return out;
}

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : ShowBytes(text)) {
    const char* named = c == '\t' ? "\\t" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : nullptr;
    const bool control = static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    out += named ? named : control ? HexByte(c) : std::string(1, c);
  }
  return out + "'";
}

std::string Xml(const std::string& text, std::string* problem) {
  std::string out;
  for (std::size_t i = 0, n; i < text.size(); i += n ? n : 1) {
    const char c = text[i];
    n = Utf8Sequence(text, i);
    // Other control characters, U+FFFE and U+FFFF cannot stand in XML at all.
    const bool control = static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r';
    const bool nonchar = text.compare(i, 3, "\xEF\xBF\xBE") == 0 || text.compare(i, 3, "\xEF\xBF\xBF") == 0;
    if (n == 0 || control || nonchar) {
      if (problem->empty()) {
        *problem =
            Quoted(text) + " holds " + (n ? "a character XML cannot hold" : "bytes that are not UTF-8");
      }
      continue;
    }
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\t': out += "&#9;"; break;
      case '\n': out += "&#10;"; break;
      case '\r': out += "&#13;"; break;
      default: out.append(text, i, n);
    }
  }
  return out;
}

Place PlaceOf(const std::string& text, std::size_t offset, std::size_t start, Place from) {
  Place p = from;
  for (std::size_t i = start, n; i < offset && i < text.size(); i += n ? n : 1) {
    n = Utf8Sequence(text, i);
    p = text[i] == '\n' ? Place{p.line + 1, 1} : Place{p.line, p.column + 1};
  }
  return p;
}

std::string Decoded(const std::string& bytes) {
  const bool le = bytes.compare(0, 2, "\xFF\xFE") == 0, be = bytes.compare(0, 2, "\xFE\xFF") == 0;
  if (!le && !be) return bytes;
  std::u16string text;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    const unsigned char a = static_cast<unsigned char>(bytes[i]);
    const unsigned char b = static_cast<unsigned char>(bytes[i + 1]);
    text += static_cast<char16_t>(le ? a | b << 8 : b | a << 8);
  }
  return Utf8(text);
}

std::size_t TextModeOffset(const std::string& bytes, long offset) {
  long read = 0;
  std::size_t i = 0;
  for (; i < bytes.size() && bytes[i] != '\x1A'; ++i) {
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
    if (read++ == offset) return i;
  }
  return i;
}

}  // namespace check
