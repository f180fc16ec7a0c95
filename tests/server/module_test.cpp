// The module object: class-object lookup and caching, start and stop, and its
// remaining virtual operations.
#include <gtest/gtest.h>

#include <atomic>

#include "registrar/registrar.h"
#include "server/class_factory.h"
#include "server/guids.h"
#include "server/server_fixture.h"

#ifndef _WIN32
#include "platform/emulated/emulator.h"
#endif

namespace {

constexpr GUID kClassA = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0, 0, 0, 0, 0, 0xA1}};
constexpr GUID kClassB = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0, 0, 0, 0, 0, 0xB2}};
constexpr GUID kUnknownClass = {0x99999999, 0x2222, 0x3333, {0x44, 0x44, 0, 0, 0, 0, 0, 0xFF}};

// Distinct answers tell which row's instance creator a factory calls.
constexpr HRESULT kFromA = static_cast<HRESULT>(0x8004A001);
constexpr HRESULT kFromB = static_cast<HRESULT>(0x8004B002);
HRESULT InstanceA(IUnknown*, REFIID, void**) { return kFromA; }
HRESULT InstanceB(IUnknown*, REFIID, void**) { return kFromB; }

int creations = 0;
int failures = 0;  // the next `failures` creations fail
HRESULT CountingCreator(InstanceCreator create, REFIID riid, void** object) {
  ++creations;
  if (failures > 0 && failures--) return E_OUTOFMEMORY;
  return CreateCachedClassFactory(create, riid, object);
}
int starts = 0, stops = 0;
void CountStartStop(bool starting) { ++(starting ? starts : stops); }

class ServerModuleTest : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    creations = failures = starts = stops = 0;
  }
  void Start(ClassTableEntry* table) { ASSERT_EQ(Module().Start(table, ModuleInstance, nullptr), S_OK); }
  HRESULT Find(const GUID& clsid, void** object, const IID& iid = IID_IClassFactory) {
    *object = reinterpret_cast<void*>(0x1234);  // must be overwritten on every path
    return Module().FindClassObject(clsid, iid, object);
  }
  HRESULT CreateThrough(void* factory) {
    void* instance = nullptr;
    return static_cast<IClassFactory*>(factory)->CreateInstance(nullptr, IID_IUnknown, &instance);
  }
};

TEST_F(ServerModuleTest, CreatesEachClassObjectOnceAndOnlyClientsLockTheModule) {
  SetRow(0, &kClassA, CountingCreator, InstanceA);
  Start(SetRow(1, &kClassB, CountingCreator, InstanceB));
  void *first, *second, *other;
  ASSERT_EQ(Find(kClassA, &first), S_OK);
  ASSERT_EQ(Find(kClassA, &second), S_OK);
  ASSERT_EQ(Find(kClassB, &other), S_OK);
  EXPECT_EQ(first, second);
  EXPECT_EQ(CreateThrough(other), kFromB);
  EXPECT_EQ(creations, 2);
  EXPECT_EQ(LockCount(), 2);  // one per factory that clients hold, none for the table's own
  for (void* held : {first, second, other}) static_cast<IUnknown*>(held)->Release();
  EXPECT_EQ(LockCount(), 0);
}

TEST_F(ServerModuleTest, TheFirstMatchingRowWinsAndRowsWithoutCreatorAreSkipped) {
  SetRow(0, &kClassA, nullptr, InstanceB);
  SetRow(1, &kClassA, CountingCreator, InstanceA);
  ClassTableEntry* table = SetRow(2, &kClassA, CountingCreator, InstanceB);
  Start(table);
  void* factory;
  ASSERT_EQ(Find(kClassA, &factory), S_OK);
  EXPECT_EQ(CreateThrough(factory), kFromA);
  EXPECT_EQ(table[2].classObject, nullptr);
  static_cast<IUnknown*>(factory)->Release();
}

