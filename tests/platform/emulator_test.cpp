// Behaviour only the emulator can show: access rules that Wine does not
// enforce, keys tests mark unreadable or read-only, leak counters, injected
// faults, the module table, and thread safety.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <thread>

#include "platform/emulated/emulator.h"
#include "platform_test_support.h"
#include "support/registry_sandbox.h"

namespace platform_test {
namespace {

class PlatformEmulatorTest : public test::RegistrySandbox {
 protected:
  HKEY Create(HKEY parent, const char16_t* name, REGSAM access = KEY_ALL_ACCESS) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS,
              sys::RegCreateKeyExW(parent, name, 0, nullptr, 0, access, nullptr, &key, nullptr));
    return key;
  }
};

TEST_F(PlatformEmulatorTest, DocumentedRightsAreEnforcedWhereWineIsLax) {
  emu::CreateKey(HKEY_CURRENT_USER, u"Software\\Parent\\Existing");
  HKEY parent = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, sys::RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Parent", 0, KEY_READ, &parent));
  // Adding a subkey needs KEY_CREATE_SUB_KEY; opening an existing one by create does not.
  HKEY child = nullptr;
  EXPECT_EQ(ERROR_ACCESS_DENIED,
            sys::RegCreateKeyExW(parent, u"New", 0, nullptr, 0, KEY_READ, nullptr, &child, nullptr));
  EXPECT_FALSE(emu::KeyExists(HKEY_CURRENT_USER, u"Software\\Parent\\New"));
  EXPECT_EQ(ERROR_SUCCESS,
            sys::RegCreateKeyExW(parent, u"Existing", 0, nullptr, 0, KEY_READ, nullptr, &child, nullptr));
  sys::RegCloseKey(child);
  sys::RegCloseKey(parent);
  // Counting subkeys needs KEY_QUERY_VALUE.
  ASSERT_EQ(ERROR_SUCCESS,
            sys::RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Parent", 0, KEY_ENUMERATE_SUB_KEYS, &parent));
  DWORD count = 0;
  EXPECT_EQ(ERROR_ACCESS_DENIED, sys::RegQueryInfoKeyW(parent, &count));
  sys::RegCloseKey(parent);
  EXPECT_EQ(0, emu::OpenKeyHandles());
}

TEST_F(PlatformEmulatorTest, UnreadableAndReadOnlyKeys) {
  HKEY held = Create(HKEY_CLASSES_ROOT, u"Hidden");
  emu::MarkKeyUnreadable(HKEY_CLASSES_ROOT, u"Hidden");
  HKEY key = nullptr;
  char16_t name[16];
  DWORD length = 16, count = 0;
  EXPECT_EQ(ERROR_ACCESS_DENIED, sys::RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Hidden", 0, KEY_READ, &key));
  EXPECT_EQ(ERROR_ACCESS_DENIED, sys::RegEnumKeyExW(held, 0, name, &length));
  EXPECT_EQ(ERROR_ACCESS_DENIED, sys::RegQueryInfoKeyW(held, &count));
  EXPECT_EQ(ERROR_ACCESS_DENIED, sys::RegDeleteKeyW(HKEY_CLASSES_ROOT, u"Hidden"));
  sys::RegCloseKey(held);

  emu::SetValue(HKEY_CLASSES_ROOT, u"Fixed", u"", REG_SZ, {'x', 0, 0, 0});
  emu::MarkKeyReadOnly(HKEY_CLASSES_ROOT, u"Fixed");
  EXPECT_EQ(ERROR_ACCESS_DENIED,
            sys::RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Fixed", 0, KEY_READ | KEY_WRITE, &key));
  EXPECT_EQ(ERROR_ACCESS_DENIED, sys::RegCreateKeyExW(HKEY_CLASSES_ROOT, u"Fixed", 0, nullptr, 0,
                                                      KEY_READ | KEY_WRITE, nullptr, &key, nullptr));
  EXPECT_EQ(ERROR_ACCESS_DENIED, sys::RegCreateKeyExW(HKEY_CLASSES_ROOT, u"Fixed\\Below", 0, nullptr, 0,
                                                      KEY_READ, nullptr, &key, nullptr));
  EXPECT_EQ(ERROR_ACCESS_DENIED, sys::RegDeleteKeyW(HKEY_CLASSES_ROOT, u"Fixed"));
  ASSERT_EQ(ERROR_SUCCESS, sys::RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Fixed", 0, KEY_READ, &key));
  const BYTE data[] = {'y', 0};
  EXPECT_EQ(ERROR_ACCESS_DENIED, sys::RegSetValueExW(key, nullptr, 0, REG_SZ, data, 2));
  sys::RegCloseKey(key);
  emu::KeyContents fixed = emu::ReadKey(HKEY_CLASSES_ROOT, u"Fixed");
  ASSERT_EQ(1u, fixed.values.size());
  EXPECT_EQ((std::vector<BYTE>{'x', 0, 0, 0}), fixed.values[0].data);
  EXPECT_TRUE(fixed.subkeys.empty());
}

TEST_F(PlatformEmulatorTest, HandlesAreCountedUniqueAndForgottenByReset) {
  std::set<HKEY> handles;
  for (int i = 0; i < 50; ++i) handles.insert(Create(HKEY_LOCAL_MACHINE, u"Software\\Counted"));
  EXPECT_EQ(50u, handles.size());
  EXPECT_EQ(50, emu::OpenKeyHandles());
  for (HKEY key : handles) EXPECT_GE(reinterpret_cast<std::uintptr_t>(key), 0x80000007u);
  sys::RegCloseKey(*handles.begin());
  EXPECT_EQ(49, emu::OpenKeyHandles());
  sys::RegCloseKey(HKEY_LOCAL_MACHINE);  // roots are not counted
  EXPECT_EQ(49, emu::OpenKeyHandles());

  Renew();  // a new test's emulator
  EXPECT_EQ(0, emu::OpenKeyHandles());
  EXPECT_FALSE(emu::KeyExists(HKEY_LOCAL_MACHINE, u"Software"));
  EXPECT_EQ(ERROR_INVALID_HANDLE, sys::RegCloseKey(*handles.rbegin()));
}

TEST_F(PlatformEmulatorTest, ChangesSinceAMarkAreToldAndPutBack) {
  const auto dword = [](BYTE n) { return std::vector<BYTE>{n, 0, 0, 0}; };
  emu::SetValue(HKEY_CLASSES_ROOT, u"Keep", u"a", REG_DWORD, dword(1));
  emu::SetValue(HKEY_CLASSES_ROOT, u"Keep", u"b", REG_DWORD, dword(2));
  emu::SetValue(HKEY_CLASSES_ROOT, u"Old\\Sub", u"x", REG_DWORD, dword(3));
  emu::CreateKey(HKEY_CLASSES_ROOT, u"Untouched");
  emu::MarkRegistry();

  // A value changed and one deleted; a tree deleted and its top made again in
  // other letters; new keys; a value on the root itself.
  HKEY key = Create(HKEY_CLASSES_ROOT, u"Keep");
  const DWORD nine = 9;
  sys::RegSetValueExW(key, u"B", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&nine), sizeof nine);
  EXPECT_EQ(ERROR_SUCCESS, sys::RegDeleteValueW(key, u"a"));
  sys::RegCloseKey(key);
  EXPECT_EQ(ERROR_SUCCESS, sys::RegDeleteKeyW(HKEY_CLASSES_ROOT, u"Old\\Sub"));
  EXPECT_EQ(ERROR_SUCCESS, sys::RegDeleteKeyW(HKEY_CLASSES_ROOT, u"Old"));
  sys::RegCloseKey(Create(HKEY_CLASSES_ROOT, u"OLD"));
  sys::RegCloseKey(Create(HKEY_CLASSES_ROOT, u"New\\Deep"));
  sys::RegSetValueExW(HKEY_CLASSES_ROOT, u"r", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&nine),
                      sizeof nine);

  std::map<std::u16string, emu::KeyChange> told;
  for (emu::KeyChange& c : emu::RegistryChanges()) told[c.before] = std::move(c);
  ASSERT_EQ((std::set<std::u16string>{u"", u"Keep", u"Old", u"Old\\Sub", u"New", u"New\\Deep"}), [&] {
    std::set<std::u16string> s;
    for (auto& [k, c] : told) s.insert(k);
    return s;
  }());
  EXPECT_TRUE(told[u"Keep"].existed && told[u"Keep"].exists);
  EXPECT_EQ(2u, told[u"Keep"].valuesBefore.size());
  EXPECT_EQ(1u, told[u"Keep"].values.size());
  EXPECT_EQ(u"OLD", told[u"Old"].now);
  EXPECT_TRUE(told[u"Old\\Sub"].existed && !told[u"Old\\Sub"].exists);
  EXPECT_TRUE(!told[u"New\\Deep"].existed && told[u"New\\Deep"].exists);
  EXPECT_TRUE(told[u""].valuesBefore.empty());

  // Back as it was: values in their order, names as spelled, new keys gone;
  // later changes are not noted.
  emu::RollBackRegistry();
  const emu::KeyContents keep = emu::ReadKey(HKEY_CLASSES_ROOT, u"Keep");
  ASSERT_EQ(2u, keep.values.size());
  EXPECT_EQ(u"a", keep.values[0].name);
  EXPECT_EQ(dword(2), keep.values[1].data);
  const emu::KeyContents root = emu::ReadKey(HKEY_CLASSES_ROOT, u"");
  EXPECT_TRUE(root.values.empty());
  EXPECT_EQ((std::set<std::u16string>{u"Keep", u"Old", u"Untouched"}),
            std::set<std::u16string>(root.subkeys.begin(), root.subkeys.end()));
  EXPECT_EQ(dword(3), emu::ReadKey(HKEY_CLASSES_ROOT, u"Old\\Sub").values.at(0).data);
  emu::CreateKey(HKEY_CLASSES_ROOT, u"Later");
  EXPECT_TRUE(emu::RegistryChanges().empty());
}

TEST_F(PlatformEmulatorTest, InjectedCallFailuresHitTheNthCallOnly) {
  emu::FailCall(emu::Call::RegOpenKeyExW, 2, ERROR_ACCESS_DENIED);
  emu::FailCall(emu::Call::CoCreateInstance, 1, E_OUTOFMEMORY);
  emu::FailCall(emu::Call::VarUI4FromStr, 1, DISP_E_OVERFLOW);
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, sys::RegOpenKeyExW(HKEY_CURRENT_USER, nullptr, 0, KEY_READ, &key));
  sys::RegCloseKey(key);
  key = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(1));
  EXPECT_EQ(ERROR_ACCESS_DENIED, sys::RegOpenKeyExW(HKEY_CURRENT_USER, nullptr, 0, KEY_READ, &key));
  EXPECT_EQ(nullptr, key);
  EXPECT_EQ(ERROR_SUCCESS, sys::RegOpenKeyExW(HKEY_CURRENT_USER, nullptr, 0, KEY_READ, &key));
  sys::RegCloseKey(key);
  EXPECT_EQ(3, emu::CallCount(emu::Call::RegOpenKeyExW));
  EXPECT_EQ(2, emu::CallCount(emu::Call::RegCloseKey));

  void* object = &key;
  EXPECT_EQ(E_OUTOFMEMORY, sys::CoCreateInstance(CLSID{}, nullptr, CLSCTX_INPROC, IID_IUnknown, &object));
  EXPECT_EQ(nullptr, object);
  ULONG value = 7;
  EXPECT_EQ(DISP_E_OVERFLOW, sys::VarUI4FromStr(u"1", 0, 0, &value));
  EXPECT_EQ(7u, value);

  for (emu::Call call :
       {emu::Call::GetModuleFileNameW, emu::Call::GetLongPathNameW, emu::Call::MultiByteToWideChar}) {
    emu::FailCall(call, 1, ERROR_NOT_ENOUGH_MEMORY);
  }
  char16_t buffer[260];
  sys::SetLastError(0);
  EXPECT_EQ(0u, sys::GetModuleFileNameW(sys::ThisModule(), buffer, 260));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), sys::GetLastError());
  EXPECT_EQ(0u, sys::GetLongPathNameW(u"C:\\Packages\\Stub.dll", buffer, 260));
  EXPECT_EQ(0, sys::MultiByteToWideChar(CP_UTF8, 0, "a", 1, buffer, 260));
  EXPECT_EQ(20u, sys::GetLongPathNameW(u"C:\\Packages\\Stub.dll", buffer, 260));

  emu::FailCall(emu::Call::RegSetValueExW, 1, ERROR_OUTOFMEMORY);
  emu::ClearFaults();
  const BYTE byte = 1;
  EXPECT_EQ(ERROR_SUCCESS, sys::RegSetValueExW(HKEY_CURRENT_USER, u"V", 0, REG_BINARY, &byte, 1));
}

