#include <gtest/gtest.h>

#include <string>

#include "registrar/key_tree.h"
#include "registrar_test_util.h"
#include "support/registry_sandbox.h"

namespace {

using test::kRegister;
using test::kRemove;
using test::Repeat;
using test::RunRegistryScript;

class RegistrarKeyTree : public test::RegistrySandbox {};

constexpr char16_t kServerScript[] =
    u"HKCR\r\n"
    u"{\r\n"
    u"  NoRemove CLSID\r\n"
    u"  {\r\n"
    u"    ForceRemove {11111111-2222-3333-4444-555555555555} = s 'Stub'\r\n"
    u"    {\r\n"
    u"      InprocServer32 = s '%Module%'\r\n"
    u"      {\r\n"
    u"        val ThreadingModel = s 'Both'\r\n"
    u"      }\r\n"
    u"    }\r\n"
    u"  }\r\n"
    u"  Stub.Name = s 'Stub' { CLSID = s '{11111111-2222-3333-4444-555555555555}' }\r\n"
    u"}\r\n";

TEST_F(RegistrarKeyTree, RegistersAndRemovesATypicalServer) {
  PutKey(HKEY_CLASSES_ROOT, u"CLSID\\{Other}");
  ASSERT_EQ(RunRegistryScript(kServerScript, kRegister), S_OK);
  EXPECT_EQ(Dump(),
            "\\CLSID\n"
            "\\CLSID\\{11111111-2222-3333-4444-555555555555}\n"
            "  @ = sz \"Stub\"\n"
            "\\CLSID\\{11111111-2222-3333-4444-555555555555}\\InprocServer32\n"
            "  @ = sz \"C:\\Packages\\Stub.dll\"\n"
            "  \"ThreadingModel\" = sz \"Both\"\n"
            "\\CLSID\\{Other}\n"
            "\\Stub.Name\n"
            "  @ = sz \"Stub\"\n"
            "\\Stub.Name\\CLSID\n"
            "  @ = sz \"{11111111-2222-3333-4444-555555555555}\"\n");
  // Registering again over the same keys gives the same tree.
  ASSERT_EQ(RunRegistryScript(kServerScript, kRegister), S_OK);
  ASSERT_EQ(RunRegistryScript(kServerScript, kRemove), S_OK);
  EXPECT_EQ(Dump(),
            "\\CLSID\n"
            "\\CLSID\\{Other}\n");
  // Removing what is already gone is no error.
  EXPECT_EQ(RunRegistryScript(kServerScript, kRemove), S_OK);
}

TEST_F(RegistrarKeyTree, RootBlocksAndTheirSyntax) {
  EXPECT_EQ(RunRegistryScript(u"", kRegister), S_OK);
  EXPECT_EQ(RunRegistryScript(u" \r\n\t", kRegister), DISP_E_EXCEPTION);
  EXPECT_EQ(RunRegistryScript(u"HKCR{ A }", kRegister), DISP_E_EXCEPTION);
  EXPECT_EQ(RunRegistryScript(u"HKXX { A }", kRegister), DISP_E_EXCEPTION);
  EXPECT_EQ(RunRegistryScript(u"HKCR A }", kRegister), DISP_E_EXCEPTION);
  EXPECT_EQ(Dump(), "");
  EXPECT_EQ(RunRegistryScript(u"HKCR { A", kRegister), DISP_E_EXCEPTION);
  EXPECT_EQ(RunRegistryScript(u"hkey_classes_ROOT { A } \r\n hkcr {ignored B }  \r\n", kRegister),
            S_OK);
  EXPECT_EQ(RunRegistryScript(u"HKEY_CURRENT_USER { U } hkcu { V }", kRegister), S_OK);
  EXPECT_EQ(Dump(), "\\A\n\\B\n");
  EXPECT_EQ(Dump(HKEY_CURRENT_USER), "\\U\n\\V\n");
}

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

TEST_F(RegistrarKeyTree, BracesAreTokensOnlyBetweenBlanks) {
  // After a key name only "{" alone opens a block; "{B}" is the next key.
  EXPECT_EQ(RunRegistryScript(u"HKCR { A {B} }", kRegister), S_OK);
  // "}}" closes one block only.
  EXPECT_EQ(RunRegistryScript(u"HKCR { C { D }} }", kRegister), S_OK);
  EXPECT_EQ(RunRegistryScript(u"HKCR { E }}", kRegister), S_OK);
  // Quoted keywords and braces act as the bare ones.
  EXPECT_EQ(RunRegistryScript(u"HKCR '{' F '{' 'Val' v = s 'x' '}' '}'", kRegister), S_OK);
  EXPECT_EQ(Dump(),
            "\\A\n"
            "\\C\n"
            "\\C\\D\n"
            "\\E\n"
            "\\F\n"
            "  \"v\" = sz \"x\"\n"
            "\\{B}\n");
}

TEST_F(RegistrarKeyTree, FailedBlockIsRolledBackAndEarlierBlocksStay) {
  PutKey(HKEY_CLASSES_ROOT, u"Later");                  // empty: the rollback takes it
  PutString(HKEY_CLASSES_ROOT, u"Kept\\Child", u"", u"c");  // has a subkey: stays
  EXPECT_EQ(RunRegistryScript(u"HKCR { First = s '1' } "
                              u"HKCR { A = s 'a' { X } B { val n = d abc } Later Kept }",
                              kRegister),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Dump(),
            "\\First\n"
            "  @ = sz \"1\"\n"
            "\\Kept\n"
            "\\Kept\\Child\n"
            "  @ = sz \"c\"\n");
}

TEST_F(RegistrarKeyTree, BackslashInKeyNameIsRefused) {
  EXPECT_EQ(RunRegistryScript(u"HKCR { A = s 'a' { X } B\\C }", kRegister), DISP_E_EXCEPTION);
  EXPECT_EQ(RunRegistryScript(u"HKCR { ForceRemove D\\E }", kRegister), DISP_E_EXCEPTION);
  EXPECT_EQ(Dump(), "");
}

TEST_F(RegistrarKeyTree, ForceRemoveAndDelete) {
  PutString(HKEY_CLASSES_ROOT, u"X\\Old\\Deeper", u"v", u"old");
  PutString(HKEY_CLASSES_ROOT, u"X", u"stale", u"s");
  PutString(HKEY_CLASSES_ROOT, u"CLSID\\{Old}", u"", u"keep");
  PutString(HKEY_CLASSES_ROOT, u"Gone\\Sub", u"a", u"b");
  ASSERT_EQ(RunRegistryScript(u"HKCR { ForceRemove X = s 'new' { New } "
                              u"ForceRemove clsid { {New} } "
                              u"Delete Gone = s 'v' Delete Absent }",
                              kRegister),
            S_OK);
  EXPECT_EQ(Dump(),
            "\\CLSID\n"
            "\\CLSID\\{New}\n"
            "\\CLSID\\{Old}\n"
            "  @ = sz \"keep\"\n"
            "\\X\n"
            "  @ = sz \"new\"\n"
            "\\X\\New\n");
}

TEST_F(RegistrarKeyTree, KeywordOrderWithinAnEntry) {
  PutKey(HKEY_CLASSES_ROOT, u"NoRemove\\Sub");
  // ForceRemove takes "NoRemove" as its subject; X is then a NoRemove entry.
  // After NoRemove, "ForceRemove" is just a key name.
  const std::u16string script =
      u"HKCR { ForceRemove NoRemove X { val v = s 'x' } NoRemove ForceRemove { Y } }";
  ASSERT_EQ(RunRegistryScript(script, kRegister), S_OK);
  EXPECT_EQ(Dump(),
            "\\ForceRemove\n"
            "\\ForceRemove\\Y\n"
            "\\X\n"
            "  \"v\" = sz \"x\"\n");
  ASSERT_EQ(RunRegistryScript(script, kRemove), S_OK);
  EXPECT_EQ(Dump(), "\\ForceRemove\n\\X\n");
}

TEST_F(RegistrarKeyTree, RemovalSparesWhatItMust) {
  PutString(HKEY_CLASSES_ROOT, u"N", u"a", u"b");
  PutString(HKEY_CLASSES_ROOT, u"N", u"keep", u"k");
  PutString(HKEY_CLASSES_ROOT, u"P\\Q", u"q", u"1");
  PutKey(HKEY_CLASSES_ROOT, u"P\\Q\\Foreign");
  PutKey(HKEY_CLASSES_ROOT, u"P\\R");
  ASSERT_EQ(RunRegistryScript(u"HKCR { NoRemove N { val a = s 'b' NoRemove val keep = s 'k' "
                              u"val absent = s 'x' } "
                              u"P { Q { val q = s '1' } R } Missing { Inner { val z = s 'z' } } }",
                              kRemove),
            S_OK);
  EXPECT_EQ(Dump(),
            "\\N\n"
            "  \"keep\" = sz \"k\"\n"
            "\\P\n"
            "\\P\\Q\n"
            "\\P\\Q\\Foreign\n");
}

TEST_F(RegistrarKeyTree, ValueNameLimit) {
  const std::u16string name258 = Repeat(u"n", 258);
  EXPECT_EQ(RunRegistryScript(u"HKCR { V { val " + name258 + u" = d 1 } }", kRegister), S_OK);
  EXPECT_EQ(RunRegistryScript(u"HKCR { val " + name258 + u"n = d 1 }", kRegister),
            DISP_E_EXCEPTION);
  EXPECT_EQ(Dump(), "\\V\n  \"" + test::Utf8(name258) + "\" = dword 0x00000001\n");
}

// Nesting: a script at the bound works; one level more is refused and rolled
// back; a hostile depth neither crashes nor leaves anything behind.
std::u16string Nested(int blocks) {
  return u"HKCR { " + Repeat(u"K { ", blocks - 1) + Repeat(u"} ", blocks);
}

TEST_F(RegistrarKeyTree, NestingAtTheBound) {
  ASSERT_EQ(RunRegistryScript(Nested(kMaxNesting), kRegister), S_OK);
  std::string expected;
  std::string path;
  for (int i = 1; i < kMaxNesting; ++i) expected += (path += "\\K") + "\n";
  EXPECT_EQ(Dump(), expected);
  EXPECT_EQ(RunRegistryScript(Nested(kMaxNesting), kRemove), S_OK);
  EXPECT_EQ(Dump(), "");
}

TEST_F(RegistrarKeyTree, NestingBeyondTheBound) {
  EXPECT_EQ(RunRegistryScript(Nested(kMaxNesting + 1), kRegister), DISP_E_EXCEPTION);
  EXPECT_EQ(Dump(), "");
  EXPECT_EQ(RunRegistryScript(Nested(100000), kRegister), DISP_E_EXCEPTION);
  EXPECT_EQ(Dump(), "");
  // Removal reads the deep part through, takes down what lies above it and
  // still reports the refusal.
  ASSERT_EQ(RunRegistryScript(Nested(kMaxNesting), kRegister), S_OK);
  PutString(HKEY_CLASSES_ROOT, u"Other", u"", u"o");
  EXPECT_EQ(RunRegistryScript(Nested(100000) + u" HKCR { Other }", kRemove), DISP_E_EXCEPTION);
  EXPECT_EQ(Dump(), "\\Other\n  @ = sz \"o\"\n");
}

}  // namespace
