// Benchmark of the cached class-object lookup on the emulated platform, next to
// a baseline in the same binary (see bench/run.sh):
//   CachedClassObject vs MinimalLookup: DllGetClassObject for a factory that is
//   already cached, then Release, against the least such a lookup must do
//   (MinimalLookupWithLockCount adds the module lock-count steps).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "exports/exports.h"
#include "package/class_identity.h"
#include "package/package_classes.h"
#include "platform/emulated/emulator.h"
#include "platform/platform.h"
#include "server/server_module.h"

namespace {

constexpr char kStyleId[] = "{DEADBEEF-0123-4567-89AB-CDEF01234567}";
constexpr char kStyleTextId[] = "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}";

std::string Script(const std::string& id) {
  return "HKCR\n{\n\tBench.Style.1 = s 'Style'\n\t{\n\t\tCLSID = s '" + id + "'\n\t}\n}\n";
}

// Loads the module over a fresh emulator (the package of C:\Packages\Stub.dll)
// and caches the Stub factory with a first lookup.
bool LoadModule() {
  emu::Reset();
  const char* const ids[] = {kStyleId, kStyleTextId};
  for (int i = 0; i < 2; ++i) {
    emu::PutFile(std::u16string(u"C:\\Packages\\Stub\\") + PackageClasses[i].scriptName, Script(ids[i]));
  }
  if (DllMain(ModuleInstance, DLL_PROCESS_ATTACH, nullptr) != TRUE) return false;
  void* factory = nullptr;
  if (DllGetClassObject(CLSID_Stub, IID_IClassFactory, &factory) != S_OK) return false;
  static_cast<IUnknown*>(factory)->Release();
  return true;
}

void UnloadModule() { DllMain(ModuleInstance, DLL_PROCESS_DETACH, nullptr); }

void CachedClassObject(benchmark::State& state) {
  if (!LoadModule()) {
    state.SkipWithError("module did not load");
    return;
  }
  CLSID clsid = CLSID_Stub;
  for (auto _ : state) {
    benchmark::DoNotOptimize(clsid);
    void* factory = nullptr;
    if (DllGetClassObject(clsid, IID_IClassFactory, &factory) != S_OK) {
      state.SkipWithError("lookup failed");
      break;
    }
    static_cast<IUnknown*>(factory)->Release();
  }
  UnloadModule();
}

// Baseline: what any cached lookup must do at the least. One 16-byte compare
// finds the class, one checks the interface, and the answer is reference-counted
// (an interlocked increment and decrement) and reached through a virtual call.
struct Counted {
  virtual ~Counted() = default;
  virtual LONG Touch() { return count; }
  LONG count = 1;
};

void MinimalLookup(benchmark::State& state) {
  Counted object;
  Counted* answer = &object;
  CLSID wantedClass = CLSID_Stub, rowClass = CLSID_Stub;
  IID wantedInterface = IID_IClassFactory;
  for (auto _ : state) {
    benchmark::DoNotOptimize(wantedClass);
    benchmark::DoNotOptimize(wantedInterface);
    benchmark::DoNotOptimize(answer);
    bool found = std::memcmp(&wantedClass, &rowClass, sizeof(CLSID)) == 0 &&
                 std::memcmp(&wantedInterface, &IID_IClassFactory, sizeof(IID)) == 0;
    if (found) {
      sys::InterlockedIncrement(&answer->count);
      benchmark::DoNotOptimize(answer->Touch());
      sys::InterlockedDecrement(&answer->count);
    }
  }
}

// For reading the ratio: the minimal lookup plus the two further interlocked
// steps that a client's reference to a cached factory requires, the module lock
// count raised as the factory's count goes from 1 to 2 and lowered as it comes
// back.
void MinimalLookupWithLockCount(benchmark::State& state) {
  Counted object;
  Counted* answer = &object;
  LONG lockCount = 0;
  CLSID wantedClass = CLSID_Stub, rowClass = CLSID_Stub;
  IID wantedInterface = IID_IClassFactory;
  for (auto _ : state) {
    benchmark::DoNotOptimize(wantedClass);
    benchmark::DoNotOptimize(wantedInterface);
    benchmark::DoNotOptimize(answer);
    bool found = std::memcmp(&wantedClass, &rowClass, sizeof(CLSID)) == 0 &&
                 std::memcmp(&wantedInterface, &IID_IClassFactory, sizeof(IID)) == 0;
    if (found) {
      if (sys::InterlockedIncrement(&answer->count) == 2) sys::InterlockedIncrement(&lockCount);
      benchmark::DoNotOptimize(answer->Touch());
      if (sys::InterlockedDecrement(&answer->count) == 1) sys::InterlockedDecrement(&lockCount);
    }
  }
  benchmark::DoNotOptimize(lockCount);
}

BENCHMARK(CachedClassObject)->Unit(benchmark::kNanosecond);
BENCHMARK(MinimalLookup)->Unit(benchmark::kNanosecond);
BENCHMARK(MinimalLookupWithLockCount)->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();