TEST_F(PlatformEmulatorTest, MemoryIsCountedAndAllocationFaultsKeepTheOldBlock) {
  void* block = sys::CoTaskMemAlloc(8);
  void* heap = sys::MemAlloc(8);
  EXPECT_EQ(1, emu::LiveTaskMemBlocks());
  EXPECT_EQ(1, emu::LiveHeapBlocks());
  std::memcpy(block, "content", 8);
  emu::FailAllocation(1);
  EXPECT_EQ(nullptr, sys::CoTaskMemRealloc(block, 64));
  EXPECT_STREQ("content", static_cast<char*>(block));
  EXPECT_EQ(1, emu::LiveTaskMemBlocks());
  emu::FailAllocation(2);
  sys::MemFree(heap);
  heap = sys::MemAlloc(4);
  EXPECT_NE(nullptr, heap);
  EXPECT_EQ(nullptr, sys::CoTaskMemAlloc(4));
  EXPECT_EQ(5, emu::AllocationCount());
  EXPECT_EQ(nullptr, sys::CoTaskMemRealloc(block, 0));  // frees
  sys::MemFree(heap);
  EXPECT_EQ(0, emu::LiveTaskMemBlocks());
  EXPECT_EQ(0, emu::LiveHeapBlocks());
}

TEST_F(PlatformEmulatorTest, CreatorsReceiveWhatTheCallerPassed) {
  const CLSID clsid = {0x11111111, 0x2222, 0x3333, {4, 5, 6, 7, 8, 9, 10, 11}};
  const IID iid = {0xAAAAAAAA, 0xBBBB, 0xCCCC, {1, 2, 3, 4, 5, 6, 7, 8}};
  IUnknown* seenOuter = nullptr;
  const IID* seenIid = nullptr;
  void** seenObject = nullptr;
  emu::RegisterClass(clsid, [&](IUnknown* outer, REFIID riid, void** object) {
    seenOuter = outer;
    seenIid = &riid;
    seenObject = object;
    return CLASS_E_NOAGGREGATION;
  });
  IUnknown* outer = reinterpret_cast<IUnknown*>(&seenOuter);
  void* object = nullptr;
  EXPECT_EQ(CLASS_E_NOAGGREGATION, sys::CoCreateInstance(clsid, outer, CLSCTX_INPROC_SERVER, iid, &object));
  EXPECT_EQ(outer, seenOuter);
  EXPECT_EQ(&iid, seenIid);
  EXPECT_EQ(&object, seenObject);
  // Only in-process activation reaches the class table.
  EXPECT_EQ(REGDB_E_CLASSNOTREG, sys::CoCreateInstance(clsid, nullptr, 0x4, iid, &object));
  emu::UnregisterClass(clsid);
  EXPECT_EQ(REGDB_E_CLASSNOTREG, sys::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC, iid, &object));
}

