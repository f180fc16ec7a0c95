// The cached class factory: reference counting against the module lock,
// interfaces, aggregation and LockServer.
#include <gtest/gtest.h>

#include "server/class_factory.h"
#include "server/server_fixture.h"

#ifndef _WIN32
#include "platform/emulated/emulator.h"
#endif

namespace {

IUnknown* lastOuter = nullptr;
int instanceCalls = 0;
constexpr HRESULT kCreatorAnswer = static_cast<HRESULT>(0x8004C0DE);
HRESULT RecordingInstance(IUnknown* outer, REFIID, void**) {
  ++instanceCalls;
  lastOuter = outer;
  return kCreatorAnswer;
}

class ServerClassFactoryTest : public ServerFixture {
 protected:
  IClassFactory* Make() {
    instanceCalls = 0;
    void* object = nullptr;
    EXPECT_EQ(CreateCachedClassFactory(RecordingInstance, IID_IUnknown, &object), S_OK);
    return static_cast<IClassFactory*>(object);
  }
};

TEST_F(ServerClassFactoryTest, OnlyTheStepsBetweenOneAndTwoReferencesMoveTheLock) {
  IClassFactory* factory = Make();
  const LONG expected[][2] = {{2, 1}, {3, 1}, {2, 1}, {1, 0}, {2, 1}, {1, 0}};
  const bool addRef[] = {true, true, false, false, true, false};
  EXPECT_EQ(LockCount(), 0);
  for (int step = 0; step < 6; ++step) {
    ULONG count = addRef[step] ? factory->AddRef() : factory->Release();
    EXPECT_EQ(count, static_cast<ULONG>(expected[step][0])) << "step " << step;
    EXPECT_EQ(LockCount(), expected[step][1]) << "step " << step;
  }
  EXPECT_EQ(factory->Release(), 0u);
}

TEST_F(ServerClassFactoryTest, AnswersIUnknownAndIClassFactoryAsOneObjectAndNothingElse) {
  IClassFactory* factory = Make();
  void *unknown, *classFactory, *other = factory;
  ASSERT_EQ(factory->QueryInterface(IID_IUnknown, &unknown), S_OK);
  ASSERT_EQ(factory->QueryInterface(IID_IClassFactory, &classFactory), S_OK);
  EXPECT_EQ(unknown, static_cast<void*>(factory));
  EXPECT_EQ(classFactory, static_cast<void*>(factory));
  EXPECT_EQ(factory->QueryInterface(IID_IStubTarget, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(factory->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(factory->Release() + factory->Release(), 3u);  // 2, then 1
  EXPECT_EQ(factory->Release(), 0u);

  other = factory;
  EXPECT_EQ(CreateCachedClassFactory(RecordingInstance, IID_IStubTarget, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(CreateCachedClassFactory(RecordingInstance, IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(ServerClassFactoryTest, CreateInstanceRefusesAggregationAndPassesTheCreatorsAnswer) {
  IClassFactory* factory = Make();
  void* object = factory;
  // An outer object with an interface other than IUnknown: refused without asking the creator.
  EXPECT_EQ(factory->CreateInstance(factory, IID_IClassFactory, &object), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(instanceCalls, 0);
  // With IUnknown the creator decides (the stub creators refuse as well).
  EXPECT_EQ(factory->CreateInstance(factory, IID_IUnknown, &object), kCreatorAnswer);
  EXPECT_EQ(lastOuter, factory);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IStubTarget, &object), kCreatorAnswer);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(instanceCalls, 2);
  factory->Release();
}

TEST_F(ServerClassFactoryTest, LockServerCountsEveryCallEvenUnmatchedOnes) {
  IClassFactory* factory = Make();
  for (BOOL lock : {TRUE, TRUE, FALSE}) EXPECT_EQ(factory->LockServer(lock), S_OK);
  EXPECT_EQ(LockCount(), 1);
  for (BOOL lock : {FALSE, FALSE}) EXPECT_EQ(factory->LockServer(lock), S_OK);
  EXPECT_EQ(LockCount(), -1);
  factory->Release();
}

#ifndef _WIN32
TEST_F(ServerClassFactoryTest, ACreationThatRunsOutOfMemoryLeavesNothingBehind) {
  int blocks = emu::LiveHeapBlocks();
  int sections = emu::LiveCriticalSections();
  void* object = this;
  emu::FailAllocation(1);
  EXPECT_EQ(CreateCachedClassFactory(RecordingInstance, IID_IUnknown, &object), E_OUTOFMEMORY);
  EXPECT_EQ(object, nullptr);
  emu::FailCall(emu::Call::InitializeCriticalSection, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(CreateCachedClassFactory(RecordingInstance, IID_IUnknown, &object), E_OUTOFMEMORY);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(emu::LiveHeapBlocks(), blocks);
  EXPECT_EQ(emu::LiveCriticalSections(), sections);
}
#endif

}  // namespace
