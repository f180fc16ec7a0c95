// How the registry calls behave, pinned on both targets: the module's key
// wrapper and script interpreter rely on each of these answers.
#include <cstring>
#include <utility>

#include "platform_test_support.h"

namespace platform_test {
namespace {

class PlatformRegistryTest : public PrivateKeyTest {
 protected:
  HKEY Create(HKEY parent, const char16_t* name, REGSAM access = KEY_ALL_ACCESS,
              DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS,
              sys::RegCreateKeyExW(parent, name, 0, nullptr, 0, access, nullptr, &key, disposition))
        << Narrow(name);
    return key;
  }
  LONG Open(HKEY parent, const char16_t* name, REGSAM access, HKEY* key) {
    return sys::RegOpenKeyExW(parent, name, 0, access, key);
  }
  void CreateAndClose(HKEY parent, const char16_t* name) { sys::RegCloseKey(Create(parent, name)); }
  LONG SetDword(HKEY key, const char16_t* name, DWORD value) {
    return sys::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  }
};

TEST_F(PlatformRegistryTest, KeyNamesArePathsAndCaseInsensitive) {
  DWORD disposition = 0;
  HKEY leaf = Create(base_, u"One\\Two\\Three", KEY_ALL_ACCESS, &disposition);
  EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
  sys::RegCloseKey(leaf);

  // Intermediate keys exist; names match without regard to case and keep the
  // case they were created with.
  HKEY middle = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Open(base_, u"ONE\\two", KEY_READ, &middle));
  EXPECT_EQ(std::vector<std::u16string>{u"Three"}, SubkeyNames(middle));
  sys::RegCloseKey(middle);
  HKEY again = Create(base_, u"one\\TWO", KEY_ALL_ACCESS, &disposition);
  EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
  sys::RegCloseKey(again);
  EXPECT_EQ(std::vector<std::u16string>{u"One"}, SubkeyNames(base_));

  // Empty pieces are skipped; a leading backslash is refused.
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, Open(base_, u"One\\\\Two\\", KEY_READ, &key));
  sys::RegCloseKey(key);
  EXPECT_EQ(ERROR_BAD_PATHNAME, Open(base_, u"\\One", KEY_READ, &key));
  EXPECT_EQ(ERROR_BAD_PATHNAME,
            sys::RegCreateKeyExW(base_, u"\\Lead", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
}

// Registry scripts name keys in any script; a key written in one letter case
// must be found again in another, beyond ASCII too.
TEST_F(PlatformRegistryTest, KeyNamesMatchWithoutCaseInEveryCasedScript) {
  const std::pair<const char16_t*, const char16_t*> sameKey[] = {
      {u"\u00C4rger", u"\u00E4RGER"},                              // Latin-1
      {u"\u041A\u041B\u042E\u0427", u"\u043A\u043B\u044E\u0447"},  // Cyrillic
      {u"\u0401\u0416\u0460", u"\u0451\u0436\u0461"},              // Cyrillic, further blocks
      {u"\u03A3\u039F\u03A6", u"\u03C3\u03BF\u03C6"},              // Greek
      {u"\u0386\u038F", u"\u03AC\u03CE"},                          // Greek with tonos
      {u"\u0531\u0556", u"\u0561\u0586"},                          // Armenian
      {u"\u01CD\u1E00\u1EA0", u"\u01CE\u1E01\u1EA1"},              // Latin Extended-B, Additional
      {u"\uFF21\u2160\u24B6", u"\uFF41\u2170\u24D0"},              // full-width, numerals, circled
  };
  for (const auto& pair : sameKey) {
    CreateAndClose(base_, pair.first);
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, Open(base_, pair.second, KEY_READ, &key)) << Narrow(pair.second);
    sys::RegCloseKey(key);
    EXPECT_EQ(ERROR_SUCCESS, sys::RegDeleteKeyW(base_, pair.second)) << Narrow(pair.second);
  }
  // Sharp s has no one-letter capital, and final sigma is not matched with
  // capital sigma: two keys each.
  CreateAndClose(base_, u"Stra\u00DFe");
  CreateAndClose(base_, u"STRASSE");
  CreateAndClose(base_, u"\u03A3");
  CreateAndClose(base_, u"\u03C2");
  EXPECT_EQ(4u, SubkeyNames(base_).size());
}

TEST_F(PlatformRegistryTest, OpenGivesNewHandlesAndClearsTheOutputOnFailure) {
  // A null or empty name opens a second, independent handle on the same key.
  for (const char16_t* name : {static_cast<const char16_t*>(nullptr), u""}) {
    HKEY same = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, Open(base_, name, KEY_ALL_ACCESS, &same));
    EXPECT_NE(base_, same);
    EXPECT_EQ(ERROR_SUCCESS, SetDword(same, u"Through", 1));
    EXPECT_EQ(ERROR_SUCCESS, sys::RegCloseKey(same));
  }
  EXPECT_TRUE(ReadValue(HKEY_CURRENT_USER, BasePath(), u"through").exists);

  HKEY missing = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x1234));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(base_, u"Missing", KEY_READ, &missing));
  EXPECT_EQ(nullptr, missing);

  // Predefined roots may be "closed" harmlessly; unknown handles are refused.
  EXPECT_EQ(ERROR_SUCCESS, sys::RegCloseKey(HKEY_CLASSES_ROOT));
  HKEY closed = Create(base_, u"Closed");
  EXPECT_EQ(ERROR_SUCCESS, sys::RegCloseKey(closed));
  EXPECT_EQ(ERROR_INVALID_HANDLE, sys::RegCloseKey(closed));
}