TEST_F(PlatformEmulatorTest, CategoriesManagerReportsRegistryRefusals) {
  emu::MarkKeyReadOnly(HKEY_CLASSES_ROOT, u"Component Categories");
  ICatRegister* manager = nullptr;
  ASSERT_EQ(S_OK, sys::CoCreateInstance({0x0002E005, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}}, nullptr,
                                        CLSCTX_INPROC, {0x0002E012, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}},
                                        reinterpret_cast<void**>(&manager)));
  CATEGORYINFO info = {};
  info.lcid = 0x409;
  sys::SetCategoryDescription(info, u"Refused");
  EXPECT_EQ(static_cast<HRESULT>(0x80070005), manager->RegisterCategories(1, &info));
  manager->Release();
  EXPECT_TRUE(emu::ReadKey(HKEY_CLASSES_ROOT, u"Component Categories").subkeys.empty());
}

TEST_F(PlatformEmulatorTest, FilesThatMisbehaveWhileRead) {
  emu::PutUnseekableFile(u"C:\\Dev\\Pipe.rgs", "abc");
  FILE* pipe = sys::_wfopen(u"c:\\dev\\pipe.RGS", u"rb");
  ASSERT_NE(nullptr, pipe);
  EXPECT_NE(0, sys::fseek(pipe, 0, SEEK_END));
  EXPECT_EQ(-1L, sys::ftell(pipe));
  EXPECT_EQ('a', sys::fgetc(pipe));

  emu::PutShrinkingFile(u"C:\\Dev\\Shrinking.rgs", "abc", 100);
  FILE* shrinking = sys::_wfopen(u"C:\\Dev\\Shrinking.rgs", u"rb");
  ASSERT_NE(nullptr, shrinking);
  ASSERT_EQ(0, sys::fseek(shrinking, 0, SEEK_END));
  EXPECT_EQ(100L, sys::ftell(shrinking));
  ASSERT_EQ(0, sys::fseek(shrinking, 0, SEEK_SET));
  char buffer[100];
  EXPECT_EQ(3u, sys::fread(buffer, 1, sizeof buffer, shrinking));
  EXPECT_EQ(2, emu::OpenFiles());
  sys::fclose(pipe);
  sys::fclose(shrinking);
  EXPECT_EQ(0, emu::OpenFiles());

  // Removing a file while it is open leaves the reader its content.
  emu::PutFile(u"C:\\Dev\\Gone.rgs", "kept");
  FILE* gone = sys::_wfopen(u"C:\\Dev\\Gone.rgs", u"rt");
  emu::RemoveFile(u"C:\\Dev\\Gone.rgs");
  ASSERT_NE(nullptr, gone);
  EXPECT_EQ(4u, sys::fread(buffer, 1, sizeof buffer, gone));
  sys::fclose(gone);

  emu::FailCall(emu::Call::_wfopen, 1, ERROR_ACCESS_DENIED);
  errno = 0;
  EXPECT_EQ(nullptr, sys::_wfopen(u"C:\\Dev\\Pipe.rgs", u"rb"));
  EXPECT_EQ(EACCES, errno);
  EXPECT_EQ(nullptr, sys::_wfopen(u"C:\\Dev\\Gone.rgs", u"rb"));
  EXPECT_EQ((std::vector<std::u16string>{u"c:\\dev\\pipe.RGS", u"C:\\Dev\\Shrinking.rgs",
                                         u"C:\\Dev\\Gone.rgs", u"C:\\Dev\\Pipe.rgs", u"C:\\Dev\\Gone.rgs"}),
            emu::OpenedPaths());
  EXPECT_EQ(0, emu::OpenFiles());
}

