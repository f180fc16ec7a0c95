#include <gtest/gtest.h>

#include <string>

#include "registrar/key_handle.h"
#include "registrar/script_parser.h"
#include "registrar_test_util.h"
#include "support/registry_sandbox.h"

namespace {

using test::kRegister;
using test::RunRegistryScript;

class RegistrarValues : public test::RegistrySandbox {
 protected:
  // Registers "HKCR { V { <entries> } }" and dumps V.
  std::string Write(const std::u16string& entries, HRESULT expected = S_OK) {
    EXPECT_EQ(RunRegistryScript(u"HKCR { V { " + entries + u" } }", kRegister), expected)
        << test::Utf8(entries);
    return Dump(HKEY_CLASSES_ROOT, u"V");
  }
};

TEST_F(RegistrarValues, StringsAndTypeLetters) {
  EXPECT_EQ(Write(u"val e = s '' val u = S x val l = s 'x' val q = s 'it''s'"),
            "  \"e\" = sz \"\"\n"
            "  \"l\" = sz \"x\"\n"
            "  \"q\" = sz \"it's\"\n"
            "  \"u\" = sz \"x\"\n");
}

TEST_F(RegistrarValues, DefaultValueOfAKey) {
  EXPECT_EQ(Write(u"K = s 'default' { val n = d 1 }"),
            "\\K\n"
            "  @ = sz \"default\"\n"
            "  \"n\" = dword 0x00000001\n");
}

TEST_F(RegistrarValues, MultiStrings) {
  EXPECT_EQ(Write(u"val a = m 'a\\0b' val e = m '' val s = m 'a\\0\\0b' "
                  u"val k = m 'a\\\\0b' val n = m 'x\\n'"),
            "  \"a\" = multi 61000000620000000000\n"
            "  \"e\" = multi 0000\n"
            "  \"k\" = multi 61005c000000620000000000\n"
            "  \"n\" = multi 78005c006e0000000000\n"
            "  \"s\" = multi 610000000000\n");
}

TEST_F(RegistrarValues, NumbersAndBinary) {
  EXPECT_EQ(Write(u"val d = d 10 val m = d 4294967295 val b = b FF val c = b '0a1B' "
                  u"val z = b zz val e = b ''"),
            "  \"b\" = binary ff\n"
            "  \"c\" = binary 0a1b\n"
            "  \"d\" = dword 0x0000000a\n"
            "  \"e\" = binary\n"
            "  \"m\" = dword 0xffffffff\n"
            "  \"z\" = binary 00\n");
}

TEST_F(RegistrarValues, LongValuesUseTheHeap) {
  // Beyond the 256 bytes kept in the frame, for both scratch blocks.
  const std::u16string hex = test::Repeat(u"a5", 300);
  const std::u16string text = test::Repeat(u"x", 200);
  EXPECT_EQ(Write(u"val b = b " + hex + u" val m = m '" + text + u"\\0" + text + u"'"),
            "  \"b\" = binary " + test::Utf8(test::Repeat(u"a5", 300)) + "\n" +
                "  \"m\" = multi " + test::Utf8(test::Repeat(u"7800", 200)) + "0000" +
                test::Utf8(test::Repeat(u"7800", 200)) + "00000000\n");
}

TEST_F(RegistrarValues, RejectedAssignmentsWriteNothing) {
  // Each failing registration is rolled back; V itself goes with it.
  EXPECT_EQ(Write(u"val a = sz 'x'", DISP_E_EXCEPTION), "(no key)\n");
  EXPECT_EQ(Write(u"val a = dword 1", DISP_E_EXCEPTION), "(no key)\n");
  EXPECT_EQ(Write(u"val a = b abc", E_FAIL), "(no key)\n");
  EXPECT_EQ(Write(u"val a = d abc", DISP_E_TYPEMISMATCH), "(no key)\n");
  EXPECT_EQ(Write(u"val a = d 4294967296", DISP_E_OVERFLOW), "(no key)\n");
  // The rollback meets the same syntax error and stops there: V stays, empty.
  EXPECT_EQ(Write(u"val a + s 'x'", DISP_E_EXCEPTION), "");
}

TEST(RegistrarValueTypes, AssignValueLeavesNextTokenAndPassesFailuresOn) {
  // Under a key that is not there the write fails and no further token is read.
  const std::u16string text = u"s 'x' } rest";
  ScriptParser parser(nullptr);
  parser.SetPosition(text.c_str());
  CKeyHandle none;
  TokenBuffer buffer = u"=";
  EXPECT_EQ(parser.AssignValue(none, u"v", buffer), static_cast<HRESULT>(0x80070006));
  EXPECT_EQ(test::Utf8(parser.Position()), " } rest");
  EXPECT_EQ(test::Utf8(buffer), "=");
}

}  // namespace
