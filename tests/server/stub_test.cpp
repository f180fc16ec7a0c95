// The forwarding stubs. The client gets the engine object, the engine gets the
// module's file name, and the module's lock count (and, over the emulator, its
// heap) come back to where they were on every path. Runs on both targets; the
// parts that need the emulator's fault injection or counters are Linux only.
#include <gtest/gtest.h>

#include <string>

#include "package/class_identity.h"
#include "server/server_fixture.h"
#include "server/stub.h"

#ifndef _WIN32
#include "platform/emulated/emulator.h"
#endif

namespace {

constexpr HRESULT kEngineRefusal = static_cast<HRESULT>(0x8004E001);

// The name the engine must be told: the emulator's module, or under Wine the test
// program itself, which is the module the stubs are linked into.
std::u16string ExpectedModulePath() {
#ifdef _WIN32
  char16_t name[MAX_PATH] = {};
  DWORD length = sys::GetModuleFileNameW(sys::ThisModule(), name, MAX_PATH);
  EXPECT_GT(length, 0u);
  return std::u16string(name, length);
#else
  return u"C:\\Packages\\Stub.dll";
#endif
}

class ServerStubTest : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    RegisterEngine(CLSID_StyleEngine, style_);
    RegisterEngine(CLSID_StyleTextEngine, text_);
  }
  void TearDown() override {
    UnregisterEngines();
    EXPECT_EQ(LockCount(), 0);
#ifndef _WIN32
    EXPECT_EQ(emu::LiveHeapBlocks(), 0);
#endif
    ServerFixture::TearDown();
  }
  // Creates a stub of class T; expects `expected` and, on failure, a null target
  // and no engine object left alive.
  template <class T>
  void* Create(const IID& iid, HRESULT expected) {
    void* object = this;
    EXPECT_EQ(CreateStubInstance<T>(nullptr, iid, &object), expected);
    if (FAILED(expected)) {
      EXPECT_EQ(object, nullptr);
      EXPECT_EQ(style_.live + text_.live, 0);
    }
    return object;
  }

  EngineLog style_, text_;
};

TEST_F(ServerStubTest, TheClientHoldsTheEngineObjectAndTheStubIsGone) {
  void* style = Create<Stub>(IID_IEngineProbe, S_OK);
  void* text = Create<StubText>(IID_IStubTarget, S_OK);
  EXPECT_EQ(style, static_cast<void*>(style_.lastObject));
  EXPECT_EQ(text, static_cast<void*>(text_.lastObject));
  EXPECT_EQ(style_.lastPath, ExpectedModulePath());
  EXPECT_EQ(text_.lastPath, ExpectedModulePath());
  EXPECT_EQ(style_.created + text_.created, 2);
  // Engine objects that clients hold do not keep this module loaded.
  EXPECT_EQ(LockCount(), 0);
  static_cast<IUnknown*>(style)->Release();
  static_cast<IUnknown*>(text)->Release();
  EXPECT_EQ(style_.live + text_.live, 0);
}

TEST_F(ServerStubTest, EngineFailuresReachTheClientAndReleaseTheEngine) {
  style_.setPathResult = S_FALSE;
  static_cast<IUnknown*>(Create<Stub>(IID_IUnknown, S_OK))->Release();
  style_.setPathResult = kEngineRefusal;
  Create<Stub>(IID_IUnknown, kEngineRefusal);
  style_.setPathResult = S_OK;
  style_.refuseOtherInterfaces = true;
  Create<Stub>(IID_IEngineProbe, E_NOINTERFACE);
  EXPECT_EQ(style_.created, 3);
  // An engine's success without an object is never used as one.
  style_.refuseOtherInterfaces = false;
  style_.answersNull = true;
  Create<Stub>(IID_IEngineProbe, E_NOINTERFACE);
  style_.createsNothing = true;
  Create<Stub>(IID_IUnknown, E_POINTER);
  style_.createsNothing = style_.answersNull = false;
  EXPECT_EQ(style_.created, 4);

  UnregisterEngine(CLSID_StyleTextEngine);
  Create<StubText>(IID_IUnknown, REGDB_E_CLASSNOTREG);
#ifndef _WIN32
  emu::FailCall(emu::Call::CoCreateInstance, 1, E_OUTOFMEMORY);
  Create<Stub>(IID_IUnknown, E_OUTOFMEMORY);
  emu::FailAllocation(1);
  Create<Stub>(IID_IUnknown, E_OUTOFMEMORY);
#endif
  EXPECT_EQ(style_.created, 4);
}

