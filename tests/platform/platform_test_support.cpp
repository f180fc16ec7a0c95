#include "platform_test_support.h"

#ifndef _WIN32
#include "platform/emulated/emulator.h"
#endif

namespace platform_test {
namespace {

std::u16string Widen(const char* text) {
  std::u16string out;
  for (; *text; ++text) out += static_cast<char16_t>(static_cast<unsigned char>(*text));
  return out;
}

}  // namespace

void PlatformTest::SetUp() {
  test::PlatformSandbox::SetUp();
#ifdef _WIN32
  ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
#endif
}

void PlatformTest::TearDown() {
#ifdef _WIN32
  ::CoUninitialize();
#endif
  test::PlatformSandbox::TearDown();
}

void PrivateKeyTest::SetUp() {
  PlatformTest::SetUp();
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  basePath_ = u"Software\\StubTests\\" + Widen(info->test_suite_name()) + u"." + Widen(info->name());
  DeleteTree(HKEY_CURRENT_USER, basePath_);  // left over from an interrupted run
  DWORD disposition = 0;
  ASSERT_EQ(ERROR_SUCCESS, sys::RegCreateKeyExW(HKEY_CURRENT_USER, basePath_.c_str(), 0, nullptr, 0,
                                                KEY_ALL_ACCESS, nullptr, &base_, &disposition));
  ASSERT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
}

void PrivateKeyTest::TearDown() {
  if (base_) sys::RegCloseKey(base_);
  EXPECT_EQ(ERROR_SUCCESS, DeleteTree(HKEY_CURRENT_USER, basePath_));
  sys::RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\StubTests");  // only if now empty
  PlatformTest::TearDown();
}

LONG DeleteTree(HKEY parent, const std::u16string& name) {
  HKEY key = nullptr;
  LONG status = sys::RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ | KEY_WRITE | DELETE, &key);
  if (status != ERROR_SUCCESS) return status;
  for (const std::u16string& child : SubkeyNames(key)) {
    status = DeleteTree(key, child);
    if (status != ERROR_SUCCESS) break;
  }
  sys::RegCloseKey(key);
  return status == ERROR_SUCCESS ? sys::RegDeleteKeyW(parent, name.c_str()) : status;
}

std::vector<std::u16string> SubkeyNames(HKEY key) {
  std::vector<std::u16string> names;
  for (DWORD index = 0;; ++index) {
    char16_t name[256];
    DWORD length = 256;
    if (sys::RegEnumKeyExW(key, index, name, &length) != ERROR_SUCCESS) break;
    names.emplace_back(name, length);
  }
  return names;
}

StoredValue ReadValue(HKEY root, const std::u16string& path, const std::u16string& name) {
  StoredValue value;
#ifdef _WIN32
  HKEY key = nullptr;
  if (::RegOpenKeyExW(root, reinterpret_cast<const wchar_t*>(path.c_str()), 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    return value;
  }
  DWORD size = 0;
  const wchar_t* valueName = reinterpret_cast<const wchar_t*>(name.c_str());
  if (::RegQueryValueExW(key, valueName, nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
    value.data.resize(size);
    value.exists = ::RegQueryValueExW(key, valueName, nullptr, &value.type,
                                      size ? value.data.data() : nullptr, &size) == ERROR_SUCCESS;
    value.data.resize(size);
  }
  ::RegCloseKey(key);
#else
  for (const emu::Value& stored : emu::ReadKey(root, path).values) {
    if (sys::lstrcmpiW(stored.name.c_str(), name.c_str()) == 0) {
      value.exists = true;
      value.type = stored.type;
      value.data = stored.data;
    }
  }
#endif
  return value;
}

}  // namespace platform_test
