#include <gtest/gtest.h>

#include <string>

#include "registrar/key_tree.h"
#include "registrar_test_util.h"
#include "support/registry_sandbox.h"

namespace {

using test::Repeat;
using test::RunRegistryScript;

// Script runs whose registry results the differential test (differential/) pins on
// both targets are not repeated here; these are the cases it does not reach.
class RegistrarKeyTree : public test::RegistrySandbox {};

TEST_F(RegistrarKeyTree, RootKeyTable) {
  EXPECT_EQ(FindRootKey(u"hkcr"), HKEY_CLASSES_ROOT);
  EXPECT_EQ(FindRootKey(u"HKEY_LOCAL_MACHINE"), HKEY_LOCAL_MACHINE);
  EXPECT_EQ(FindRootKey(u"HKU"), HKEY_USERS);
  EXPECT_EQ(FindRootKey(u"HKPD"), HKEY_PERFORMANCE_DATA);
  EXPECT_EQ(FindRootKey(u"HKDD"), HKEY_DYN_DATA);
  EXPECT_EQ(FindRootKey(u"HKCC"), HKEY_CURRENT_CONFIG);
  EXPECT_EQ(FindRootKey(u"HKEY_CURRENT_CONFIG"), HKEY_CURRENT_CONFIG);
  EXPECT_EQ(FindRootKey(u"HKCR{"), nullptr);
  std::string protectedNames;
  for (const char16_t* name : {u"appid", u"CLSID", u"component categories", u"FILETYPE",
                               u"Interface", u"hardware", u"MIME", u"sam", u"Security",
                               u"system", u"SOFTWARE", u"typelib", u"Components", u"CLSID2"}) {
    protectedNames += MayDeleteKey(name) ? "+" : "-";
  }
  EXPECT_EQ(protectedNames, "------------++");
}

TEST_F(RegistrarKeyTree, MalformedScriptsAreRefusedAndLeaveNothing) {
  // A block the text ends inside; a backslash in a key name, also after ForceRemove.
  for (const char16_t* script : {u"HKCR { A", u"HKCR { A = s 'a' { X } B\\C }",
                                 u"HKCR { ForceRemove D\\E }"}) {
    EXPECT_EQ(RunRegistryScript(script, ScriptMode::kRegister), DISP_E_EXCEPTION) << test::Utf8(script);
  }
  EXPECT_EQ(Dump(), "");
  // Quoted braces open and close the root block as the bare ones do.
  EXPECT_EQ(RunRegistryScript(u"HKCR '{' F '{' 'Val' v = s 'x' '}' '}'", ScriptMode::kRegister), S_OK);
  EXPECT_EQ(Dump(), "\\F\n  \"v\" = sz \"x\"\n");
}

TEST_F(RegistrarKeyTree, RollbackStoppedByTheSameErrorStillTakesDownWhatTheWalkMade) {
  // Each way the text can stop the rollback where it stopped the walk, inside
  // the blocks of keys the walk made: those keys go, deepest first, and the key
  // that was there before stays as it was.
  PutString(HKEY_CLASSES_ROOT, u"Keep", u"old", u"o");
  const std::string before = Dump();
  for (const char16_t* script : {
           u"HKCR { V { val a + s 'x' } }",                        // a Val without "="
           u"HKCR { T = s 'x' { U",                                // the text ends in a block
           u"HKCR { Q { val a = s 'x } }",                         // an unclosed quote
           u"HKCR { N { NoRemove M { K\\L } } }",                  // a backslash; NoRemove made here
           u"HKCR { Keep { New = s 'n' { val a + s 'x' } } }",     // under a key that was there
           u"HKCR { Keep { {1} = s 'S' { InprocServer32 = s C:\\My Packages\\A.dll } } }",
       }) {
    EXPECT_EQ(RunRegistryScript(script, ScriptMode::kRegister), DISP_E_EXCEPTION) << test::Utf8(script);
    EXPECT_EQ(Dump(), before) << test::Utf8(script);
  }
}

TEST_F(RegistrarKeyTree, KeywordOrderWithinAnEntry) {
  PutKey(HKEY_CLASSES_ROOT, u"NoRemove\\Sub");
  // ForceRemove takes "NoRemove" as its subject; X is then a NoRemove entry.
  // After NoRemove, "ForceRemove" is just a key name.
  const std::u16string script =
      u"HKCR { ForceRemove NoRemove X { val v = s 'x' } NoRemove ForceRemove { Y } }";
  ASSERT_EQ(RunRegistryScript(script, ScriptMode::kRegister), S_OK);
  EXPECT_EQ(Dump(),
            "\\ForceRemove\n"
            "\\ForceRemove\\Y\n"
            "\\X\n"
            "  \"v\" = sz \"x\"\n");
  ASSERT_EQ(RunRegistryScript(script, ScriptMode::kRemove), S_OK);
  EXPECT_EQ(Dump(), "\\ForceRemove\n\\X\n");
}

TEST_F(RegistrarKeyTree, RemovingAnAbsentValueIsNoError) {
  PutString(HKEY_CLASSES_ROOT, u"N", u"keep", u"k");
  EXPECT_EQ(RunRegistryScript(u"HKCR { NoRemove N { val absent = s 'x' } }", ScriptMode::kRemove), S_OK);
  EXPECT_EQ(Dump(), "\\N\n  \"keep\" = sz \"k\"\n");
}

// Nesting one level beyond the bound is refused and rolled back; a hostile depth
// neither crashes nor leaves anything behind.
std::u16string Nested(int blocks) {
  return u"HKCR { " + Repeat(u"K { ", blocks - 1) + Repeat(u"} ", blocks);
}

TEST_F(RegistrarKeyTree, NestingBeyondTheBound) {
  EXPECT_EQ(RunRegistryScript(Nested(kMaxNesting + 1), ScriptMode::kRegister), DISP_E_EXCEPTION);
  EXPECT_EQ(Dump(), "");
  EXPECT_EQ(RunRegistryScript(Nested(100000), ScriptMode::kRegister), DISP_E_EXCEPTION);
  EXPECT_EQ(Dump(), "");
  // Removal reads the deep part through, takes down what lies above it and
  // still reports the refusal.
  ASSERT_EQ(RunRegistryScript(Nested(kMaxNesting), ScriptMode::kRegister), S_OK);
  PutString(HKEY_CLASSES_ROOT, u"Other", u"", u"o");
  EXPECT_EQ(RunRegistryScript(Nested(100000) + u" HKCR { Other }", ScriptMode::kRemove), DISP_E_EXCEPTION);
  EXPECT_EQ(Dump(), "\\Other\n  @ = sz \"o\"\n");
}

}  // namespace
