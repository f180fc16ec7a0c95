// Text services: case-insensitive comparison, character stepping, UTF-8
// decoding and the automation string-to-number conversion, each behaving as
// the Windows calls do on the inputs the module gives them.
#include <cstring>
#include <string>

#include "platform/emulated/internal.h"

namespace emu {
namespace detail {

namespace {

// Capital/small pairs that sit next to each other, the capital at an even
// (or odd) code point.
char16_t FoldPair(char16_t c, bool capitalIsEven) {
  return (c % 2 == 0) == capitalIsEven ? static_cast<char16_t>(c + 1) : c;
}

// The scripts after Latin Extended-A whose letters Windows also matches
// without regard to case (key names, lstrcmpiW): Latin Extended-B and
// Additional, Greek, Cyrillic, Armenian, Roman numerals, circled and
// full-width letters. Scripts without case, and the irregular rest, fold to
// themselves.
char16_t FoldBeyondLatin(char16_t c) {
  if (c < 0x1CD) return c;
  if (c <= 0x1DC) return FoldPair(c, /*capitalIsEven=*/false);
  if (c >= 0x1DE && c <= 0x1EF) return FoldPair(c, true);
  if ((c >= 0x1F8 && c <= 0x21F) || (c >= 0x222 && c <= 0x233)) return FoldPair(c, true);
  if (c == 0x386) return 0x3AC;
  if (c >= 0x388 && c <= 0x38A) return static_cast<char16_t>(c + 0x25);
  if (c == 0x38C) return 0x3CC;
  if (c == 0x38E || c == 0x38F) return static_cast<char16_t>(c + 0x3F);
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return static_cast<char16_t>(c + 0x20);
  if (c >= 0x3D8 && c <= 0x3EF) return FoldPair(c, true);
  if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 0x50);
  if (c >= 0x410 && c <= 0x42F) return static_cast<char16_t>(c + 0x20);
  if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF)) return FoldPair(c, true);
  if (c == 0x4C0) return 0x4CF;
  if (c >= 0x4C1 && c <= 0x4CE) return FoldPair(c, false);
  if (c >= 0x4D0 && c <= 0x52F) return FoldPair(c, true);
  if (c >= 0x531 && c <= 0x556) return static_cast<char16_t>(c + 0x30);
  if ((c >= 0x1E00 && c <= 0x1E95) || (c >= 0x1EA0 && c <= 0x1EFF)) return FoldPair(c, true);
  if (c >= 0x2160 && c <= 0x216F) return static_cast<char16_t>(c + 0x10);
  if (c >= 0x24B6 && c <= 0x24CF) return static_cast<char16_t>(c + 0x1A);
  if (c >= 0xFF21 && c <= 0xFF3A) return static_cast<char16_t>(c + 0x20);
  return c;
}

}  // namespace

char16_t FoldCase(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 0x20);
  if (c < 0xC0) return c;
  // Latin-1 capitals, except the multiplication sign.
  if (c <= 0xDE) return c == 0xD7 ? c : static_cast<char16_t>(c + 0x20);
  if (c == 0x178) return 0xFF;  // Y with diaeresis: its small form is in Latin-1
  // Latin Extended-A: capitals at even code points from U+0100 to U+0137 and
  // from U+014A to U+0177, at odd ones from U+0139 to U+0148 and U+0179 to U+017E.
  if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) {
    return (c % 2 == 0) ? static_cast<char16_t>(c + 1) : c;
  }
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) {
    return (c % 2 == 1) ? static_cast<char16_t>(c + 1) : c;
  }
  return FoldBeyondLatin(c);
}

bool EqualNoCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

std::u16string Folded(const std::u16string& text) {
  std::u16string folded(text);
  for (char16_t& c : folded) c = FoldCase(c);
  return folded;
}

std::size_t Length(const char16_t* text) {
  std::size_t n = 0;
  if (text) {
    while (text[n]) ++n;
  }
  return n;
}

}  // namespace detail

namespace {

// Format characters that lstrcmpiW ignores: the byte-order mark (zero-width
// no-break space), the zero-width joiners, the soft hyphen and the word joiner.
bool WithoutWeight(char16_t c) {
  return c == 0xFEFF || c == 0x200C || c == 0x200D || c == 0x00AD || c == 0x2060;
}

// Ordering weight for lstrcmpiW. Windows compares linguistically: punctuation
// and symbols sort before digits, digits before letters. This keeps that
// coarse order (enough for sorting identifiers the way Windows does) and
// compares ordinally within each group after folding case.
unsigned Weight(char16_t c) {
  char16_t f = detail::FoldCase(c);
  if (f >= u'a' && f <= u'z') return 0x20000u + f;
  if (f >= u'0' && f <= u'9') return 0x10000u + f;
  if (f < 0x80) return f;
  return 0x30000u + f;
}

}  // namespace

std::u16string FoldedName(const std::u16string& name) { return detail::Folded(name); }