TEST_F(ServerStubTest, AggregationAndNullPointersAreRefusedBeforeAnythingIsMade) {
  IUnknown* outer = reinterpret_cast<IUnknown*>(this);  // never called
  void* object = this;
  EXPECT_EQ(CreateStubInstance<Stub>(outer, IID_IUnknown, &object), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(CreateStubInstance<Stub>(outer, IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(CreateStubInstance<Stub>(nullptr, IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(style_.created, 0);
}

#ifndef _WIN32
TEST_F(ServerStubTest, TheEngineGetsTheWholeNameAsTheLoaderReportsItOrNothing) {
  // Reached through a short name, the module passes that name unconverted.
  emu::SetShortName(u"C:\\Program Files\\Pack.dll", u"C:\\PROGRA~1\\Pack.dll");
  emu::SetModuleFileName(ModuleInstance, u"C:\\PROGRA~1\\Pack.dll");
  static_cast<IUnknown*>(Create<Stub>(IID_IUnknown, S_OK))->Release();
  EXPECT_EQ(style_.lastPath, u"C:\\PROGRA~1\\Pack.dll");

  std::u16string longest = u"C:\\" + std::u16string(252, u'a') + u".dll";  // 259 units
  emu::SetModuleFileName(ModuleInstance, longest);
  static_cast<IUnknown*>(Create<Stub>(IID_IUnknown, S_OK))->Release();
  EXPECT_EQ(style_.lastPath, longest);

  // A name that does not fit, or none at all: the engine is not told a cut name.
  emu::SetModuleFileName(ModuleInstance, longest + u"x");
  Create<Stub>(IID_IUnknown, static_cast<HRESULT>(0x8007007A));
  emu::FailCall(emu::Call::GetModuleFileNameW, 1, ERROR_NOT_ENOUGH_MEMORY);
  Create<Stub>(IID_IUnknown, static_cast<HRESULT>(0x80070008));
  EXPECT_EQ(style_.setPathCalls, 2);
}
#endif

TEST_F(ServerStubTest, ServingThroughTheModulesOwnTableLeavesNothingBehind) {
  CLSID_Stub = {0x5A5A5A5A, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};
  CLSID_StubText = {0x5A5A5A5A, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 9}};
#ifndef _WIN32
  int sections = emu::LiveCriticalSections();  // the module's and its record's
#endif
  Module().Start(ClassTable, ModuleInstance, nullptr);
  void* engine = nullptr;
  for (int round = 0; round < 2; ++round) {
    void* object = nullptr;
    ASSERT_EQ(Module().FindClassObject(CLSID_StubText, IID_IClassFactory, &object), S_OK);
    auto* factory = static_cast<IClassFactory*>(object);
    if (engine) static_cast<IUnknown*>(engine)->Release();
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IEngineProbe, &engine), S_OK);
    EXPECT_EQ(engine, static_cast<void*>(text_.lastObject));
    factory->Release();
  }
#ifndef _WIN32
  EXPECT_EQ(emu::LiveHeapBlocks(), 1);  // the cached factory
#endif
  Module().Stop();
  EXPECT_EQ(ClassTable[1].classObject, nullptr);
#ifndef _WIN32
  EXPECT_EQ(emu::LiveCriticalSections(), sections - 1);
#endif
  EXPECT_EQ(text_.live, 1);  // the client's engine object outlives the module's objects
  static_cast<IUnknown*>(engine)->Release();
}

}  // namespace
