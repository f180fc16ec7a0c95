#include "text/identifiers.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>

#include "package/class_identity.h"
#include "text/text.h"

namespace check {
namespace {

std::uint32_t Rotate(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void Sha1(const std::string& message, unsigned char digest[20]) {
  static const std::uint32_t kRound[4] = {0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xCA62C1D6};
  std::uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  std::string m = message + '\x80';
  while (m.size() % 64 != 56) m += '\0';
  const std::uint64_t bits = static_cast<std::uint64_t>(message.size()) * 8;
  for (int i = 7; i >= 0; --i) m += static_cast<char>((bits >> (8 * i)) & 0xFF);
  for (std::size_t block = 0; block < m.size(); block += 64) {
    std::uint32_t w[80] = {};
    for (int i = 0; i < 64; ++i) w[i / 4] = (w[i / 4] << 8) | static_cast<unsigned char>(m[block + i]);
    for (int i = 16; i < 80; ++i) w[i] = Rotate(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    std::uint32_t v[5];  // a, b, c, d, e
    std::copy(h, h + 5, v);
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
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X", b[i]);
    text += (i == 4 || i == 6 || i == 8 || i == 10 ? "-" : "") + std::string(hex);
  }
  return text;
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
