// From the module's file name to the package directory.
#include <gtest/gtest.h>

#include <string>

#include "package/module_path.h"

#ifndef _WIN32
#include "platform/emulated/emulator.h"
#include "support/registry_sandbox.h"
#endif

namespace {

std::u16string Directory(const std::u16string& longPath) {
  char16_t directory[kModulePathCapacity] = {u'x'};
  bool ok = GetPackageDirectory(longPath.c_str(), directory);
  return ok ? std::u16string(directory) : u"<none:" + std::u16string(directory) + u">";
}

TEST(PackageModulePathTest, TheDirectoryIsThePathLessItsExtensionWithABackslash) {
  EXPECT_EQ(Directory(u"C:\\P\\A.dll"), u"C:\\P\\A\\");
  EXPECT_EQ(Directory(u"C:\\P\\Pack.v2.ocx"), u"C:\\P\\Pack.v2\\");
  EXPECT_EQ(Directory(u"x.dll"), u"x\\");
  // Nothing left before the extension names no folder; nothing is read below zero.
  for (const char16_t* tooShort : {u".dll", u"abc", u""}) EXPECT_EQ(Directory(tooShort), u"<none:>");
  // The longest module path still fits; a longer text is no module path.
  std::u16string longest = u"C:\\" + std::u16string(252, u'a') + u".dll";
  EXPECT_EQ(Directory(longest), u"C:\\" + std::u16string(252, u'a') + u"\\");
  EXPECT_EQ(Directory(longest + u"x"), u"<none:>");
}

#ifndef _WIN32
std::u16string LongPath() {
  char16_t longPath[kModulePathCapacity] = {u'x'};
  GetModuleLongPath(sys::ThisModule(), longPath);
  return longPath;
}

// The module's name and its short form are set up through the emulator.
class PackageModuleLongPathTest : public test::RegistrySandbox {};

TEST_F(PackageModuleLongPathTest, TheLongFormIsUsedWhenThereIsOne) {
  emu::SetShortName(u"C:\\Program Files\\Tarvo Packages\\Style.dll", u"C:\\PROGRA~1\\TARVOP~1\\Style.dll");
  emu::SetModuleFileName(sys::ThisModule(), u"C:\\PROGRA~1\\TARVOP~1\\Style.dll");
  EXPECT_EQ(LongPath(), u"C:\\Program Files\\Tarvo Packages\\Style.dll");

  // A failed conversion, or a long form longer than a module path may be,
  // leaves the name as the loader reports it.
  emu::FailCall(emu::Call::GetLongPathNameW, 1, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(LongPath(), u"C:\\PROGRA~1\\TARVOP~1\\Style.dll");
  std::u16string deep = u"C:\\" + std::u16string(300, u'd') + u"\\Style.dll";
  emu::SetShortName(deep, u"C:\\DDDDDD~1\\Style.dll");
  emu::SetModuleFileName(sys::ThisModule(), u"C:\\DDDDDD~1\\Style.dll");
  EXPECT_EQ(LongPath(), u"C:\\DDDDDD~1\\Style.dll");
}
#endif

}  // namespace
