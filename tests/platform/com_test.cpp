// COM runtime answers the module relies on, pinned on both targets:
// identifier parsing, activation failures, task memory and the component
// categories manager's registry layout.
#include <cstring>

#include "platform_test_support.h"

namespace platform_test {
namespace {

constexpr CLSID kCategoriesManager = {0x0002E005, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr IID kCatRegister = {0x0002E012, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
// Identifiers used by no other test, so that runs under Wine never collide.
constexpr CATID kCategory = {0x5B0E0A4E, 0x3333, 0x4444, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 1, 2}};
constexpr CLSID kClass = {0x5B0E0A4E, 0x5555, 0x6666, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 1, 2}};
const char16_t kCategoryPath[] = u"Component Categories\\{5B0E0A4E-3333-4444-AABB-CCDDEEFF0102}";
const char16_t kClassPath[] = u"CLSID\\{5B0E0A4E-5555-6666-AABB-CCDDEEFF0102}";
const char16_t kProgId[] = u"StubTests.PlatformProgId";

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

using PlatformComTest = PlatformTest;

TEST_F(PlatformComTest, ClsidFromStringAcceptsOnlyTheBracedForm) {
  const GUID expected = {0x12345678, 0x9ABC, 0xDEF0, {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0}};
  for (const char16_t* text :
       {u"{12345678-9ABC-DEF0-1234-56789ABCDEF0}", u"{12345678-9abc-def0-1234-56789abcdef0}"}) {
    CLSID clsid{};
    EXPECT_EQ(S_OK, sys::CLSIDFromString(text, &clsid)) << Narrow(text);
    EXPECT_TRUE(SameGuid(clsid, expected)) << Narrow(text);
  }
  // Text not starting with a brace is taken for a programmatic identifier, and
  // an unknown one fails like malformed text.
  for (const char16_t* text : {
           u"12345678-9ABC-DEF0-1234-56789ABCDEF0",     // no braces
           u"{12345678-9ABC-DEF0-1234-56789ABCDEF0",    // no closing brace
           u"{12345678-9ABC-DEF0-1234-56789ABCDEF0}x",  // trailing text
           u"{12345678-9ABC-DEF0-1234-56789ABCDEF0} ",  // trailing blank
           u"{12345678-9ABC-DEF0-1234-56789ABCDEF0}}",  // doubled brace
           u" {12345678-9ABC-DEF0-1234-56789ABCDEF0}",  // leading blank
           u"{12345678-9ABC-DEF0-1234-56789ABC EF0}",   // blank inside
           u"{1234567-9ABC-DEF0-1234-56789ABCDEF0}",    // short group
           u"{12345678-9ABC-DEF0-1234-56789ABCDEFG}",   // not hex
           u"{12345678+9ABC-DEF0-1234-56789ABCDEF0}",   // wrong separator
           u"{0x345678-9ABC-DEF0-1234-56789ABCDEF0}",   // prefix
           u"{}", u"{", u"12345678", u"No.Such.ProgId",
           u"",  // empty: nothing was scanned
       }) {
    CLSID clsid{};
    EXPECT_EQ(CO_E_CLASSSTRING, sys::CLSIDFromString(text, &clsid)) << Narrow(text);
  }
  // A null text is the null identifier.
  CLSID clsid = expected;
  EXPECT_EQ(S_OK, sys::CLSIDFromString(nullptr, &clsid));
  EXPECT_TRUE(SameGuid(clsid, CLSID{}));
}

class PlatformComRegistryTest : public PlatformTest {
 protected:
  void TearDown() override {
    DeleteTree(HKEY_CLASSES_ROOT, kProgId);
    DeleteTree(HKEY_CLASSES_ROOT, kCategoryPath);
    DeleteTree(HKEY_CLASSES_ROOT, kClassPath);
    PlatformTest::TearDown();
  }

