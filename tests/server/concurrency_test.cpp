// Threads asking at once for a class object that is not cached yet all get the
// same factory, made once. Runs clean under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "server/class_factory.h"
#include "server/server_fixture.h"

namespace {

constexpr GUID kClassA = {0x33333333, 0x2222, 0x3333, {0x44, 0x44, 0, 0, 0, 0, 0, 0xA1}};

std::atomic<int> creations{0};
HRESULT CountingCreator(InstanceCreator create, REFIID riid, void** object) {
  ++creations;
  std::this_thread::yield();  // widen the window in which others look
  return CreateCachedClassFactory(create, riid, object);
}
HRESULT NoInstance(IUnknown*, REFIID, void**) { return E_NOTIMPL; }

using ServerConcurrencyTest = ServerFixture;

TEST_F(ServerConcurrencyTest, ConcurrentFirstLookupsCreateExactlyOneFactory) {
  constexpr int kThreads = 8;
  for (int round = 0; round < 25; ++round) {
    creations = 0;
    Module().Start(SetRow(0, &kClassA, CountingCreator, NoInstance), ModuleInstance, nullptr);
    std::atomic<int> ready{0};
    std::vector<void*> answers(kThreads, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (++ready; ready < kThreads;) std::this_thread::yield();
        if (Module().FindClassObject(kClassA, IID_IClassFactory, &answers[t]) != S_OK) return;
        auto* factory = static_cast<IClassFactory*>(answers[t]);
        factory->LockServer(TRUE);
        factory->AddRef();
        factory->LockServer(FALSE);
        factory->Release();
      });
    }
    for (std::thread& thread : threads) thread.join();

    EXPECT_EQ(creations, 1);
    for (void* answer : answers) EXPECT_EQ(answer, answers[0]);
    ASSERT_NE(answers[0], nullptr);
    EXPECT_EQ(LockCount(), 1);  // all clients' references together lock once
    for (void* answer : answers) static_cast<IUnknown*>(answer)->Release();
    EXPECT_EQ(LockCount(), 0);
    RebuildModule();
  }
}

}  // namespace
