// A fresh module object per test, and a stand-in engine COM server.
//
// The product's module object is a global that lives as long as the program;
// tests build their own record and module object, point ActiveModule at it and
// give the global back afterwards. The stand-in engine is registered with the
// emulator on Linux and with the COM runtime (as a class object of this process)
// under Wine, so the stubs' own activation call finds it on both targets.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "server/server_module.h"
#include "server/stub_target.h"
#include "support/registry_sandbox.h"

class ServerFixture : public test::PlatformSandbox {
 protected:
  void SetUp() override;
  void TearDown() override;

  /// Stops and rebuilds the module object and its record.
  void RebuildModule();
  CServerModule& Module() { return *module_; }
  LONG LockCount() { return module_->GetLockCount(); }

  /// Sets row `i` of the test's own class table (three rows and a terminator,
  /// alive until after TearDown's Stop) and answers the table.
  ClassTableEntry* SetRow(int i, const GUID* classId, ClassObjectCreator createClassObject,
                          InstanceCreator createInstance, void (*startStop)(bool) = nullptr);

 private:
  ClassTableEntry table_[4] = {};
  std::optional<CComModuleState> record_;
  std::optional<CServerModule> module_;
  CServerModule* savedActive_ = nullptr;
  GUID savedIds_[2] = {};
};

/// What the engine objects of one registration do, and what happened to them.
struct EngineLog {
  HRESULT setPathResult = S_OK;        // SetModulePath answers this
  bool refuseOtherInterfaces = false;  // then only IUnknown and IStubTarget are answered
  bool createsNothing = false;         // the class answers S_OK and no object
  bool answersNull = false;            // IID_IEngineProbe is answered S_OK with a null pointer
  int created = 0;
  int live = 0;
  int setPathCalls = 0;
  std::u16string lastPath;
  IUnknown* lastObject = nullptr;
};

/// An interface engine objects answer unless told to refuse it.
inline constexpr IID IID_IEngineProbe = {
    0x7A3C2E51, 0x94D0, 0x4C8B, {0x9E, 0x1F, 0x3B, 0x2A, 0x6D, 0x5C, 0x4E, 0x70}};

/// Registers `clsid` as an engine class reporting into `log`, until UnregisterEngine
/// or UnregisterEngines. Under Wine the first registration also enters COM on this
/// thread. `log` must outlive the registration.
void RegisterEngine(const CLSID& clsid, EngineLog& log);
/// Withdraws `clsid`; activating it then fails with REGDB_E_CLASSNOTREG.
void UnregisterEngine(const CLSID& clsid);
/// Withdraws every engine class still registered and, under Wine, leaves COM again.
void UnregisterEngines();
