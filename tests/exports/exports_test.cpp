// Linux only: the exported entry points over the module's own globals, called
// the way the loader and the COM runtime call them.
#include <gtest/gtest.h>

#include "exports/exports.h"
#include "package/class_identity.h"
#include "platform/emulated/emulator.h"
#include "server/server_fixture.h"
#include "support/package_files.h"
#include "support/registry_sandbox.h"

namespace {

class ExportsTest : public test::RegistrySandbox {
 protected:
  void SetUp() override {
    RegistrySandbox::SetUp();
    ASSERT_EQ(ActiveModule, &ServerModule);
    // After Reset the module is C:\Packages\Stub.dll, so its package is C:\Packages\Stub\.
    emu::PutFile(u"C:\\Packages\\Stub\\Style.rgs",
                 ScriptWithClassId("{DEADBEEF-0123-4567-89AB-CDEF01234567}"));
    emu::PutFile(u"C:\\Packages\\Stub\\StyleText.rgs",
                 ScriptWithClassId("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}"));
  }
};

TEST_F(ExportsTest, ALoadServeAndUnloadCycle) {
  EngineLog log;
  RegisterEngine(CLSID_StyleEngine, log);
  ASSERT_EQ(DllMain(ModuleInstance, DLL_PROCESS_ATTACH, nullptr), TRUE);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
  void* object = this;
  EXPECT_EQ(DllGetClassObject(CLSID_StyleEngine, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);

  ASSERT_EQ(DllGetClassObject(CLSID_Stub, IID_IClassFactory, &object), S_OK);
  auto* factory = static_cast<IClassFactory*>(object);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  void* engine = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &engine), S_OK);
  factory->LockServer(TRUE);
  factory->Release();
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  factory->LockServer(FALSE);
  // The engine object the client still holds does not keep the module loaded.
  EXPECT_EQ(DllCanUnloadNow(), S_OK);

  EXPECT_EQ(DllMain(ModuleInstance, DLL_PROCESS_DETACH, nullptr), TRUE);
  EXPECT_EQ(ClassTable[0].classObject, nullptr);
  static_cast<IUnknown*>(engine)->Release();
  EXPECT_EQ(emu::LiveHeapBlocks(), 0);
}

TEST_F(ExportsTest, AnAttachThatCannotBindFailsTheLoad) {
  emu::RemoveFile(u"C:\\Packages\\Stub\\Style.rgs");
  EXPECT_EQ(DllMain(ModuleInstance, DLL_PROCESS_ATTACH, nullptr), FALSE);
  ASSERT_EQ(emu::MessageBoxes().size(), 1u);
  const emu::MessageBoxRecord& box = emu::MessageBoxes()[0];
  EXPECT_EQ(box.owner, nullptr);
  EXPECT_EQ(box.type, static_cast<UINT>(MB_OK));
  EXPECT_EQ(box.text, u"C:\\Packages\\Stub\\Style.rgs");
  // The loader then reports detach; stopping a module that never started is harmless.
  EXPECT_EQ(DllMain(ModuleInstance, DLL_PROCESS_DETACH, nullptr), TRUE);
}

}  // namespace
