#include "support/registry_sandbox.h"

#ifdef _WIN32

#include <cstdio>
#include <string>

namespace test {
namespace {

constexpr wchar_t kSandboxParent[] = L"Software\\StubTests";

const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

bool ProcessAlive(DWORD pid) {
  HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (!process) return false;
  const bool running = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  ::CloseHandle(process);
  return running;
}

// Removes sandboxes left by test processes that died before cleaning up. A
// sandbox is named "<pid>-<test>"; those of live processes (tests running in
// parallel in the same prefix) are left alone.
void SweepStaleSandboxes() {
  HKEY parent = nullptr;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, kSandboxParent, 0, KEY_READ | KEY_WRITE, &parent) != ERROR_SUCCESS) {
    return;
  }
  std::vector<std::wstring> stale;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD length = 256;
    if (::RegEnumKeyExW(parent, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    const unsigned long pid = std::wcstoul(name, nullptr, 10);
    if (pid != ::GetCurrentProcessId() && !ProcessAlive(pid)) stale.emplace_back(name);
  }
  for (const std::wstring& name : stale) ::RegDeleteTreeW(parent, name.c_str());
  ::RegCloseKey(parent);
}

HKEY CreateOrDie(HKEY parent, const std::wstring& path) {
  HKEY key = nullptr;
  const LONG result =
      ::RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  EXPECT_EQ(result, ERROR_SUCCESS) << "cannot create the sandbox key";
  return key;
}

}  // namespace

void RegistrySandbox::SetUp() {
  static bool swept = false;
  if (!swept) {
    SweepStaleSandboxes();
    swept = true;
  }
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string name =
      std::to_string(::GetCurrentProcessId()) + "-" + info->test_suite_name() + "." + info->name();
  std::wstring path = std::wstring(kSandboxParent) + L"\\";
  for (char c : name) path += (c == '\\' || c == '/') ? L'_' : static_cast<wchar_t>(c);
  privatePath_.assign(path.begin(), path.end());
  ::RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
  classesRoot_ = CreateOrDie(HKEY_CURRENT_USER, path + L"\\HKCR");
  currentUser_ = CreateOrDie(HKEY_CURRENT_USER, path + L"\\HKCU");
  ASSERT_EQ(::RegOverridePredefKey(HKEY_CLASSES_ROOT, classesRoot_), ERROR_SUCCESS);
  ASSERT_EQ(::RegOverridePredefKey(HKEY_CURRENT_USER, currentUser_), ERROR_SUCCESS);
}

void RegistrySandbox::TearDown() {
  ::RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
  ::RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
  if (classesRoot_) ::RegCloseKey(classesRoot_);
  if (currentUser_) ::RegCloseKey(currentUser_);
  classesRoot_ = currentUser_ = nullptr;
  EXPECT_EQ(::RegDeleteTreeW(HKEY_CURRENT_USER, Wide(privatePath_)), ERROR_SUCCESS);
}

void RegistrySandbox::PutKey(HKEY root, const std::u16string& path) {
  HKEY key = CreateOrDie(root, std::wstring(path.begin(), path.end()));
  if (key) ::RegCloseKey(key);
}

void RegistrySandbox::PutValue(HKEY root, const std::u16string& path, const std::u16string& name, DWORD type,
                               const std::vector<BYTE>& data) {
  HKEY key = CreateOrDie(root, std::wstring(path.begin(), path.end()));
  if (!key) return;
  EXPECT_EQ(::RegSetValueExW(key, name.empty() ? nullptr : Wide(name), 0, type, data.data(),
                             static_cast<DWORD>(data.size())),
            ERROR_SUCCESS);
  ::RegCloseKey(key);
}

}  // namespace test

#else  // emulated platform

#include "platform/emulated/emulator.h"

namespace test {

void RegistrySandbox::SetUp() { emu::Reset(); }

void RegistrySandbox::TearDown() {}

void RegistrySandbox::PutKey(HKEY root, const std::u16string& path) { emu::CreateKey(root, path); }

void RegistrySandbox::PutValue(HKEY root, const std::u16string& path, const std::u16string& name, DWORD type,
                               const std::vector<BYTE>& data) {
  emu::SetValue(root, path, name, type, data);
}

}  // namespace test

#endif
