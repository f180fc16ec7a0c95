#include "platform_test_support.h"

#ifndef _WIN32
#include "platform/emulated/emulator.h"
#endif

namespace platform_test {
namespace {

std::vector<std::u16string>& WrittenFiles() {
  static std::vector<std::u16string> files;
  return files;
}

std::u16string Widen(const char* text) {
  std::u16string out;
  for (; *text; ++text) out += static_cast<char16_t>(static_cast<unsigned char>(*text));
  return out;
}

}  // namespace

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04X", static_cast<unsigned>(c));
      out += buffer;
    }
  }
  return out;
}

void PlatformTest::SetUp() {
#ifdef _WIN32
  ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
#else
  emu::Reset();
#endif
}

void PlatformTest::TearDown() {
#ifdef _WIN32
  ::CoUninitialize();
#endif
}

void PrivateKeyTest::SetUp() {
  PlatformTest::SetUp();
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  basePath_ = u"Software\\StubTests\\" + Widen(info->test_suite_name()) + u"." + Widen(info->name());
  DeleteTree(HKEY_CURRENT_USER, basePath_);  // left over from an interrupted run
  DWORD disposition = 0;
  ASSERT_EQ(ERROR_SUCCESS,
            sys::RegCreateKeyExW(HKEY_CURRENT_USER, basePath_.c_str(), 0, nullptr, 0,
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
  if (::RegOpenKeyExW(root, reinterpret_cast<const wchar_t*>(path.c_str()), 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS) {
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

std::u16string TestFolder() {
#ifdef _WIN32
  wchar_t temp[MAX_PATH];
  DWORD length = ::GetTempPathW(MAX_PATH, temp);
  std::u16string folder(reinterpret_cast<const char16_t*>(temp), length);
  if (!folder.empty() && folder.back() == u'\\') folder.pop_back();
  return folder + u"\\StubPlatformTests";
#else
  return u"C:\\PlatformTests";
#endif
}

void WriteTestFile(const std::u16string& name, const std::string& bytes) {
  std::u16string path = TestFolder() + u"\\" + name;
#ifdef _WIN32
  ::CreateDirectoryW(reinterpret_cast<const wchar_t*>(TestFolder().c_str()), nullptr);
  HANDLE file = ::CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), GENERIC_WRITE, 0,
                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  DWORD written = 0;
  ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ::CloseHandle(file);
  ASSERT_EQ(bytes.size(), written);
#else
  emu::PutFile(path, bytes);
#endif
  WrittenFiles().push_back(path);
}

void RemoveTestFiles() {
#ifdef _WIN32
  for (const std::u16string& path : WrittenFiles()) {
    ::DeleteFileW(reinterpret_cast<const wchar_t*>(path.c_str()));
  }
  ::RemoveDirectoryW(reinterpret_cast<const wchar_t*>(TestFolder().c_str()));
#else
  for (const std::u16string& path : WrittenFiles()) emu::RemoveFile(path);
#endif
  WrittenFiles().clear();
}

}  // namespace platform_test