TEST_F(PlatformRegistryTest, HandlesCarryTheirAccessRights) {
  CreateAndClose(base_, u"Target\\Child");
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Open(base_, u"Target", KEY_READ, &key));
  EXPECT_EQ(ERROR_ACCESS_DENIED, SetDword(key, u"Value", 1));
  EXPECT_EQ(ERROR_ACCESS_DENIED, sys::RegDeleteValueW(key, u"Value"));
  sys::RegCloseKey(key);

  ASSERT_EQ(ERROR_SUCCESS, Open(base_, u"Target", KEY_QUERY_VALUE, &key));
  char16_t name[64];
  DWORD length = 64;
  EXPECT_EQ(ERROR_ACCESS_DENIED, sys::RegEnumKeyExW(key, 0, name, &length));
  sys::RegCloseKey(key);

  // Opening needs no rights at all; using the handle then does.
  ASSERT_EQ(ERROR_SUCCESS, Open(base_, u"Target", 0, &key));
  EXPECT_EQ(ERROR_ACCESS_DENIED, sys::RegEnumKeyExW(key, 0, name, &length));
  sys::RegCloseKey(key);

  // Deleting a subkey needs nothing from the parent handle.
  ASSERT_EQ(ERROR_SUCCESS, Open(base_, u"Target", KEY_QUERY_VALUE, &key));
  EXPECT_EQ(ERROR_SUCCESS, sys::RegDeleteKeyW(key, u"Child"));
  sys::RegCloseKey(key);
}

TEST_F(PlatformRegistryTest, DeleteKeyRemovesOnlyChildlessKeys) {
  CreateAndClose(base_, u"Tree\\Branch\\Leaf");
  EXPECT_EQ(ERROR_ACCESS_DENIED, sys::RegDeleteKeyW(base_, u"Tree"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, sys::RegDeleteKeyW(base_, u"Nothing"));
  // A path deletes its last key only.
  EXPECT_EQ(ERROR_SUCCESS, sys::RegDeleteKeyW(base_, u"tree\\branch\\LEAF"));
  HKEY branch = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Open(base_, u"Tree\\Branch", KEY_ALL_ACCESS, &branch));
  EXPECT_TRUE(SubkeyNames(branch).empty());
  // An empty name deletes the key the handle is on.
  EXPECT_EQ(ERROR_SUCCESS, sys::RegDeleteKeyW(branch, u""));
  sys::RegCloseKey(branch);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(base_, u"Tree\\Branch", KEY_READ, &branch));
}

TEST_F(PlatformRegistryTest, HandlesOnADeletedKeyGoStale) {
  HKEY stale = Create(base_, u"Doomed");
  ASSERT_EQ(ERROR_SUCCESS, sys::RegDeleteKeyW(base_, u"Doomed"));

  HKEY child = nullptr;
  char16_t name[64];
  DWORD length = 64, count = 0;
  EXPECT_EQ(ERROR_KEY_DELETED, SetDword(stale, u"Value", 1));
  EXPECT_EQ(ERROR_KEY_DELETED, sys::RegDeleteValueW(stale, u"Value"));
  EXPECT_EQ(ERROR_KEY_DELETED,
            sys::RegCreateKeyExW(stale, u"Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr));
  EXPECT_EQ(ERROR_KEY_DELETED, Open(stale, nullptr, KEY_READ, &child));
  EXPECT_EQ(ERROR_KEY_DELETED, sys::RegEnumKeyExW(stale, 0, name, &length));
  EXPECT_EQ(ERROR_KEY_DELETED, sys::RegQueryInfoKeyW(stale, &count));
  EXPECT_EQ(ERROR_KEY_DELETED, sys::RegDeleteKeyW(stale, u""));
  EXPECT_EQ(ERROR_SUCCESS, sys::RegCloseKey(stale));
  // A key made again under the same name is a new key, not the stale one.
  HKEY fresh = Create(base_, u"Doomed");
  EXPECT_EQ(ERROR_SUCCESS, SetDword(fresh, u"Value", 1));
  sys::RegCloseKey(fresh);
}

TEST_F(PlatformRegistryTest, EnumerationIsSortedAndBounded) {
  for (const char16_t* name : {u"zeta", u"Alpha", u"beta", u"_under", u"Gamma10", u"gamma9"}) {
    CreateAndClose(base_, name);
  }
  // Sorted by case-folded name, whatever the creation order ("_" before letters).
  EXPECT_EQ((std::vector<std::u16string>{u"_under", u"Alpha", u"beta", u"Gamma10", u"gamma9", u"zeta"}),
            SubkeyNames(base_));
  DWORD count = 0;
  EXPECT_EQ(ERROR_SUCCESS, sys::RegQueryInfoKeyW(base_, &count));
  EXPECT_EQ(6u, count);

  // "Alpha" needs 6 units with its terminator: 5 is too few, and then neither
  // the buffer nor the length changes.
  char16_t name[16];
  std::fill(std::begin(name), std::end(name), u'#');
  DWORD length = 5;
  EXPECT_EQ(ERROR_MORE_DATA, sys::RegEnumKeyExW(base_, 1, name, &length));
  EXPECT_EQ(5u, length);
  EXPECT_EQ(u'#', name[0]);
  length = 6;
  ASSERT_EQ(ERROR_SUCCESS, sys::RegEnumKeyExW(base_, 1, name, &length));
  EXPECT_EQ(5u, length);
  EXPECT_EQ(std::u16string(u"Alpha"), std::u16string(name));
  length = 16;
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, sys::RegEnumKeyExW(base_, 6, name, &length));
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, sys::RegEnumKeyExW(base_, 1000, name, &length));
}

