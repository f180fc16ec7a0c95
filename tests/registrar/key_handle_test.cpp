#include <gtest/gtest.h>

#include <string>

#include "registrar/key_handle.h"
#include "registrar_test_util.h"
#include "support/registry_sandbox.h"

namespace {

class RegistrarKeyHandle : public test::RegistrySandbox {};

// Whether `key` is still a usable open handle.
bool Usable(HKEY key) {
  DWORD subkeys = 0;
  return sys::RegQueryInfoKeyW(key, &subkeys) == ERROR_SUCCESS;
}

TEST_F(RegistrarKeyHandle, DeleteTreeRemovesWholeSubtreeOnly) {
  PutString(HKEY_CLASSES_ROOT, u"A\\B\\C\\D", u"v", u"deep");
  PutString(HKEY_CLASSES_ROOT, u"A\\B2", u"", u"x");
  PutKey(HKEY_CLASSES_ROOT, u"Keep\\Child");
  PutString(HKEY_CLASSES_ROOT, u"", u"rootValue", u"r");
  const CBorrowedKey root(HKEY_CLASSES_ROOT);
  EXPECT_EQ(root.DeleteTree(u"Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(root.DeleteTree(u"A"), ERROR_SUCCESS);
  EXPECT_EQ(Dump(),
            "  \"rootValue\" = sz \"r\"\n"
            "\\Keep\n"
            "\\Keep\\Child\n");
}

TEST_F(RegistrarKeyHandle, DeleteTreeDepthIsBounded) {
  // A chain just inside the bound goes; one level more is refused, and the
  // refusal leaves the tree as far as it got rather than overflowing the stack.
  std::u16string path = u"T";
  for (int i = 1; i < kMaxDeleteDepth; ++i) path += u"\\d";
  PutKey(HKEY_CLASSES_ROOT, path);
  const CBorrowedKey root(HKEY_CLASSES_ROOT);
  EXPECT_EQ(root.DeleteTree(u"T"), ERROR_SUCCESS);
  EXPECT_EQ(Dump(), "");
  PutKey(HKEY_CLASSES_ROOT, path + u"\\d");
  EXPECT_EQ(root.DeleteTree(u"T"), kErrorTreeTooDeep);
  EXPECT_EQ(Dump(HKEY_CLASSES_ROOT, path + u"\\d"), "");  // still there, empty
}

TEST_F(RegistrarKeyHandle, OpenCreateAndClose) {
  PutKey(HKEY_CLASSES_ROOT, u"One");
  PutKey(HKEY_CLASSES_ROOT, u"Two");
  CKeyHandle key;
  EXPECT_EQ(key.Close(), ERROR_SUCCESS);
  ASSERT_EQ(key.Open(HKEY_CLASSES_ROOT, u"One", KEY_READ), ERROR_SUCCESS);
  const HKEY first = key.Get();
  ASSERT_NE(first, nullptr);
  // A failed open keeps the key held before it.
  EXPECT_EQ(key.Open(HKEY_CLASSES_ROOT, u"Absent", KEY_READ), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.Get(), first);
  EXPECT_TRUE(Usable(first));
  // A successful one replaces it.
  ASSERT_EQ(key.Open(HKEY_CLASSES_ROOT, u"Two", KEY_READ), ERROR_SUCCESS);
  EXPECT_NE(key.Get(), nullptr);
  EXPECT_TRUE(Usable(key.Get()));
  ASSERT_EQ(key.Create(HKEY_CLASSES_ROOT, u"Three", nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                       nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(key.StoreDword(u"n", 7), ERROR_SUCCESS);
  EXPECT_EQ(key.Close(), ERROR_SUCCESS);
  EXPECT_EQ(key.Get(), nullptr);
  EXPECT_EQ(Dump(),
            "\\One\n"
            "\\Three\n"
            "  \"n\" = dword 0x00000007\n"
            "\\Two\n");
}

TEST_F(RegistrarKeyHandle, OwnershipMovesAndBorrowedHandlesAreNeverClosed) {
  PutKey(HKEY_CLASSES_ROOT, u"P");
  CKeyHandle source;
  ASSERT_EQ(source.Open(HKEY_CLASSES_ROOT, u"P", KEY_READ), ERROR_SUCCESS);
  const HKEY held = source.Get();
  {
    // Without a name, Open makes an independent handle on the same key.
    CKeyHandle again;
    ASSERT_EQ(again.Open(held, nullptr, KEY_READ), ERROR_SUCCESS);
    EXPECT_NE(again.Get(), held);
    EXPECT_EQ(again.Close(), ERROR_SUCCESS);
    const CBorrowedKey borrowed(held);
    EXPECT_EQ(borrowed.Get(), held);
  }
  EXPECT_TRUE(Usable(held));
  CKeyHandle target(std::move(source));
  EXPECT_EQ(source.Get(), nullptr);
  EXPECT_EQ(target.Get(), held);
  CKeyHandle other;
  other = std::move(target);
  EXPECT_EQ(target.Get(), nullptr);
  EXPECT_EQ(other.Get(), held);
  EXPECT_TRUE(Usable(held));
}

TEST_F(RegistrarKeyHandle, ValueSetters) {
  CKeyHandle key;
  ASSERT_EQ(key.Create(HKEY_CLASSES_ROOT, u"V", nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                       nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(key.StoreString(nullptr, u"def", REG_SZ), ERROR_SUCCESS);
  EXPECT_EQ(key.StoreString(u"e", u"", REG_SZ), ERROR_SUCCESS);
  EXPECT_EQ(key.StoreMultiString(u"m", u"a\0bc\0\0ignored\0"), ERROR_SUCCESS);
  EXPECT_EQ(key.StoreDword(u"d", 0x01020304), ERROR_SUCCESS);
  EXPECT_EQ(key.StoreString(u"null", nullptr, REG_SZ), E_FAIL);
  EXPECT_EQ(key.StoreMultiString(u"null", nullptr), E_FAIL);
  EXPECT_EQ(Dump(HKEY_CLASSES_ROOT, u"V"),
            "  @ = sz \"def\"\n"
            "  \"d\" = dword 0x01020304\n"
            "  \"e\" = sz \"\"\n"
            "  \"m\" = multi 610000006200630000000000\n");
}

}  // namespace
