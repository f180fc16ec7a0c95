#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "registrar/script_parser.h"
#include "registrar_test_util.h"
#include "support/registry_dump.h"

namespace {

using test::Repeat;
using test::Utf8;

// Every token of `text` in brackets, then how reading ended: "<end>" when the
// failing ReadToken left the position at the terminator, "<stuck>" when it
// stopped inside the text (a token that did not fit).
std::string Tokens(const std::u16string& text, int capacity = kTokenCapacity) {
  ScriptParser parser(nullptr);
  parser.SetPosition(text.c_str());
  std::vector<char16_t> buffer(capacity);
  std::string out;
  for (;;) {
    const HRESULT hr = parser.ReadToken(buffer.data(), capacity);
    if (FAILED(hr)) {
      EXPECT_EQ(hr, DISP_E_EXCEPTION);
      return out + (*parser.Position() == 0 ? "<end>" : "<stuck>");
    }
    out += "[" + Utf8(buffer.data()) + "]";
  }
}

TEST(RegistrarTokenizer, SplitsOnBlanksOnly) {
  EXPECT_EQ(Tokens(u"HKCR {\r\n\tKey = s 'v' }"), "[HKCR][{][Key][=][s][v][}]<end>");
  EXPECT_EQ(Tokens(u"HKCR{ it's }}"), "[HKCR{][it's][}}]<end>");
  EXPECT_EQ(Tokens(u" \t\r\n  "), "<end>");
  EXPECT_EQ(Tokens(u""), "<end>");
  // Vertical tab, form feed and no-break space are token characters.
  EXPECT_EQ(Tokens(u"a\vb\fc\u00A0d e"), "[a\vb\fc\u00A0d][e]<end>");
}

TEST(RegistrarTokenizer, QuotedTokens) {
  EXPECT_EQ(Tokens(u"'it''s' '''' '' 'a b\r\nc'"), "[it's]['][][a b\r\nc]<end>");
  EXPECT_EQ(Tokens(u"'{' { 'a'b"), "[{][{][a][b]<end>");
  // An apostrophe opens a quotation only at the start of a token.
  EXPECT_EQ(Tokens(u"x'y z'"), "[x'y][z']<end>");
  // Unclosed quotations fail at the end of the text, with nothing returned.
  EXPECT_EQ(Tokens(u"ok 'abc"), "[ok]<end>");
  EXPECT_EQ(Tokens(u"ok 'abc''"), "[ok]<end>");
}

TEST(RegistrarTokenizer, TokenLengthLimit) {
  const std::u16string longest = Repeat(u"x", kTokenCapacity - 2);
  EXPECT_EQ(Tokens(longest + u" y"), "[" + Utf8(longest) + "][y]<end>");
  EXPECT_EQ(Tokens(u"'" + longest + u"'"), "[" + Utf8(longest) + "]<end>");
  EXPECT_EQ(Tokens(longest + u"x"), "<stuck>");
  EXPECT_EQ(Tokens(u"'" + longest + u"x'"), "<stuck>");
  // A doubled apostrophe counts once against the limit.
  EXPECT_EQ(Tokens(u"'" + Repeat(u"x", kTokenCapacity - 3) + u"'''"),
            "[" + Utf8(Repeat(u"x", kTokenCapacity - 3)) + "']<end>");
  // The value-name buffer: 258 units fit, 259 do not.
  EXPECT_EQ(Tokens(Repeat(u"n", 258), kValueNameCapacity), "[" + Utf8(Repeat(u"n", 258)) + "]<end>");
  EXPECT_EQ(Tokens(Repeat(u"n", 259), kValueNameCapacity), "<stuck>");
}

TEST(RegistrarTokenizer, TooLongTokenWritesNothingPastTheBuffer) {
  std::vector<char16_t> buffer(12, u'#');
  const std::u16string text = u"abcdefghijklmnop";
  ScriptParser parser(nullptr);
  parser.SetPosition(text.c_str());
  EXPECT_EQ(parser.ReadToken(buffer.data(), 10), DISP_E_EXCEPTION);
  EXPECT_EQ(std::u16string(buffer.begin(), buffer.end()), u"abcdefgh####");
}

std::string Discard(const std::u16string& first, const std::u16string& text) {
  ScriptParser parser(nullptr);
  parser.SetPosition(text.c_str());
  TokenBuffer buffer;
  std::copy(first.begin(), first.end(), buffer);
  buffer[first.size()] = 0;
  const HRESULT hr = parser.DiscardAssignment(buffer);
  if (FAILED(hr)) return hr == DISP_E_EXCEPTION ? "DISP_E_EXCEPTION" : "other failure";
  return "[" + Utf8(buffer) + "] rest \"" + Utf8(parser.Position()) + "\"";
}

TEST(RegistrarTokenizer, DiscardAssignment) {
  EXPECT_EQ(Discard(u"=", u"s 'x' } more"), "[}] rest \" more\"");
  EXPECT_EQ(Discard(u"=x", u"anything 'v' next"), "[next] rest \"\"");
  EXPECT_EQ(Discard(u"}", u"s 'x'"), "[}] rest \"s 'x'\"");
  EXPECT_EQ(Discard(u"=", u"s"), "DISP_E_EXCEPTION");
  EXPECT_EQ(Discard(u"=", u"s 'x'"), "DISP_E_EXCEPTION");
}

TEST(RegistrarTokenizer, FindChar) {
  const char16_t* text = u"ab%c%";
  EXPECT_EQ(FindChar(text, u'%'), text + 2);
  EXPECT_EQ(FindChar(u"abc", u'%'), nullptr);
  EXPECT_EQ(FindChar(nullptr, u'%'), nullptr);
}

}  // namespace

namespace {

TEST(RegistrarTokenizer, KeywordsCompareAsThePlatformDoes) {
  // Tokens of ASCII letters and digits take the quick comparison, every other
  // one the platform's; either way the answer is the platform's own.
  const char16_t* keywords[] = {u"Val",  u"NoRemove",          u"ForceRemove",          u"Delete",
                                u"HKCR", u"HKEY_CLASSES_ROOT", u"Component Categories", u"S",
                                u"D"};
  const char16_t* tokens[] = {u"val",
                              u"VAL",
                              u"Va",
                              u"Vall",
                              u"Val1",
                              u"nOrEmOvE",
                              u"delete",
                              u"HKCR",
                              u"hkcr",
                              u"HKEY_CLASSES_ROOT",
                              u"hkey_classes_root",
                              u"HKEYCLASSESROOT",
                              u"Component",
                              u"ComponentCategories",
                              u"component categories",
                              u"s",
                              u"d",
                              u"1",
                              u"",
                              u"\uFEFFVal",
                              u"V\u00E1l",
                              u"{Val}",
                              u"S\u00AD"};
  for (const char16_t* keyword : keywords) {
    for (const char16_t* token : tokens) {
      EXPECT_EQ(IsKeyword(token, keyword), sys::lstrcmpiW(token, keyword) == 0)
          << Utf8(token) << " / " << Utf8(keyword);
    }
  }
}

}  // namespace
