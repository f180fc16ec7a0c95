// Text services pinned on both targets: number parsing for DWORD values,
// keyword comparison, character stepping and UTF-8 decoding of scripts.
#include "platform_test_support.h"

namespace platform_test {
namespace {

using PlatformTextTest = PlatformTest;

TEST_F(PlatformTextTest, VarUI4FromStrParsesTheDefaultNumberForm) {
  struct Case {
    const char16_t* text;
    HRESULT result;
    ULONG value;
  };
  const Case cases[] = {
      {u"0", S_OK, 0},
      {u"4294967295", S_OK, 4294967295u},
      {u"007", S_OK, 7},
      {u" 12", S_OK, 12},
      {u"12 ", S_OK, 12},
      {u"\t12", S_OK, 12},
      {u"+12", S_OK, 12},
      {u"-0", S_OK, 0},
      {u"&H10", S_OK, 16},
      {u"&h10", S_OK, 16},
      {u"&O17", S_OK, 15},
      {u"1,000", S_OK, 1000},
      {u"1.4", S_OK, 1},
      {u"1.5", S_OK, 2},  // halves round to even
      {u"2.5", S_OK, 2},
      {u"1e3", S_OK, 1000},
      {u"-0.4", S_OK, 0},
      {u"4294967295.4", S_OK, 4294967295u},
      {u"4294967296", DISP_E_OVERFLOW, 0},
      {u"4294967295.6", DISP_E_OVERFLOW, 0},
      {u"99999999999999999999", DISP_E_OVERFLOW, 0},
      {u"-1", DISP_E_OVERFLOW, 0},
      {u"(12)", DISP_E_OVERFLOW, 0},
      {u"", DISP_E_TYPEMISMATCH, 0},
      {u"  ", DISP_E_TYPEMISMATCH, 0},
      {u"abc", DISP_E_TYPEMISMATCH, 0},
      {u"12a", DISP_E_TYPEMISMATCH, 0},
      {u"1 2", DISP_E_TYPEMISMATCH, 0},
      {u"0x10", DISP_E_TYPEMISMATCH, 0},
  };
  for (const Case& c : cases) {
    ULONG value = 0xDEADBEEF;
    EXPECT_EQ(c.result, sys::VarUI4FromStr(c.text, 0, 0, &value)) << Narrow(c.text);
    // A failed conversion leaves the output alone.
    EXPECT_EQ(SUCCEEDED(c.result) ? c.value : 0xDEADBEEF, value) << Narrow(c.text);
  }
}

TEST_F(PlatformTextTest, LstrcmpiWIgnoresCaseAndOrdersLikeWindows) {
  EXPECT_EQ(0, sys::lstrcmpiW(u"HKCR", u"hkcr"));
  EXPECT_EQ(0, sys::lstrcmpiW(u"ForceRemove", u"FORCEREMOVE"));
  EXPECT_EQ(0, sys::lstrcmpiW(u"caf\u00E9", u"CAF\u00C9"));
  EXPECT_EQ(0, sys::lstrcmpiW(u"\u00FF", u"\u0178"));
  EXPECT_EQ(-1, sys::lstrcmpiW(u"abc", u"ABD"));
  EXPECT_EQ(1, sys::lstrcmpiW(u"abd", u"abc"));
  EXPECT_EQ(-1, sys::lstrcmpiW(u"ab", u"abc"));
  EXPECT_EQ(1, sys::lstrcmpiW(u"a", u""));
  EXPECT_EQ(1, sys::lstrcmpiW(u"Z", u"a"));
  // Punctuation sorts before digits, digits before letters.
  EXPECT_EQ(-1, sys::lstrcmpiW(u"_", u"a"));
  EXPECT_EQ(-1, sys::lstrcmpiW(u"{", u"a"));
  EXPECT_EQ(-1, sys::lstrcmpiW(u"1", u"a"));
  EXPECT_NE(0, sys::lstrcmpiW(u"No-Remove", u"NoRemove"));
  // Format characters without weight are passed over: a script saved with a
  // byte-order mark still starts with its root key's name.
  EXPECT_EQ(0, sys::lstrcmpiW(u"\uFEFFHKCR", u"hkcr"));
  EXPECT_EQ(0, sys::lstrcmpiW(u"HK\u00ADCR\u200D", u"HKCR"));
  EXPECT_NE(0, sys::lstrcmpiW(u"\u0001HKCR", u"HKCR"));
  EXPECT_EQ(3, sys::lstrlenW(u"abc"));
  EXPECT_EQ(0, sys::lstrlenW(u""));
}

TEST_F(PlatformTextTest, CharNextWStepsOneUnitAndStopsAtTheEnd) {
  const char16_t text[] = u"ab";
  EXPECT_EQ(text + 1, sys::CharNextW(text));
  EXPECT_EQ(text + 2, sys::CharNextW(text + 2));
  const char16_t pair[] = u"\U0001F600x";  // a surrogate pair is two steps
  EXPECT_EQ(pair + 1, sys::CharNextW(pair));
}

std::u16string Decode(const std::string& bytes, int* result = nullptr) {
  char16_t wide[32];
  int n = sys::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), wide, 32);
  if (result) *result = n;
  return n > 0 ? std::u16string(wide, static_cast<std::size_t>(n)) : std::u16string();
}