TEST_F(PlatformRegistryTest, ValuesAreStoredExactly) {
  // An odd byte count and a string without terminator are kept as given.
  const char16_t text[] = u"ab";
  ASSERT_EQ(ERROR_SUCCESS,
            sys::RegSetValueExW(base_, u"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 3));
  StoredValue stored = ReadValue(HKEY_CURRENT_USER, BasePath(), u"TEXT");
  ASSERT_TRUE(stored.exists);
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), stored.type);
  EXPECT_EQ(std::vector<BYTE>(reinterpret_cast<const BYTE*>(text), reinterpret_cast<const BYTE*>(text) + 3),
            stored.data);

  // Value names are case-insensitive: a second write replaces the first.
  ASSERT_EQ(ERROR_SUCCESS, SetDword(base_, u"Number", 1));
  ASSERT_EQ(ERROR_SUCCESS, SetDword(base_, u"NUMBER", 2));
  stored = ReadValue(HKEY_CURRENT_USER, BasePath(), u"number");
  ASSERT_EQ(4u, stored.data.size());
  DWORD number = 0;
  std::memcpy(&number, stored.data.data(), 4);
  EXPECT_EQ(2u, number);

  // The default value is reached by a null name and by an empty one alike.
  const BYTE none[] = {0};
  ASSERT_EQ(ERROR_SUCCESS, sys::RegSetValueExW(base_, nullptr, 0, REG_BINARY, none, 1));
  EXPECT_TRUE(ReadValue(HKEY_CURRENT_USER, BasePath(), u"").exists);
  EXPECT_EQ(ERROR_SUCCESS, sys::RegDeleteValueW(base_, u""));
  EXPECT_FALSE(ReadValue(HKEY_CURRENT_USER, BasePath(), u"").exists);

  EXPECT_EQ(ERROR_SUCCESS, sys::RegSetValueExW(base_, u"Empty", 0, REG_BINARY, nullptr, 0));
  EXPECT_EQ(ERROR_NOACCESS, sys::RegSetValueExW(base_, u"Bad", 0, REG_BINARY, nullptr, 4));
  EXPECT_EQ(ERROR_SUCCESS, sys::RegDeleteValueW(base_, u"text"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, sys::RegDeleteValueW(base_, u"Text"));
}

// Registration for the current user redirects HKEY_CLASSES_ROOT for the length
// of one call (and tests of registry-writing code redirect it into a private
// key). The redirection keeps its own reference to the key, so the handle
// given may be closed at once; a null key restores the root.
TEST_F(PlatformRegistryTest, PredefinedRootCanBeRedirected) {
  HKEY classes = Create(base_, u"Classes");
  ASSERT_EQ(ERROR_SUCCESS, sys::RegOverridePredefKey(HKEY_CLASSES_ROOT, classes));
  sys::RegCloseKey(classes);
  HKEY key = nullptr;
  LONG created = sys::RegCreateKeyExW(HKEY_CLASSES_ROOT, u"StubTests.Redirected", 0, nullptr, 0,
                                      KEY_ALL_ACCESS, nullptr, &key, nullptr);
  ASSERT_EQ(ERROR_SUCCESS, sys::RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr));
  ASSERT_EQ(ERROR_SUCCESS, created);
  sys::RegCloseKey(key);
  ASSERT_EQ(ERROR_SUCCESS, Open(base_, u"Classes", KEY_READ, &classes));
  EXPECT_EQ(std::vector<std::u16string>{u"StubTests.Redirected"}, SubkeyNames(classes));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(HKEY_CLASSES_ROOT, u"StubTests.Redirected", KEY_READ, &key));
  sys::RegCloseKey(classes);
}

}  // namespace
}  // namespace platform_test
