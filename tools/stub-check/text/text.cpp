// The checker's bottom layer for text: UTF-8 and UTF-16, case folding as
// Windows folds names, identifiers as text, escaping for messages and XML,
// and places (line and column) in decoded text.
#include "text/text.h"

#include <cstdint>
#include <cstdio>

#include "platform/emulated/emulator.h"

namespace check {

std::string Utf8(const std::u16string& text) { return emu::ToUtf8(text); }

std::u16string Utf16(const std::string& text) { return emu::FromUtf8(text); }

std::size_t Utf8Sequence(const std::string& b, std::size_t i) {
  const unsigned char c = static_cast<unsigned char>(b[i]);
  std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (n == 0 || c == 0xC0 || c == 0xC1 || c > 0xF4 || i + n > b.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((static_cast<unsigned char>(b[i + k]) & 0xC0) != 0x80) return 0;
  }
  const unsigned char d = n > 1 ? static_cast<unsigned char>(b[i + 1]) : 0;
  if ((c == 0xE0 && d < 0xA0) || (c == 0xF0 && d < 0x90) || (c == 0xF4 && d >= 0x90) ||
      (c == 0xED && d >= 0xA0)) {
    return 0;
  }
  return n;
}

std::string ShowBytes(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = Utf8Sequence(text, i);
    if (n) {
      out.append(text, i, n);
      i += n;
      continue;
    }
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(text[i]));
    out += escaped;
    ++i;
  }
  return out;
}

std::u16string FoldCase(const std::u16string& text) { return emu::FoldedName(text); }

std::string Lower(const std::string& text) {
  // Each run of UTF-8 folded as the registry folds names; a byte that is no
  // UTF-8 stays as it is.
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t end = i;
    for (std::size_t n; end < text.size() && (n = Utf8Sequence(text, end)) != 0;) end += n;
    if (end == i) {
      out += text[i++];
      continue;
    }
    out += Utf8(FoldCase(Utf16(text.substr(i, end - i))));
    i = end;
  }
  return out;
}

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : ShowBytes(text)) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (u < 0x20 || u == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      out += hex;
    } else {
      out += c;
    }
  }
  return out + "'";
}

// Text for an XML attribute, element or comment (export's WiX fragment, the
// assembly manifest). A tab, a line break and a carriage
// return are written as character references, so that no parser turns them
// into blanks; a character XML cannot hold at all (other control characters,
// U+FFFE, U+FFFF) or bytes that are not UTF-8 set `problem`.
std::string Xml(const std::string& text, std::string* problem) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const std::size_t n = Utf8Sequence(text, i);
    const unsigned char u = static_cast<unsigned char>(c);
    if (n == 0 || (u < 0x20 && c != '\t' && c != '\n' && c != '\r') ||
        (n == 3 && text.compare(i, 2, "\xEF\xBF") == 0 && (text[i + 2] == '\xBE' || text[i + 2] == '\xBF'))) {
      if (problem->empty()) {
        *problem = Quoted(text) + " holds " +
                   (n == 0 ? std::string("bytes that are not UTF-8") : std::string("a character XML cannot hold"));
      }
      i += n ? n : 1;
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
    i += n;
  }
  return out;
}

Place PlaceOf(const std::string& text, std::size_t offset, std::size_t start, Place from) {
  Place p = from;
  for (std::size_t i = start; i < offset && i < text.size();) {
    if (text[i] == '\n') {
      ++p.line;
      p.column = 1;
      ++i;
      continue;
    }
    const std::size_t n = Utf8Sequence(text, i);
    i += n ? n : 1;
    ++p.column;
  }
  return p;
}

std::string Decoded(const std::string& bytes) {
  const bool le = bytes.compare(0, 2, "\xFF\xFE") == 0, be = bytes.compare(0, 2, "\xFE\xFF") == 0;
  if (!le && !be) return bytes;
  std::u16string text;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    const unsigned char a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
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