TEST_F(PlatformEmulatorTest, ModuleTableAndPathConversion) {
  char16_t name[260];
  ASSERT_EQ(20u, sys::GetModuleFileNameW(sys::ThisModule(), name, 260));
  EXPECT_EQ(u"C:\\Packages\\Stub.dll", std::u16string(name));
  // A short buffer keeps size - 1 characters and a terminator.
  EXPECT_EQ(5u, sys::GetModuleFileNameW(sys::ThisModule(), name, 5));
  EXPECT_EQ(u"C:\\P", std::u16string(name));

  emu::SetModuleFileName(sys::ThisModule(), u"C:\\Program Files\\Tarvo Pack\\Pack.dll",
                         u"C:\\PROGRA~1\\TARVOP~1\\Pack.dll");
  emu::SetShortName(u"C:\\Program Files", u"C:\\PROGRA~1");
  emu::PutFile(u"C:\\Program Files\\Tarvo Pack\\Pack\\Style.rgs", "");
  EXPECT_EQ(36u, sys::GetLongPathNameW(u"c:\\progra~1\\tarvop~1\\pack.dll", name, 260));
  EXPECT_EQ(u"C:\\Program Files\\Tarvo Pack\\Pack.dll", std::u16string(name));
  EXPECT_GT(sys::GetLongPathNameW(u"C:\\PROGRA~1\\Tarvo Pack\\Pack\\Style.rgs", name, 260), 0u);
  EXPECT_EQ(u"C:\\Program Files\\Tarvo Pack\\Pack\\Style.rgs", std::u16string(name));
  EXPECT_EQ(0u, sys::GetLongPathNameW(u"C:\\PROGRA~1\\Missing.dll", name, 260));
  sys::SetLastError(0);
  EXPECT_EQ(0u, sys::GetModuleFileNameW(reinterpret_cast<HMODULE>(name), name, 260));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), sys::GetLastError());
}

