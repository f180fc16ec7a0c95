// Class identifiers as text: the module's own form, and fresh (random) and
// derived (name-based, SHA-1) ones for new packages and installers.
#include <cstdint>
#include <cstdio>
#include <random>

#include "package/class_identity.h"
#include "text/identifiers.h"
#include "text/text.h"

namespace check {
namespace {

std::uint32_t Rotate(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void Sha1(const std::string& message, unsigned char digest[20]) {
  std::uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  std::string m = message;
  const std::uint64_t bits = static_cast<std::uint64_t>(message.size()) * 8;
  m += '\x80';
  while (m.size() % 64 != 56) m += '\0';
  for (int i = 7; i >= 0; --i) m += static_cast<char>((bits >> (8 * i)) & 0xFF);
  for (std::size_t block = 0; block < m.size(); block += 64) {
    std::uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
      w[i] = 0;
      for (int k = 0; k < 4; ++k) w[i] = (w[i] << 8) | static_cast<unsigned char>(m[block + 4 * i + k]);
    }
    for (int i = 16; i < 80; ++i) w[i] = Rotate(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
      std::uint32_t f, k;
      if (i < 20) {
        f = (b & c) | (~b & d);
        k = 0x5A827999;
      } else if (i < 40) {
        f = b ^ c ^ d;
        k = 0x6ED9EBA1;
      } else if (i < 60) {
        f = (b & c) | (b & d) | (c & d);
        k = 0x8F1BBCDC;
      } else {
        f = b ^ c ^ d;
        k = 0xCA62C1D6;
      }
      const std::uint32_t t = Rotate(a, 5) + f + e + k + w[i];
      e = d;
      d = c;
      c = Rotate(b, 30);
      b = a;
      a = t;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
  }
  for (int i = 0; i < 20; ++i) digest[i] = static_cast<unsigned char>(h[i / 4] >> (24 - 8 * (i % 4)));
}

}  // namespace

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

std::string GuidTextOfBytes(const unsigned char b[16]) {
  GUID id;
  id.Data1 = static_cast<std::uint32_t>(b[0]) << 24 | static_cast<std::uint32_t>(b[1]) << 16 |
             static_cast<std::uint32_t>(b[2]) << 8 | b[3];
  id.Data2 = static_cast<std::uint16_t>(b[4] << 8 | b[5]);
  id.Data3 = static_cast<std::uint16_t>(b[6] << 8 | b[7]);
  for (int i = 0; i < 8; ++i) id.Data4[i] = b[8 + i];
  return GuidString(id).substr(1, 36);
}

bool NewRandomGuid(std::string* braced) {
  unsigned char b[16];
  try {
    std::random_device source;
    for (int i = 0; i < 16; i += 4) {
      const unsigned int r = source();
      for (int k = 0; k < 4; ++k) b[i + k] = static_cast<unsigned char>(r >> (8 * k));
    }
  } catch (...) {
    return false;
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4: random
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // the standard variant
  *braced = "{" + GuidTextOfBytes(b) + "}";
  return true;
}

std::string NamedGuid(const std::string& text) {
  // The namespace of this tool's derived identifiers, then the text.
  static const unsigned char kSpace[16] = {0x5B, 0x2E, 0x61, 0x0C, 0x8D, 0x47, 0x4F, 0x3A,
                                           0x9B, 0x16, 0x2C, 0xE4, 0x70, 0x55, 0xA1, 0x93};
  unsigned char digest[20];
  Sha1(std::string(reinterpret_cast<const char*>(kSpace), 16) + text, digest);
  digest[6] = static_cast<unsigned char>((digest[6] & 0x0F) | 0x50);  // version 5: SHA-1 name
  digest[8] = static_cast<unsigned char>((digest[8] & 0x3F) | 0x80);
  return GuidTextOfBytes(digest);
}

}  // namespace check
