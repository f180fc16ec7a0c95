// The text layer (text/text.h, text/identifiers.h).
#include "text/text.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>
#include <utility>

#include "package/class_identity.h"
#include "platform/emulated/text_helpers.h"
#include "text/identifiers.h"

namespace check {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

std::string HexByte(unsigned char c) { return {'\\', 'x', kHex[c >> 4], kHex[c & 15]}; }

std::uint32_t Rotate(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void Sha1(const std::string& message, unsigned char digest[20]) {
  static const std::uint32_t kRound[4] = {0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xCA62C1D6};
  std::uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  std::string m = message + '\x80' + std::string((119 - message.size() % 64) % 64, '\0');
  const std::uint64_t bits = static_cast<std::uint64_t>(message.size()) * 8;
  for (int shift = 56; shift >= 0; shift -= 8) m += static_cast<char>(bits >> shift);
  for (std::size_t block = 0; block < m.size(); block += 64) {
    std::uint32_t w[80] = {};
    for (int i = 0; i < 64; ++i) w[i / 4] = (w[i / 4] << 8) | static_cast<unsigned char>(m[block + i]);
    for (int i = 16; i < 80; ++i) w[i] = Rotate(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    std::uint32_t v[5] = {h[0], h[1], h[2], h[3], h[4]};  // a, b, c, d, e
    for (int i = 0; i < 80; ++i) {
      const std::uint32_t b = v[1], c = v[2], d = v[3];
      const std::uint32_t f = i < 20              ? (b & c) | (~b & d)
                              : i >= 40 && i < 60 ? (b & c) | (b & d) | (c & d)
                                                  : b ^ c ^ d;
      const std::uint32_t t = Rotate(v[0], 5) + f + v[4] + kRound[i / 20] + w[i];
      std::copy_backward(v, v + 4, v + 5);
      v[2] = Rotate(v[2], 30);
      v[0] = t;
    }
    for (int i = 0; i < 5; ++i) h[i] += v[i];
  }
  for (int i = 0; i < 20; ++i) digest[i] = static_cast<unsigned char>(h[i / 4] >> (24 - 8 * (i % 4)));
}

// `b`, an identifier's 16 bytes in text order, stamped with `version` and the
// standard variant, as unbraced upper-case text.
std::string StampedGuid(unsigned char b[16], int version) {
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | version << 4);
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
  std::string text;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += {kHex[b[i] >> 4], kHex[b[i] & 15]};
  }
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

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : ShowBytes(text)) {
    const char* named = c == '\t' ? "\\t" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : nullptr;
    const bool control = static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    out += named ? named : control ? HexByte(c) : std::string(1, c);
  }
  return out;
}

std::string Quoted(const std::string& text) { return "'" + Escaped(text) + "'"; }

std::string Xml(const std::string& text, std::string* problem) {
  static const char kSpecial[] = "&<>\"\t\n\r";
  static const char* const kEscaped[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&#9;", "&#10;", "&#13;"};
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
    const char* special = c ? std::strchr(kSpecial, c) : nullptr;
    out += special ? kEscaped[special - kSpecial] : text.substr(i, n);
  }
  return out;
}

Place PlaceOf(const std::string& text, std::size_t offset, std::size_t start, Place from) {
  for (std::size_t i = start, n; i < offset && i < text.size(); i += n ? n : 1) {
    n = Utf8Sequence(text, i);
    from = text[i] == '\n' ? Place{from.line + 1, 1} : Place{from.line, from.column + 1};
  }
  return from;
}

std::string Decoded(const std::string& bytes) {
  const bool le = bytes.compare(0, 2, "\xFF\xFE") == 0;
  if (!le && bytes.compare(0, 2, "\xFE\xFF") != 0) return bytes;
  std::u16string text;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    const unsigned char low = bytes[le ? i : i + 1], high = bytes[le ? i + 1 : i];
    text += static_cast<char16_t>(low | high << 8);
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

std::string ResultName(HRESULT value) {
  static const std::pair<HRESULT, const char*> kNames[] = {
      {S_OK, "S_OK"},
      {S_FALSE, "S_FALSE"},
      {E_FAIL, "E_FAIL"},
      {E_INVALIDARG, "E_INVALIDARG"},
      {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
      {E_UNEXPECTED, "E_UNEXPECTED"},
      {DISP_E_OVERFLOW, "DISP_E_OVERFLOW"},
      {DISP_E_EXCEPTION, "DISP_E_EXCEPTION"},
      {DISP_E_TYPEMISMATCH, "DISP_E_TYPEMISMATCH"},
      {CO_E_CLASSSTRING, "CO_E_CLASSSTRING"},
      {static_cast<HRESULT>(0x80070005L), "E_ACCESSDENIED"},
      {static_cast<HRESULT>(0x8007007AL), "HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)"}};
  const auto* known = std::find_if(kNames, std::end(kNames), [&](auto& k) { return k.first == value; });
  return known == std::end(kNames) ? "" : known->second;
}

std::string DescribeResult(HRESULT value) {
  const std::string name = ResultName(value);
  return value == S_OK ? name : name.empty() ? Hex32(value) : name + " (" + Hex32(value) + ")";
}

std::string Hex32(HRESULT value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(static_cast<std::uint32_t>(value)));
  return text;
}

std::string GuidString(const GUID& id) {
  char16_t text[kGuidTextCapacity];
  FormatGuid(id, text);
  return Utf8(text);
}

bool NewRandomGuid(std::string* braced) {
  unsigned char b[16];
  try {
    std::random_device source;
    for (unsigned char& byte : b) byte = static_cast<unsigned char>(source());
  } catch (...) {
    return false;
  }
  *braced = "{" + StampedGuid(b, 4) + "}";
  return true;
}

std::string NamedGuid(const std::string& text) {
  // The namespace of this tool's derived identifiers, then the text.
  static const unsigned char kSpace[16] = {0x5B, 0x2E, 0x61, 0x0C, 0x8D, 0x47, 0x4F, 0x3A,
                                           0x9B, 0x16, 0x2C, 0xE4, 0x70, 0x55, 0xA1, 0x93};
  unsigned char digest[20];
  Sha1(std::string(reinterpret_cast<const char*>(kSpace), 16) + text, digest);
  return StampedGuid(digest, 5);
}

}  // namespace check