TEST_F(PlatformEmulatorTest, Utf8FaultsWineGetsWrongAreDecodedSoundly) {
  // Wine drops the "A" after a sequence cut short at the end of the input, and
  // writes half a surrogate pair into a one-unit buffer reporting success.
  char16_t wide[4];
  ASSERT_EQ(2, sys::MultiByteToWideChar(CP_UTF8, 0, "\xE0\x41", 2, wide, 4));
  EXPECT_EQ(u"\uFFFDA", std::u16string(wide, 2));
  ASSERT_EQ(3, sys::MultiByteToWideChar(CP_UTF8, 0, "\xF0\x41\x42", 3, wide, 4));
  EXPECT_EQ(u"\uFFFDAB", std::u16string(wide, 3));
  sys::SetLastError(0);
  EXPECT_EQ(0, sys::MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x98\x80", 4, wide, 1));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), sys::GetLastError());
}

TEST_F(PlatformEmulatorTest, CriticalSectionsAndMessageBoxes) {
  CRITICAL_SECTION section{};
  ASSERT_TRUE(sys::InitializeCriticalSection(&section));
  EXPECT_EQ(1, emu::LiveCriticalSections());
  sys::EnterCriticalSection(&section);
  sys::EnterCriticalSection(&section);  // recursive, as Windows sections are
  std::atomic<bool> entered{false};
  std::thread other([&] {
    sys::EnterCriticalSection(&section);
    entered = true;
    sys::LeaveCriticalSection(&section);
  });
  sys::LeaveCriticalSection(&section);
  EXPECT_FALSE(entered);
  sys::LeaveCriticalSection(&section);
  other.join();
  EXPECT_TRUE(entered);
  sys::DeleteCriticalSection(&section);
  EXPECT_EQ(0, emu::LiveCriticalSections());
  emu::FailCall(emu::Call::InitializeCriticalSection, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(sys::InitializeCriticalSection(&section));
  EXPECT_EQ(0, emu::LiveCriticalSections());

  EXPECT_EQ(1, sys::MessageBoxW(nullptr, u"C:\\P\\Style.rgs", u"Failed to load file!", MB_OK));
  ASSERT_EQ(1u, emu::MessageBoxes().size());
  EXPECT_EQ(nullptr, emu::MessageBoxes()[0].owner);
  EXPECT_EQ(u"C:\\P\\Style.rgs", emu::MessageBoxes()[0].text);
  EXPECT_EQ(u"Failed to load file!", emu::MessageBoxes()[0].caption);
  EXPECT_EQ(static_cast<UINT>(MB_OK), emu::MessageBoxes()[0].type);

  // The window station a box would appear on: visible until a test hides it.
  const HWINSTA station = sys::GetProcessWindowStation();
  ASSERT_NE(nullptr, station);
  USEROBJECTFLAGS flags = {};
  DWORD length = 0;
  ASSERT_TRUE(sys::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &length));
  EXPECT_EQ(static_cast<DWORD>(sizeof flags), length);
  EXPECT_EQ(static_cast<DWORD>(WSF_VISIBLE), flags.dwFlags);
  emu::SetWindowStationVisible(false);
  ASSERT_TRUE(sys::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &length));
  EXPECT_EQ(0u, flags.dwFlags);
  EXPECT_FALSE(sys::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags - 1, &length));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), sys::GetLastError());
  EXPECT_FALSE(sys::GetUserObjectInformationW(nullptr, UOI_FLAGS, &flags, sizeof flags, &length));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), sys::GetLastError());
}