std::string ToUtf8(const std::u16string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

namespace {

bool IsContinuation(unsigned char b) { return b >= 0x80 && b <= 0xBF; }

// Decodes UTF-8 the way Windows does for CP_UTF8 without flags: each malformed
// piece becomes one U+FFFD. A lead byte followed by a continuation byte that
// the lead does not allow (overlong forms, surrogates, beyond U+10FFFF) is one
// malformed piece of two bytes; a sequence cut short by a byte that is not a
// continuation ends before that byte, which is then decoded on its own.
// Decodes into `out`, which has room for `count` units (every byte gives at
// most one unit; a 4-byte sequence gives 2); answers the units written.
std::size_t DecodeUtf8Into(const unsigned char* bytes, std::size_t count, char16_t* out) {
  std::size_t n = 0;
  std::size_t i = 0;
  while (i < count) {
    unsigned char lead = bytes[i];
    if (lead < 0x80) {
      out[n++] = static_cast<char16_t>(lead);
      ++i;
      continue;
    }
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      out[n++] = u'\xFFFD';  // stray continuation byte or a byte no sequence starts with
      ++i;
      continue;
    }
    std::size_t taken = 1;
    while (taken < length && i + taken < count && IsContinuation(bytes[i + taken])) {
      if (taken == 1 && (bytes[i + 1] < low || bytes[i + 1] > high)) {
        taken = 2;
        break;
      }
      ++taken;
    }
    if (taken < length || (bytes[i + 1] < low || bytes[i + 1] > high)) {
      out[n++] = u'\xFFFD';
      i += taken;
      continue;
    }
    std::uint32_t code = lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) code = (code << 6) | (bytes[i + k] & 0x3F);
    if (code >= 0x10000) {
      code -= 0x10000;
      out[n++] = static_cast<char16_t>(0xD800 + (code >> 10));
      out[n++] = static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
      out[n++] = static_cast<char16_t>(code);
    }
    i += length;
  }
  return n;
}

std::u16string DecodeUtf8(const unsigned char* bytes, std::size_t count) {
  std::u16string out(count, u'\0');
  out.resize(DecodeUtf8Into(bytes, count, out.data()));
  return out;
}

}  // namespace