TEST_F(PlatformTextTest, Utf8DecodingReplacesEachMalformedPiece) {
  struct Case {
    std::string bytes;
    std::u16string expected;
  };
  const Case cases[] = {
      {"caf\xC3\xA9", u"caf\u00E9"},
      {"\xEF\xBB\xBFhi", u"\uFEFFhi"},  // the byte order mark is kept as a character
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
      {"\xFF", u"\uFFFD"},
      {"a\xFFz", u"a\uFFFDz"},
      {"caf\xE9 x", u"caf\uFFFD x"},  // Latin-1 text
      {"\xE2\x82", u"\uFFFD"},        // cut short at the end
      {"\xF0\x9F\x98", u"\uFFFD"},
      {"\xE2\x82z", u"\uFFFDz"},  // cut short by an ASCII byte
      {"\xF0\x9F\x41\x42", u"\uFFFDAB"},
      {"\xE2\x82\xC0", u"\uFFFD\uFFFD"},
      {"\xC0\xAF", u"\uFFFD\uFFFD"},      // overlong two-byte form
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD"},  // overlong three-byte form
      {"\xF0\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"\xED\xA0\x80", u"\uFFFD\uFFFD"},            // an encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
      {"\x80\x80", u"\uFFFD\uFFFD"},
      {"\xF8\x88\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (unsigned char b : c.bytes) shown += " " + std::to_string(b);
    EXPECT_EQ(Narrow(c.expected), Narrow(Decode(c.bytes))) << shown;
  }
}

TEST_F(PlatformTextTest, Utf8DecodingReportsSizesAndShortBuffers) {
  EXPECT_EQ(6, sys::MultiByteToWideChar(CP_UTF8, 0, "hello", -1, nullptr, 0));  // terminator counted
  EXPECT_EQ(2, sys::MultiByteToWideChar(CP_UTF8, 0, "h\xFF", 2, nullptr, 0));
  char16_t wide[8];
  EXPECT_EQ(2, sys::MultiByteToWideChar(CP_UTF8, 0, "hi", 2, wide, 2));  // exact fit

  sys::SetLastError(0);
  EXPECT_EQ(0, sys::MultiByteToWideChar(CP_UTF8, 0, "hello", 5, wide, 3));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), sys::GetLastError());
  sys::SetLastError(0);
  EXPECT_EQ(0, sys::MultiByteToWideChar(CP_UTF8, 0, "", 0, wide, 8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), sys::GetLastError());
  sys::SetLastError(0);
  EXPECT_EQ(0, sys::MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, wide, 8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), sys::GetLastError());
}

}  // namespace
}  // namespace platform_test
