// Linux only: a busy host over the module's exports, for ThreadSanitizer. Client
// threads create the module's classes while another thread unloads the module
// whenever DllCanUnloadNow allows, and the next client loads it again, bound to
// the next of several packages. The host's runtime lock plays the part of
// COM's: loading, unloading and the class-object request exclude each other;
// creation through the factory and its release run outside it, as under COM.
// (The emulator holds one copy of the module's globals, so one copy is loaded
// at a time; under Wine, bench/many_packages runs many copies at once.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "exports/exports.h"
#include "package/class_identity.h"
#include "platform/emulated/emulator.h"
#include "server/server_module.h"
#include "server/stub_target.h"
#include "support/package_files.h"
#include "support/registry_sandbox.h"

namespace {

bool Same(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

// An engine object safe to create, tell and release from any thread.
class SharedEngine final : public IStubTarget {
 public:
  SharedEngine(const CLSID& engineClass, std::atomic<int>& live) : engineClass_(engineClass), live_(live) {
    ++live_;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    *object = nullptr;
    if (!Same(riid, IID_IUnknown) && !Same(riid, IID_IStubTarget)) return E_NOINTERFACE;
    AddRef();
    *object = static_cast<IStubTarget*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) {
      --live_;
      delete this;
    }
    return left;
  }
  HRESULT STDMETHODCALLTYPE SetModulePath(const char16_t* path) override {
    path_ = path;
    ++pathCalls_;
    return S_OK;
  }
  const std::u16string& path() const { return path_; }
  int pathCalls() const { return pathCalls_; }
  const CLSID& engineClass() const { return engineClass_; }

 private:
  std::atomic<ULONG> references_{0};
  CLSID engineClass_;
  std::atomic<int>& live_;
  std::u16string path_;  // set by the creating thread before the object is handed on
  int pathCalls_ = 0;
};

struct Package {
  std::u16string module;
  GUID classes[2];
};

class ExportsConcurrencyTest : public test::RegistrySandbox {};

TEST_F(ExportsConcurrencyTest, BusyHostCreatesWhileTheModuleIsUnloadedAndLoadedAgain) {
  constexpr int kPackages = 4;
  constexpr int kClients = 4;
  constexpr auto kRunTime = std::chrono::milliseconds(800);
  constexpr long kMaxCreationsPerClient = 200000;  // a bound besides the time
  ASSERT_EQ(ActiveModule, &ServerModule);
  std::vector<Package> packages(kPackages);
  for (int k = 0; k < kPackages; ++k) {
    const std::u16string name = u"C:\\Packages\\Pkg" + std::u16string(1, static_cast<char16_t>(u'0' + k));
    packages[k].module = name + u".dll";
    for (int which = 0; which < 2; ++which) {
      packages[k].classes[which] = GUID{0x5A000000u + static_cast<unsigned>(k),
                                        0x1234,
                                        static_cast<unsigned short>(which),
                                        {0x80, 0, 0, 0, 0, 0, 0, 0x01}};
    }
    emu::PutFile(name + u"\\Style.rgs",
                 ScriptWithClassId(emu::ToUtf8(emu::GuidText(packages[k].classes[0]))));
    emu::PutFile(name + u"\\StyleText.rgs",
                 ScriptWithClassId(emu::ToUtf8(emu::GuidText(packages[k].classes[1]))));
  }
  std::atomic<int> live{0};
  for (const CLSID* engine : {&CLSID_StyleEngine, &CLSID_StyleTextEngine}) {
    const CLSID engineClass = *engine;
    emu::RegisterClass(engineClass, [engineClass, &live](IUnknown*, REFIID riid, void** object) {
      auto* created = new SharedEngine(engineClass, live);
      created->AddRef();
      const HRESULT result = created->QueryInterface(riid, object);
      created->Release();
      return result;
    });
  }

  std::shared_mutex runtime;
  int loaded = -1;  // the package the module is bound to, -1 while unloaded (under runtime)
  int nextPackage = 0;
  std::atomic<long> loads{0}, unloads{0}, creations{0}, failures{0}, wrong{0};
  std::atomic<bool> stop{false};

  auto client = [&](int index) {
    unsigned state = 0x9E3779B9u * static_cast<unsigned>(index + 1);
    for (long made = 0; !stop && made < kMaxCreationsPerClient; ++made) {
      state = state * 1664525u + 1013904223u;
      const int which = (state >> 16) & 1;
      int package = -1;
      void* answer = nullptr;
      HRESULT found = E_FAIL;
      {
        std::shared_lock<std::shared_mutex> shared(runtime);
        if (loaded < 0) {
          shared.unlock();
          std::unique_lock<std::shared_mutex> exclusive(runtime);
          if (loaded < 0) {
            const int k = nextPackage++ % kPackages;
            emu::SetModuleFileName(sys::ThisModule(), packages[k].module);
            if (DllMain(ModuleInstance, DLL_PROCESS_ATTACH, nullptr) != TRUE) {
              ++failures;
              return;
            }
            loaded = k;
            ++loads;
          }
          continue;
        }
        package = loaded;
        found = DllGetClassObject(packages[package].classes[which], IID_IClassFactory, &answer);
      }
      if (found != S_OK) {
        ++failures;
        continue;
      }
      auto* factory = static_cast<IClassFactory*>(answer);
      void* object = nullptr;
      const HRESULT created = factory->CreateInstance(nullptr, IID_IUnknown, &object);
      factory->Release();
      ++creations;
      if (created != S_OK) {
        ++failures;
        continue;
      }
      auto* engine = static_cast<SharedEngine*>(static_cast<IStubTarget*>(object));
      if (engine->path() != packages[package].module || engine->pathCalls() != 1 ||
          !Same(engine->engineClass(), which ? CLSID_StyleTextEngine : CLSID_StyleEngine)) {
        ++wrong;
      }
      engine->Release();
    }
  };
  auto unloader = [&] {
    while (!stop) {
      {
        // With the runtime held no client can take a factory, and those that
        // hold one let go within their creation: wait for that, a little.
        std::unique_lock<std::shared_mutex> exclusive(runtime);
        bool free = false;
        for (int wait = 0; loaded >= 0 && !free && wait < 1000; ++wait) {
          free = DllCanUnloadNow() == S_OK;
          if (!free) std::this_thread::yield();
        }
        if (free) {
          DllMain(ModuleInstance, DLL_PROCESS_DETACH, nullptr);
          loaded = -1;
          ++unloads;
        }
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  };

  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) threads.emplace_back(client, i);
  threads.emplace_back(unloader);
  std::this_thread::sleep_for(kRunTime);
  stop = true;
  for (std::thread& thread : threads) thread.join();

  // Quiet: nothing holds the module, so it can go, and its lock count is zero.
  if (loaded >= 0) {
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    EXPECT_EQ(ServerModule.GetLockCount(), 0);
    DllMain(ModuleInstance, DLL_PROCESS_DETACH, nullptr);
    ++unloads;
  }
  RecordProperty("creations", static_cast<int>(creations));
  RecordProperty("loads", static_cast<int>(loads));
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(creations, 0);
  EXPECT_GT(loads, 1) << "the module was never unloaded and loaded again under load";
  EXPECT_EQ(loads, unloads);
  EXPECT_EQ(live, 0);
  EXPECT_EQ(emu::LiveHeapBlocks(), 0);
  EXPECT_EQ(emu::MessageBoxes().size(), 0u);
  emu::UnregisterClass(CLSID_StyleEngine);
  emu::UnregisterClass(CLSID_StyleTextEngine);
}

}  // namespace
