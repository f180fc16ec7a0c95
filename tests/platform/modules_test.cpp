// Module file names and path conversion pinned on both targets: the package
// folder is derived from these answers.
#include <algorithm>

#include "platform_test_support.h"

namespace platform_test {
namespace {

using PlatformModulesTest = PlatformTest;

std::u16string ModuleName() {
  char16_t name[520];
  DWORD length = sys::GetModuleFileNameW(sys::ThisModule(), name, 520);
  return std::u16string(name, length);
}

TEST_F(PlatformModulesTest, ModuleFileNameTruncatesAndReportsAShortBuffer) {
  const std::u16string full = ModuleName();
  ASSERT_GT(full.size(), 4u);
  const DWORD length = static_cast<DWORD>(full.size());
  char16_t name[520];

  sys::SetLastError(0);
  EXPECT_EQ(length, sys::GetModuleFileNameW(sys::ThisModule(), name, length + 1));
  EXPECT_EQ(0u, sys::GetLastError());
  EXPECT_EQ(full, std::u16string(name));

  // Too small, even by the terminator alone: the answer is the buffer size
  // with ERROR_INSUFFICIENT_BUFFER, and what was copied is a prefix. (Windows
  // XP and Wine leave it unterminated, later Windows terminate it: callers must
  // treat a full buffer as failure rather than rely on either.)
  for (DWORD size : {length, length - 1, DWORD{4}, DWORD{1}}) {
    std::fill(std::begin(name), std::end(name), u'#');
    sys::SetLastError(0);
    EXPECT_EQ(size, sys::GetModuleFileNameW(sys::ThisModule(), name, size)) << size;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), sys::GetLastError()) << size;
    EXPECT_EQ(full.substr(0, size - 1), std::u16string(name, size - 1)) << size;
    EXPECT_EQ(u'#', name[size]) << size;
  }
  sys::SetLastError(0);
  EXPECT_EQ(0u, sys::GetModuleFileNameW(sys::ThisModule(), name, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), sys::GetLastError());
}

TEST_F(PlatformModulesTest, LongAndShortNamesConvertBothWays) {
  const std::u16string full = ModuleName();
  char16_t shortName[520], longName[520];
  DWORD shortLength = sys::GetShortPathNameW(full.c_str(), shortName, 520);
  ASSERT_GT(shortLength, 0u);
  DWORD longLength = sys::GetLongPathNameW(shortName, longName, 520);
  ASSERT_EQ(full.size(), longLength);
  EXPECT_EQ(0, sys::lstrcmpiW(full.c_str(), longName));

  // A short buffer gets the size needed, terminator included, and is left alone.
  std::fill(std::begin(longName), std::end(longName), u'#');
  EXPECT_EQ(longLength + 1, sys::GetLongPathNameW(shortName, longName, longLength));
  EXPECT_EQ(u'#', longName[0]);
  EXPECT_EQ(longLength + 1, sys::GetLongPathNameW(shortName, nullptr, 0));
  std::fill(std::begin(shortName), std::end(shortName), u'#');
  EXPECT_EQ(shortLength + 1, sys::GetShortPathNameW(full.c_str(), shortName, 3));
  EXPECT_EQ(u'#', shortName[0]);
}

TEST_F(PlatformModulesTest, LongPathOfAMissingFileFails) {
  char16_t name[260];
  for (const char16_t* path : {u"C:\\No\\Such\\Folder\\Stub.dll", u"C:\\NoSuchStubFile.dll"}) {
    sys::SetLastError(0);
    EXPECT_EQ(0u, sys::GetLongPathNameW(path, name, 260)) << Narrow(path);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), sys::GetLastError()) << Narrow(path);
  }
}

}  // namespace
}  // namespace platform_test