TEST_F(ServerModuleTest, FailedLookupsAnswerTheirCodeWithTheTargetNulled) {
  void* object;
  EXPECT_EQ(Find(kClassA, &object), CLASS_E_CLASSNOTAVAILABLE);  // not started: no table
  EXPECT_EQ(object, nullptr);
  ClassTableEntry* table = SetRow(0, &kClassA, CountingCreator, InstanceA);
  Start(table);
  EXPECT_EQ(Find(kUnknownClass, &object), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(Module().FindClassObject(kClassA, IID_IClassFactory, nullptr), E_POINTER);
  EXPECT_EQ(creations, 0);

  // An interface the factory lacks is refused, and the factory stays cached.
  EXPECT_EQ(Find(kClassA, &object, IID_IStubTarget), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_NE(table[0].classObject, nullptr);
  void* unknown;
  ASSERT_EQ(Find(kClassA, &unknown, IID_IUnknown), S_OK);
  EXPECT_EQ(unknown, static_cast<void*>(table[0].classObject));
  EXPECT_EQ(creations, 1);
  static_cast<IUnknown*>(unknown)->Release();
}

TEST_F(ServerModuleTest, AFailedCreationIsTriedAgainByTheNextLookup) {
  ClassTableEntry* table = SetRow(0, &kClassA, CountingCreator, InstanceA);
  Start(table);
  failures = 1;
  void* object;
  EXPECT_EQ(Find(kClassA, &object), E_OUTOFMEMORY);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(table[0].classObject, nullptr);
  ASSERT_EQ(Find(kClassA, &object), S_OK);
  EXPECT_EQ(creations, 2);
  static_cast<IUnknown*>(object)->Release();
}

TEST_F(ServerModuleTest, StopReleasesTheTablesReferencesAndTellsEachRow) {
  SetRow(0, &kClassA, CountingCreator, InstanceA, CountStartStop);
  ClassTableEntry* table = SetRow(1, &kClassB, CountingCreator, InstanceB, CountStartStop);
  Start(table);
  EXPECT_EQ(starts, 2);
  void* held;
  ASSERT_EQ(Find(kClassA, &held), S_OK);
  Module().Stop();
  EXPECT_EQ(stops, 2);
  EXPECT_EQ(table[0].classObject, nullptr);
  EXPECT_EQ(Module().GetClassTable(), table);
  // The table's Release stepped 2 -> 1 and unlocked; the client's last Release destroys.
  EXPECT_EQ(LockCount(), 0);
  EXPECT_EQ(static_cast<IUnknown*>(held)->Release(), 0u);
}

TEST_F(ServerModuleTest, RegistrationSlotsAnswerWithoutDoingAnything) {
  CRegistrar registrar;
  EXPECT_EQ(Module().AddStandardReplacements(&registrar), S_OK);
  ASSERT_EQ(registrar.Replacements().Count(), 1);
  EXPECT_EQ(std::u16string(registrar.Replacements().NameAt(0)), u"APPID");
  EXPECT_EQ(std::u16string(registrar.Replacements().ValueAt(0)), u"");
  const ScriptReplacement none[] = {{nullptr, nullptr}};
  EXPECT_EQ(Module().UpdateRegistryAltByNumber(101, TRUE, none), E_FAIL);
  EXPECT_EQ(Module().UpdateRegistryAltByName(u"STYLE", FALSE, none), E_FAIL);
  const HRESULT kNoResource = static_cast<HRESULT>(0x80070715);
  EXPECT_EQ(Module().UpdateRegistryFromResourceNumber(101, TRUE, none), kNoResource);
  EXPECT_EQ(Module().UpdateRegistryFromResourceName(u"STYLE", TRUE, none), kNoResource);
}

#ifndef _WIN32
TEST_F(ServerModuleTest, TheGlobalInterfaceTableIsMadeOnceAndReleasedAtShutdown) {
  struct FakeTable final : IGlobalInterfaceTable {
    int count = 0;
    HRESULT QueryInterface(REFIID, void**) override { return E_NOTIMPL; }
    ULONG AddRef() override { return ++count; }
    ULONG Release() override { return --count; }
    HRESULT RegisterInterfaceInGlobal(IUnknown*, REFIID, DWORD*) override { return E_NOTIMPL; }
    HRESULT RevokeInterfaceFromGlobal(DWORD) override { return E_NOTIMPL; }
    HRESULT GetInterfaceFromGlobal(DWORD, REFIID, void**) override { return E_NOTIMPL; }
  } table;
  emu::RegisterClass(kStdGlobalInterfaceTableClassId, [&](IUnknown*, REFIID, void** object) {
    *object = &table;
    table.AddRef();
    return S_OK;
  });
  EXPECT_EQ(Module().GetGlobalInterfaceTable(nullptr), E_POINTER);
  IGlobalInterfaceTable *first = nullptr, *second = nullptr;
  ASSERT_EQ(Module().GetGlobalInterfaceTable(&first), S_OK);
  ASSERT_EQ(Module().GetGlobalInterfaceTable(&second), S_OK);
  EXPECT_EQ(first, &table);
  EXPECT_EQ(second, &table);
  EXPECT_EQ(table.count, 3);
  first->Release();
  second->Release();
  Module().Stop();
  EXPECT_EQ(table.count, 0);
}

TEST_F(ServerModuleTest, AClassObjectLockThatFailedIsNeverEntered) {
  Module().Stop();
  int sections = emu::LiveCriticalSections();
  emu::FailCall(emu::Call::InitializeCriticalSection, 1, ERROR_NOT_ENOUGH_MEMORY);
  {
    CComModuleState record(ModuleInstance);
    CServerModule module(record);
    module.Start(SetRow(0, &kClassA, CountingCreator, InstanceA), ModuleInstance, nullptr);
    void* object = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(module.FindClassObject(kClassA, IID_IClassFactory, &object), E_UNEXPECTED);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(module.FindClassObject(kUnknownClass, IID_IClassFactory, &object), E_UNEXPECTED);
    EXPECT_EQ(creations, 0);
    module.Stop();
  }
  // A module whose own section failed has nothing to shut down either.
  emu::FailCall(emu::Call::InitializeCriticalSection, 2, ERROR_NOT_ENOUGH_MEMORY);
  {
    CComModuleState record(ModuleInstance);
    CServerModule module(record);
    EXPECT_EQ(module.validityMark, 0u);
    module.Stop();
  }
  // Only sections that were made were deleted, each once.
  EXPECT_EQ(emu::LiveCriticalSections(), sections);
  ActiveModule = &Module();
}
#endif

}  // namespace