std::u16string FromUtf8(const std::string& text) {
  return DecodeUtf8(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

}  // namespace emu

namespace sys {

int lstrcmpiW(const char16_t* a, const char16_t* b) {
  static const char16_t kEmpty[] = u"";
  if (!a) a = kEmpty;
  if (!b) b = kEmpty;
  for (;; ++a, ++b) {
    // Characters without weight in a linguistic comparison are passed over, so
    // a byte-order mark before a script's first word does not change the word.
    while (emu::WithoutWeight(*a)) ++a;
    while (emu::WithoutWeight(*b)) ++b;
    unsigned wa = *a ? emu::Weight(*a) : 0, wb = *b ? emu::Weight(*b) : 0;
    if (wa != wb) return wa < wb ? -1 : 1;
    if (!*a) return 0;
  }
}

int lstrlenW(const char16_t* s) { return static_cast<int>(emu::detail::Length(s)); }

const char16_t* CharNextW(const char16_t* position) {
  // One code unit at a time, and never past the terminator.
  return *position ? position + 1 : position;
}

int MultiByteToWideChar(UINT codePage, DWORD /*flags*/, const char* bytes, int byteCount, char16_t* wide,
                        int wideCount) {
  std::int32_t code = 0;
  if (emu::detail::CallFails(emu::Call::MultiByteToWideChar, &code)) {
    emu::detail::SetLastErrorCode(static_cast<DWORD>(code));
    return 0;
  }
  if (codePage != CP_UTF8 || !bytes || byteCount == 0 || byteCount < -1 || wideCount < 0 ||
      (wideCount > 0 && !wide)) {
    emu::detail::SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::size_t count = byteCount == -1 ? std::strlen(bytes) + 1 : static_cast<std::size_t>(byteCount);
  const auto* source = reinterpret_cast<const unsigned char*>(bytes);
  if (static_cast<std::size_t>(wideCount) >= count) {
    // Room for the worst case: decoded in place, as a large script is not held twice.
    return static_cast<int>(emu::DecodeUtf8Into(source, count, wide));
  }
  std::u16string decoded = emu::DecodeUtf8(source, count);
  if (wideCount == 0) return static_cast<int>(decoded.size());
  if (decoded.size() > static_cast<std::size_t>(wideCount)) {
    // Nothing useful is returned for a short buffer: a truncated result (or half
    // of a surrogate pair) would look like a complete conversion.
    emu::detail::SetLastErrorCode(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(wide, decoded.data(), decoded.size() * sizeof(char16_t));
  return static_cast<int>(decoded.size());
}

namespace {

bool IsBlank(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

int HexDigit(char16_t c) {
  if (IsDigit(c)) return c - u'0';
  char16_t f = emu::detail::FoldCase(c);
  if (f >= u'a' && f <= u'f') return f - u'a' + 10;
  return -1;
}

// Parses "&H..." or "&O..." after the ampersand marker. The value must fit in
// 32 bits.
HRESULT ParseRadix(const char16_t* p, unsigned radix, ULONG* out) {
  std::uint64_t value = 0;
  int digits = 0;
  for (; *p; ++p, ++digits) {
    int d = HexDigit(*p);
    if (d < 0 || static_cast<unsigned>(d) >= radix) break;
    value = value * radix + static_cast<unsigned>(d);
    if (value > 0xFFFFFFFFull) return DISP_E_OVERFLOW;
  }
  while (IsBlank(*p)) ++p;
  if (digits == 0 || *p) return DISP_E_TYPEMISMATCH;
  *out = static_cast<ULONG>(value);
  return S_OK;
}

}  // namespace

HRESULT VarUI4FromStr(const char16_t* text, LCID /*locale*/, ULONG /*flags*/, ULONG* out) {
  std::int32_t code = 0;
  if (emu::detail::CallFails(emu::Call::VarUI4FromStr, &code)) return code;
  if (!out) return E_INVALIDARG;
  if (!text) return DISP_E_TYPEMISMATCH;
  const char16_t* p = text;
  while (IsBlank(*p)) ++p;
  if (*p == u'&') {
    char16_t kind = emu::detail::FoldCase(p[1]);
    if (kind == u'h') return ParseRadix(p + 2, 16, out);
    if (kind == u'o') return ParseRadix(p + 2, 8, out);
    return DISP_E_TYPEMISMATCH;
  }
  // Number form of the default locale: optional currency sign, a sign or
  // parentheses (negative), digits with thousands separators, a decimal
  // point, an exponent; blanks around it.
  if (*p == u'$') ++p;
  bool negative = false, parenthesised = false;
  if (*p == u'+' || *p == u'-') {
    negative = *p == u'-';
    ++p;
  } else if (*p == u'(') {
    negative = parenthesised = true;
    ++p;
  }
  if (*p == u'$') ++p;
  std::string digits;  // significant digits, integer and fraction together
  bool seenPoint = false;
  long pointPosition = 0;  // digits before the point (negative: zeros after it)
  bool any = false;
  for (;; ++p) {
    if (IsDigit(*p)) {
      any = true;
      if (!(digits.empty() && *p == u'0'))
        digits += static_cast<char>(*p);
      else if (seenPoint)
        --pointPosition;  // a leading zero after the point
    } else if (*p == u',' && any && !seenPoint) {
      continue;
    } else if (*p == u'.' && !seenPoint) {
      seenPoint = true;
      pointPosition = static_cast<long>(digits.size());
    } else {
      break;
    }
  }
  if (!any) return DISP_E_TYPEMISMATCH;
  long exponent = 0;
  if (*p == u'e' || *p == u'E') {
    ++p;
    bool negativeExponent = false;
    if (*p == u'+' || *p == u'-') negativeExponent = *p++ == u'-';
    if (!IsDigit(*p)) return DISP_E_TYPEMISMATCH;
    for (; IsDigit(*p); ++p) {
      if (exponent < 100000) exponent = exponent * 10 + (*p - u'0');
    }
    if (negativeExponent) exponent = -exponent;
  }
  if (parenthesised) {
    if (*p != u')') return DISP_E_TYPEMISMATCH;
    ++p;
  }
  while (IsBlank(*p)) ++p;
  if (*p) return DISP_E_TYPEMISMATCH;

  // value = 0.digits × 10^(integerDigits); split into integer part and fraction.
  long integerDigits = (seenPoint ? pointPosition : static_cast<long>(digits.size())) + exponent;
  std::string integerPart, fraction;
  if (integerDigits <= 0) {
    fraction = std::string(static_cast<std::size_t>(-integerDigits < 20 ? -integerDigits : 20), '0') + digits;
  } else if (static_cast<std::size_t>(integerDigits) >= digits.size()) {
    if (integerDigits > 20) return DISP_E_OVERFLOW;
    integerPart = digits + std::string(static_cast<std::size_t>(integerDigits) - digits.size(), '0');
  } else {
    integerPart = digits.substr(0, static_cast<std::size_t>(integerDigits));
    fraction = digits.substr(static_cast<std::size_t>(integerDigits));
  }
  if (integerPart.size() > 10) return DISP_E_OVERFLOW;
  std::uint64_t value = 0;
  for (char c : integerPart) value = value * 10 + static_cast<unsigned>(c - '0');
  // Round half to even, as the automation conversions do.
  if (!fraction.empty() && fraction[0] >= '5') {
    bool exactHalf = fraction[0] == '5' && fraction.find_first_not_of('0', 1) == std::string::npos;
    if (!exactHalf || (value & 1)) ++value;
  }
  if (value == 0) {
    *out = 0;
    return S_OK;
  }
  if (negative || value > 0xFFFFFFFFull) return DISP_E_OVERFLOW;
  *out = static_cast<ULONG>(value);
  return S_OK;
}

}  // namespace sys