  ICatRegister* CCategoriesManager() {
    ICatRegister* manager = nullptr;
    EXPECT_EQ(S_OK, sys::CoCreateInstance(kCategoriesManager, nullptr, CLSCTX_INPROC, kCatRegister,
                                          reinterpret_cast<void**>(&manager)));
    return manager;
  }
};

TEST_F(PlatformComRegistryTest, ClsidFromStringLooksUpProgrammaticIdentifiers) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, sys::RegCreateKeyExW(HKEY_CLASSES_ROOT, u"StubTests.PlatformProgId\\CLSID", 0,
                                                nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  const char16_t text[] = u"{5B0E0A4E-5555-6666-AABB-CCDDEEFF0102}";
  ASSERT_EQ(ERROR_SUCCESS,
            sys::RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text));
  sys::RegCloseKey(key);
  for (const char16_t* name : {u"StubTests.PlatformProgId", u"stubtests.platformprogid"}) {
    CLSID clsid{};
    EXPECT_EQ(S_OK, sys::CLSIDFromString(name, &clsid)) << Narrow(name);
    EXPECT_TRUE(SameGuid(clsid, kClass));
  }
}

TEST_F(PlatformComRegistryTest, CategoriesManagerWritesDescriptionsAndClassLists) {
  ICatRegister* manager = CCategoriesManager();
  ASSERT_NE(nullptr, manager);
  CATEGORYINFO infos[2] = {};
  infos[0].catid = kCategory;
  infos[0].lcid = 0x409;
  sys::SetCategoryDescription(infos[0], u"Platform Tests");
  infos[1].catid = kCategory;
  infos[1].lcid = 0x40A;
  sys::SetCategoryDescription(infos[1], u"Pruebas");
  EXPECT_EQ(S_OK, manager->RegisterCategories(2, infos));
  EXPECT_EQ(E_POINTER, manager->RegisterCategories(1, nullptr));

  // The value name is the locale in upper-case hexadecimal; the string keeps
  // its terminator.
  StoredValue english = ReadValue(HKEY_CLASSES_ROOT, kCategoryPath, u"409");
  ASSERT_TRUE(english.exists);
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), english.type);
  const char16_t expected[] = u"Platform Tests";
  EXPECT_EQ(std::vector<BYTE>(reinterpret_cast<const BYTE*>(expected),
                              reinterpret_cast<const BYTE*>(expected) + sizeof expected),
            english.data);
  EXPECT_TRUE(ReadValue(HKEY_CLASSES_ROOT, kCategoryPath, u"40A").exists);

  CATID category = kCategory;
  EXPECT_EQ(S_OK, manager->RegisterClassImplCategories(kClass, 1, &category));
  HKEY list = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            sys::RegOpenKeyExW(HKEY_CLASSES_ROOT,
                               u"CLSID\\{5B0E0A4E-5555-6666-AABB-CCDDEEFF0102}\\Implemented Categories", 0,
                               KEY_READ, &list));
  EXPECT_EQ(std::vector<std::u16string>{u"{5B0E0A4E-3333-4444-AABB-CCDDEEFF0102}"}, SubkeyNames(list));

  // Unregistering a class's category leaves the (now empty) list key; a class
  // never registered is a failure.
  EXPECT_EQ(S_OK, manager->UnRegisterClassImplCategories(kClass, 1, &category));
  EXPECT_TRUE(SubkeyNames(list).empty());
  sys::RegCloseKey(list);
  CLSID unknown = kClass;
  unknown.Data2 = 0x7777;
  EXPECT_EQ(E_FAIL, manager->UnRegisterClassImplCategories(unknown, 1, &category));

  EXPECT_EQ(S_OK, manager->UnRegisterCategories(1, &category));
  EXPECT_EQ(S_OK, manager->UnRegisterCategories(1, &category));
  EXPECT_FALSE(ReadValue(HKEY_CLASSES_ROOT, kCategoryPath, u"409").exists);
  manager->Release();
}

TEST_F(PlatformComTest, CreateInstanceFailuresClearTheOutput) {
  const CLSID unknown = {0x5B0E0A4E, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(REGDB_E_CLASSNOTREG,
            sys::CoCreateInstance(unknown, nullptr, CLSCTX_INPROC, IID_IUnknown, &object));
  EXPECT_EQ(nullptr, object);
  EXPECT_EQ(E_POINTER,
            sys::CoCreateInstance(kCategoriesManager, nullptr, CLSCTX_INPROC, kCatRegister, nullptr));
}

TEST_F(PlatformComTest, TaskMemoryEdgeCases) {
  void* block = sys::CoTaskMemRealloc(nullptr, 16);  // acts as an allocation
  ASSERT_NE(nullptr, block);
  std::memset(block, 0x5A, 16);
  block = sys::CoTaskMemRealloc(block, 4096);
  ASSERT_NE(nullptr, block);
  EXPECT_EQ(0x5A, static_cast<unsigned char*>(block)[15]);  // contents survive growth
  sys::CoTaskMemFree(block);
  sys::CoTaskMemFree(nullptr);
  void* empty = sys::CoTaskMemAlloc(0);
  EXPECT_NE(nullptr, empty);
  sys::CoTaskMemFree(empty);
}

}  // namespace
}  // namespace platform_test
