// Emulator only: what process attach and detach do with the module beside its package.
#include <gtest/gtest.h>

#include "package/class_identity.h"
#include "package/load_notification.h"
#include "package/module_path.h"
#include "platform/emulated/emulator.h"
#include "server/server_fixture.h"
#include "support/package_files.h"

namespace {

// HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER): the module's name does not fit.
const HRESULT kNameTooLong = static_cast<HRESULT>(0x8007007AL);

const char kStyleText[] = "{DEADBEEF-0123-4567-89AB-CDEF01234567}";
const char kTextText[] = "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}";

class PackageLoadNotificationTest : public ServerFixture {
 protected:
  PackageFiles files_;
};

TEST_F(PackageLoadNotificationTest, AttachBindsThePackageBesideTheModuleAndStarts) {
  // The module is reached through its short name; the package has the long one.
  std::u16string directory =
      files_.PutPackage(u"Long Package Name", ScriptWithClassId(kStyleText), ScriptWithClassId(kTextText));
  emu::SetShortName(files_.Root() + u"Long Package Name.dll", files_.Root() + u"LONGPA~1.DLL");
  emu::SetModuleFileName(ModuleInstance, files_.Root() + u"LONGPA~1.DLL");
  ASSERT_EQ(AttachProcess(ModuleInstance), S_OK);
  EXPECT_EQ(emu::OpenedPaths(),
            (std::vector<std::u16string>{directory + u"Style.rgs", directory + u"StyleText.rgs"}));
  EXPECT_EQ(Module().GetClassTable(), ClassTable);

  void* factory = nullptr;
  ASSERT_EQ(Module().FindClassObject(CLSID_StubText, IID_IClassFactory, &factory), S_OK);
  static_cast<IUnknown*>(factory)->Release();
  DetachProcess();
  EXPECT_EQ(ClassTable[1].classObject, nullptr);
  EXPECT_EQ(emu::LiveHeapBlocks(), 0);
  EXPECT_EQ(emu::OpenFiles(), 0);
}

TEST_F(PackageLoadNotificationTest, AFailedBindingLeavesTheModuleUnstarted) {
  emu::SetModuleFileName(ModuleInstance, files_.Root() + u"Gone.dll");
  EXPECT_EQ(AttachProcess(ModuleInstance), E_INVALIDARG);
  EXPECT_EQ(Module().GetClassTable(), nullptr);

  // A name with nothing before its extension names no folder: refused, nothing read.
  emu::SetModuleFileName(ModuleInstance, u".dll");
  EXPECT_EQ(AttachProcess(ModuleInstance), E_INVALIDARG);
  EXPECT_EQ(emu::OpenedPaths().size(), 1u);
  ASSERT_EQ(emu::MessageBoxes().size(), 2u);
  EXPECT_EQ(emu::MessageBoxes()[1].caption, u"Resource failed to register!");
  EXPECT_EQ(emu::MessageBoxes()[1].text, u".dll");
  EXPECT_EQ(Module().GetClassTable(), nullptr);

  // A name longer than the module can hold is refused whole, though a package
  // lies beside the part that fits: that is another module's folder.
  const std::u16string name = files_.Root() + std::u16string(kModulePathCapacity, u'n') + u".dll";
  const std::u16string cut = name.substr(0, kModulePathCapacity - 1);
  files_.PutPackage(cut.substr(files_.Root().size(), cut.size() - files_.Root().size() - 4),
                    ScriptWithClassId(kStyleText), ScriptWithClassId(kTextText));
  emu::SetModuleFileName(ModuleInstance, name);
  EXPECT_EQ(AttachProcess(ModuleInstance), kNameTooLong);
  EXPECT_EQ(emu::OpenedPaths().size(), 1u);
  ASSERT_EQ(emu::MessageBoxes().size(), 3u);
  EXPECT_EQ(emu::MessageBoxes()[2].caption, u"Module path too long!");
  EXPECT_EQ(emu::MessageBoxes()[2].text, name.substr(0, kModulePathCapacity - 4) + u"...");
  EXPECT_EQ(Module().GetClassTable(), nullptr);
}

}  // namespace
