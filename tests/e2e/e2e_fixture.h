// The common fixture of the end-to-end tests: a COM apartment, the test engine
// registered and reset, a temporary folder for package copies, and helpers to
// lay out and register packages.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "e2e_support.h"
#include "test_engine.h"

namespace e2e {

/// Owns one COM reference; released at the end of its life.
template <typename T>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() { Reset(); }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  /// Releases the held reference, if any (a junk value is only forgotten).
  void Reset() {
    if (object_ && !IsJunk()) object_->Release();
    object_ = nullptr;
  }
  /// Out-parameter slot for calls that hand over a reference; set to a
  /// non-null junk value first, so a callee that fails without nulling it shows.
  void** Out() {
    Reset();
    object_ = reinterpret_cast<T*>(kJunk);
    return reinterpret_cast<void**>(&object_);
  }
  /// Forgets the reference without releasing it: for an object whose code has
  /// been unloaded, where a Release would crash.
  void Abandon() { object_ = nullptr; }
  /// True if the slot still holds the junk value written by Out().
  bool IsJunk() const { return reinterpret_cast<uintptr_t>(object_) == kJunk; }

 private:
  static constexpr uintptr_t kJunk = 0x0BADF00D;
  T* object_ = nullptr;
};

/// The two outer classes of one package copy, registered with COM.
struct RegisteredPackage {
  std::unique_ptr<Package> files;
  CLSID style = {};      ///< identifier in Style.rgs (class `Stub`)
  CLSID styleText = {};  ///< identifier in StyleText.rgs (class `StubText`)
  std::unique_ptr<ScopedClassRegistration> styleKey;
  std::unique_ptr<ScopedClassRegistration> styleTextKey;
};

/// Expects exactly one message box, showing `caption` and `text` with no owner
/// window (a failing module has none to give) and nothing to choose but OK.
void ExpectOneBox(const std::vector<SeenBox>& boxes, const wchar_t* caption, const std::wstring& text);

class E2ETest : public ::testing::Test {
 protected:
  /// The apartment the test thread joins; COINIT_APARTMENTTHREADED by default.
  virtual DWORD Apartment() const { return COINIT_APARTMENTTHREADED; }

  void SetUp() override;
  void TearDown() override;

  /// Lays out <temp>\<name>.dll with fresh identifiers in its scripts, and
  /// registers both classes at the copy with `threadingModel`. With
  /// `lowerCase` the scripts spell the identifiers in lower-case hexadecimal.
  std::unique_ptr<RegisteredPackage> AddPackage(const std::wstring& name, const wchar_t* threadingModel,
                                                bool lowerCase = false);

  /// Sets how the engine's next objects behave (see EngineConfigureFn).
  void ConfigureEngine(HRESULT setModulePathResult, const IID* refusedInterface,
                       int misbehaviour = kEngineKeepsItsWord);
  /// Engine objects made during this test and alive now (a test that leaks
  /// does not disturb the tests after it).
  LONG EngineLiveObjects();
  /// Stops COM from finding the engine class `engineClass`.
  void UnregisterEngine(const CLSID& engineClass);

  /// Answer of DllCanUnloadNow of the loaded module at `modulePath`
  /// (E_UNEXPECTED if the module is not loaded).
  static HRESULT ModuleCanUnloadNow(const std::wstring& modulePath);

  /// What the engine object behind `object` was told and is.
  static std::wstring ProbedPath(IUnknown* object);
  static CLSID ProbedClass(IUnknown* object);

  TempFolder folder_;

 private:
  bool comReady_ = false;
  HMODULE engine_ = nullptr;
  EngineConfigureFn configure_ = nullptr;
  EngineLiveObjectsFn liveObjects_ = nullptr;
  LONG liveAtStart_ = 0;
  std::unique_ptr<ScopedClassRegistration> styleEngineKey_;
  std::unique_ptr<ScopedClassRegistration> styleTextEngineKey_;
};

}  // namespace e2e
