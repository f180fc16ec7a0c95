// Reading the class identifiers out of the package scripts. Refusals show a
// message box, so they are checked over the emulator, which records the boxes;
// under Wine the end-to-end tests see the real boxes.
#include <gtest/gtest.h>

#include <string>

#include "package/class_identity.h"
#include "server/guids.h"
#include "support/package_files.h"
#include "support/registry_sandbox.h"

#ifndef _WIN32
#include "platform/emulated/emulator.h"
#endif

namespace {

constexpr GUID kStyleId = {0xDEADBEEF, 0x0123, 0x4567, {0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67}};
constexpr GUID kTextId = {0x0A1B2C3D, 0x4E5F, 0x6071, {0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0xE8, 0xF9}};
const char kStyleText[] = "{DEADBEEF-0123-4567-89AB-CDEF01234567}";
const char kTextText[] = "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}";

class PackageClassIdentityTest : public test::PlatformSandbox {
 protected:
  void SetUp() override {
    test::PlatformSandbox::SetUp();
    saved_[0] = CLSID_Stub;
    saved_[1] = CLSID_StubText;
    CLSID_Stub = CLSID_StubText = GUID{};
  }
  void TearDown() override {
    CLSID_Stub = saved_[0];
    CLSID_StubText = saved_[1];
    test::PlatformSandbox::TearDown();
  }
  HRESULT Read(const std::string& content, GUID* id) {
    return ReadScriptClassId(files_.Put(u"One.rgs", content).c_str(), id);
  }

  PackageFiles files_;
  GUID saved_[2] = {};
};

TEST_F(PackageClassIdentityTest, ReadsTheIdentifierRightAfterTheSecondBrace) {
  GUID id{};
  EXPECT_EQ(Read(ScriptWithClassId(kStyleText), &id), S_OK);
  EXPECT_TRUE(SameGuid(id, kStyleId));
  // Lower-case digits, Windows line ends and no blanks around "=" are all fine.
  id = GUID{};
  EXPECT_EQ(Read("HKCR\r\n{\r\n x\r\n {\r\n\tCLSID=s\t'{deadbeef-0123-4567-89ab-cdef01234567}", &id), S_OK);
  EXPECT_TRUE(SameGuid(id, kStyleId));

  std::u16string directory =
      files_.PutPackage(u"Pack", ScriptWithClassId(kStyleText), ScriptWithClassId(kTextText));
  EXPECT_EQ(ReadPackageClassIds(directory.c_str()), S_OK);
  EXPECT_TRUE(SameGuid(CLSID_Stub, kStyleId));
  EXPECT_TRUE(SameGuid(CLSID_StubText, kTextId));
}

#ifndef _WIN32
TEST_F(PackageClassIdentityTest, TextThatIsNoIdentifierIsRefusedAndShownAsScanned) {
  const struct {
    std::string script;
    std::u16string shown;
  } cases[] = {
      // Without braces the text goes to the parser as it stands.
      {"{ { CLSID = s 'DEADBEEF-0123-4567-89AB-CDEF01234567'", u"DEADBEEF-0123-4567-89AB-CDEF01234567"},
      // A character outside the identifier set ends the text.
      {"{ { CLSID = s '{DEADBEEF-0123 -4567-89AB-CDEF01234567}'", u"{DEADBEEF-0123"},
      // The word must be exactly "CLSID", the value a string, right after the second brace.
      {"{ { clsid = s '{DEADBEEF-0123-4567-89AB-CDEF01234567}'", u""},
      {"{ { CLSID = d '{DEADBEEF-0123-4567-89AB-CDEF01234567}'", u""},
      {"{ { X = s 'x' CLSID = s '{DEADBEEF-0123-4567-89AB-CDEF01234567}'", u""},
      // Fewer than two braces leave nothing, and empty text is no identifier.
      {"HKCR { CLSID = s '{DEADBEEF-0123-4567-89AB-CDEF01234567}'", u""},
      // A run longer than the scan buffer is cut at its end.
      {"{ { CLSID = s '" + std::string(300, 'A') + "'", std::u16string(127, u'A')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    std::size_t before = emu::MessageBoxes().size();
    GUID id = kTextId;
    EXPECT_EQ(Read(c.script, &id), CO_E_CLASSSTRING);
    EXPECT_TRUE(SameGuid(id, kTextId));  // untouched
    ASSERT_EQ(emu::MessageBoxes().size(), before + 1);
    EXPECT_EQ(emu::MessageBoxes().back().caption, u"Invalid GUID!");
    EXPECT_EQ(emu::MessageBoxes().back().text, c.shown);
  }
  EXPECT_EQ(emu::OpenFiles(), 0);
}

TEST_F(PackageClassIdentityTest, AFailedScriptStopsThePackageRead) {
  // A missing Style.rgs is named, and StyleText.rgs is never opened.
  std::u16string directory = files_.Root() + u"Absent\\";
  files_.Put(u"Absent\\StyleText.rgs", ScriptWithClassId(kTextText));
  EXPECT_EQ(ReadPackageClassIds(directory.c_str()), E_INVALIDARG);
  ASSERT_EQ(emu::MessageBoxes().size(), 1u);
  EXPECT_EQ(emu::MessageBoxes()[0].caption, u"Resource failed to register!");
  EXPECT_EQ(emu::MessageBoxes()[0].text, directory + u"Style.rgs");
  EXPECT_EQ(emu::OpenedPaths(), std::vector<std::u16string>{directory + u"Style.rgs"});
  EXPECT_TRUE(SameGuid(CLSID_StubText, GUID{}));

  // A bad StyleText.rgs fails after Style.rgs was stored.
  directory = files_.PutPackage(u"Half", ScriptWithClassId(kStyleText), "no braces here");
  EXPECT_EQ(ReadPackageClassIds(directory.c_str()), CO_E_CLASSSTRING);
  EXPECT_TRUE(SameGuid(CLSID_Stub, kStyleId));
  EXPECT_TRUE(SameGuid(CLSID_StubText, GUID{}));
  EXPECT_EQ(emu::OpenFiles(), 0);
}
#endif

}  // namespace
