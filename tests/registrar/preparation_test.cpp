#include <gtest/gtest.h>

#include <string>

#include "registrar/registrar.h"
#include "registrar/script_parser.h"
#include "registrar/text_buffer.h"
#include "registrar_test_util.h"
#include "support/registry_dump.h"
#include "support/registry_sandbox.h"

namespace {

using test::Repeat;
using test::Utf8;

// The prepared text, or the failure as "FAILED 0x........".
std::string Prepare(CRegistrar& registrar, const std::u16string& text) {
  ScriptParser parser(&registrar);
  char16_t* out = reinterpret_cast<char16_t*>(1);
  const HRESULT hr = parser.ExpandReplacements(text.c_str(), &out);
  if (FAILED(hr)) {
    EXPECT_EQ(out, nullptr);
    char code[32];
    std::snprintf(code, sizeof(code), "FAILED 0x%08x", static_cast<unsigned>(hr));
    return code;
  }
  std::string prepared = Utf8(out);
  sys::CoTaskMemFree(out);
  return prepared;
}

std::string Prepare(const std::u16string& text, const std::u16string& module = u"C:\\M.dll") {
  CRegistrar registrar;
  EXPECT_EQ(registrar.DefineReplacement(u"Module", module.c_str()), S_OK);
  return Prepare(registrar, text);
}

TEST(RegistrarPreparation, ReplacesNamesAndPercentPairs) {
  EXPECT_EQ(Prepare(u"%Module% %module% %MODULE%"), "C:\\M.dll C:\\M.dll C:\\M.dll");
  EXPECT_EQ(Prepare(u"100%% %%%% x"), "100% %% x");
  EXPECT_EQ(Prepare(u""), "");
  // Values are not scanned again.
  EXPECT_EQ(Prepare(u"[%Module%]", u"%Module%"), "[%Module%]");
}

TEST(RegistrarPreparation, MalformedReferences) {
  EXPECT_EQ(Prepare(u"abc %"), "FAILED 0x80020009");
  EXPECT_EQ(Prepare(u"%Module"), "FAILED 0x80020009");
  EXPECT_EQ(Prepare(u"'%Undefined%'"), "FAILED 0x80020009");
  // A stray percent sign pairs with the next one, across lines.
  CRegistrar registrar;
  ASSERT_EQ(registrar.DefineReplacement(u" a\r\nb ", u"X"), S_OK);
  EXPECT_EQ(Prepare(registrar, u"1% a\r\nb %2"), "1X2");
}

TEST(RegistrarPreparation, NameLengthLimit) {
  CRegistrar registrar;
  const std::u16string name31 = Repeat(u"n", 31);
  const std::u16string name32 = Repeat(u"n", 32);
  ASSERT_EQ(registrar.DefineReplacement(name31.c_str(), u"v31"), S_OK);
  ASSERT_EQ(registrar.DefineReplacement(name32.c_str(), u"v32"), S_OK);
  EXPECT_EQ(Prepare(registrar, u"%" + name31 + u"%"), "v31");
  EXPECT_EQ(Prepare(registrar, u"%" + name32 + u"%"), "FAILED 0x80004005");
  EXPECT_EQ(Prepare(registrar, u"%" + Repeat(u"q", 32) + u"%"), "FAILED 0x80004005");
}

TEST(RegistrarPreparation, ApostrophesInValuesStayInsideTheirToken) {
  const std::u16string obrien = u"C:\\Users\\O'Brien\\Stub.dll";
  EXPECT_EQ(Prepare(u"@ = s '%Module%'", obrien), "@ = s 'C:\\Users\\O''Brien\\Stub.dll'");
  EXPECT_EQ(Prepare(u"'a''%Module%''b' x", u"'"), "'a''''''b' x");
  // Outside a quotation the value goes in verbatim.
  EXPECT_EQ(Prepare(u"s %Module% 'q'", u"it's"), "s it's 'q'");
  // After a closed quotation the next token starts outside it again.
  EXPECT_EQ(Prepare(u"'a' %Module% '%Module%'", u"x'y"), "'a' x'y 'x''y'");
  EXPECT_EQ(Prepare(u"'a'%Module%", u"x'y"), "'a'x'y");
}

TEST(RegistrarPreparation, TextBufferCapacity) {
  EXPECT_EQ(TextBuffer(98).Capacity(), 1000);
  EXPECT_EQ(TextBuffer(100).Capacity(), 100);
  TextBuffer buffer(100);
  ASSERT_NE(buffer.Data(), nullptr);
  const std::u16string text = Repeat(u"a", 98);
  ASSERT_TRUE(buffer.AppendChars(text.c_str(), 98));
  EXPECT_EQ(buffer.Capacity(), 100);  // 98 + terminator still leaves one spare
  ASSERT_TRUE(buffer.AppendChars(u"b", 1));
  EXPECT_EQ(buffer.Capacity(), 200);  // 99 + terminator would fill it exactly
  EXPECT_EQ(Utf8(buffer.Data()), Utf8(text) + "b");
  EXPECT_FALSE(buffer.AppendText(nullptr));
  EXPECT_FALSE(buffer.AppendChars(u"x", 0x7FFFFFFF));
  EXPECT_EQ(buffer.Length(), 99);
}

TEST(RegistrarPreparation, LongScriptsGrowTheirBuffer) {
  // 49 characters start with 1000, 50 with 100; both grow past a long value.
  const std::u16string value = Repeat(u"v", 300);
  const std::u16string text49 = u"%Module%" + Repeat(u"x", 41);
  EXPECT_EQ(Prepare(text49, value), Utf8(value + Repeat(u"x", 41)));
  EXPECT_EQ(Prepare(text49 + u"y", value), Utf8(value + Repeat(u"x", 41) + u"y"));
}

TEST(RegistrarReplacements, DefineLookupReset) {
  CRegistrar registrar;
  EXPECT_EQ(registrar.DefineReplacement(nullptr, u"v"), E_INVALIDARG);
  EXPECT_EQ(registrar.DefineReplacement(u"n", nullptr), E_INVALIDARG);
  ASSERT_EQ(registrar.DefineReplacement(u"Module", u"first"), S_OK);
  ASSERT_EQ(registrar.DefineReplacement(u"MODULE", u"second"), S_OK);
  EXPECT_EQ(registrar.Replacements().Count(), 2);
  EXPECT_EQ(Prepare(registrar, u"%module%"), "first");
  EXPECT_EQ(registrar.ResetReplacements(), S_OK);
  EXPECT_EQ(registrar.Replacements().Count(), 0);
  EXPECT_EQ(Prepare(registrar, u"%module%"), "FAILED 0x80020009");
  ASSERT_EQ(registrar.DefineReplacement(u"Module", u"again"), S_OK);
  EXPECT_EQ(Prepare(registrar, u"%module%"), "again");
}

TEST(RegistrarReplacements, NoReferenceCountingOrInterfaces) {
  CRegistrar registrar;
  IScriptReplacements* replacements = &registrar;
  void* object = &registrar;
  EXPECT_EQ(replacements->QueryInterface(IID_IUnknown, &object), E_NOTIMPL);
  EXPECT_EQ(object, &registrar);
  EXPECT_EQ(replacements->AddRef(), 1u);
  EXPECT_EQ(replacements->Release(), 0u);
  EXPECT_EQ(replacements->Release(), 0u);
  EXPECT_EQ(replacements->DefineReplacement(u"a", u"b"), S_OK);
  EXPECT_EQ(Prepare(registrar, u"%a%"), "b");
}

// End to end through the real registry: a crafted value cannot escape its token.
class RegistrarPreparationRegistry : public test::RegistrySandbox {};

TEST_F(RegistrarPreparationRegistry, QuotedModuleValueIsStoredExactly) {
  const std::u16string script = u"HKCR { NoRemove CLSID { Stub { InprocServer32 = s '%Module%' } } }";
  EXPECT_EQ(test::RunRegistryScript(script, ScriptMode::kRegister, u"x' } HKCU { Evil"), S_OK);
  EXPECT_EQ(Dump(),
            "\\CLSID\n"
            "\\CLSID\\Stub\n"
            "\\CLSID\\Stub\\InprocServer32\n"
            "  @ = sz \"x' } HKCU { Evil\"\n");
  EXPECT_EQ(Dump(HKEY_CURRENT_USER), "");
}

}  // namespace