TEST_F(PlatformEmulatorTest, ConcurrentUseIsSafe) {
  emu::CreateKey(HKEY_CLASSES_ROOT, u"CLSID\\Shared");
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::u16string name = u"CLSID\\T" + std::u16string(1, static_cast<char16_t>(u'0' + t));
      for (int i = 0; i < 200; ++i) {
        HKEY key = nullptr;
        if (sys::RegCreateKeyExW(HKEY_CLASSES_ROOT, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                 &key, nullptr) != ERROR_SUCCESS) {
          ++failures;
          continue;
        }
        DWORD count = 0;
        if (sys::RegQueryInfoKeyW(key, &count) != ERROR_SUCCESS) ++failures;
        sys::RegCloseKey(key);
        if (sys::RegDeleteKeyW(HKEY_CLASSES_ROOT, name.c_str()) != ERROR_SUCCESS) ++failures;
        sys::CoTaskMemFree(sys::CoTaskMemAlloc(16));
        if (sys::RegOpenKeyExW(HKEY_CLASSES_ROOT, u"CLSID\\Shared", 0, KEY_READ, &key) == ERROR_SUCCESS) {
          sys::RegCloseKey(key);
        } else {
          ++failures;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(0, emu::OpenKeyHandles());
  EXPECT_EQ(0, emu::LiveTaskMemBlocks());
}

}  // namespace
}  // namespace platform_test
