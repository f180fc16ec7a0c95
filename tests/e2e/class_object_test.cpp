// The module's DllGetClassObject called directly, as COM would, on a module copy
// loaded with LoadLibrary: one cached factory per class, and the lookup's
// failures.
#include "e2e_fixture.h"

namespace e2e {
namespace {

using GetClassObjectFn = HRESULT(STDMETHODCALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT(STDMETHODCALLTYPE*)();

class E2EClassObject : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    if (HasFatalFailure()) return;
    package_ = AddPackage(L"Alpha", L"Apartment");
    module_ = LoadLibraryW(package_->files->modulePath.c_str());
    ASSERT_NE(module_, nullptr) << "load failed with error " << GetLastError();
    getClassObject_ = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(module_, "DllGetClassObject")));
    canUnloadNow_ =
        reinterpret_cast<CanUnloadNowFn>(reinterpret_cast<void*>(GetProcAddress(module_, "DllCanUnloadNow")));
    ASSERT_TRUE(getClassObject_ && canUnloadNow_);
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
    E2ETest::TearDown();
  }

  std::unique_ptr<RegisteredPackage> package_;
  HMODULE module_ = nullptr;
  GetClassObjectFn getClassObject_ = nullptr;
  CanUnloadNowFn canUnloadNow_ = nullptr;
};

struct ConcurrentLookups {
  static constexpr int kThreads = 16;
  GetClassObjectFn getClassObject;
  CLSID classes[2];
  HRESULT results[kThreads];
  IClassFactory* factories[kThreads];
};

TEST_F(E2EClassObject, ConcurrentLookupsShareOneFactoryPerClass) {
  EXPECT_EQ(canUnloadNow_(), S_OK) << "before any lookup";
  ConcurrentLookups lookups = {getClassObject_, {package_->style, package_->styleText}, {}, {}};
  // Even threads ask for Stub, odd ones for StubText, all released at once.
  ASSERT_TRUE(RunTogether(
      ConcurrentLookups::kThreads, 10000,
      [](int index, void* context) {
        auto* state = static_cast<ConcurrentLookups*>(context);
        state->results[index] = state->getClassObject(state->classes[index % 2], IID_IClassFactory,
                                                      reinterpret_cast<void**>(&state->factories[index]));
      },
      &lookups));

  for (int i = 0; i < ConcurrentLookups::kThreads; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(lookups.results[i], S_OK);
    EXPECT_NE(lookups.factories[i], nullptr);
    EXPECT_EQ(lookups.factories[i], lookups.factories[i % 2]);
  }
  EXPECT_NE(lookups.factories[0], lookups.factories[1]) << "each class has its own factory";

  // IUnknown and IClassFactory are the same object.
  ComRef<IUnknown> unknown;
  ASSERT_EQ(getClassObject_(package_->style, IID_IUnknown, unknown.Out()), S_OK);
  EXPECT_EQ(static_cast<void*>(unknown.get()), static_cast<void*>(lookups.factories[0]));
  unknown.Reset();

  EXPECT_EQ(canUnloadNow_(), S_FALSE) << "clients hold factories";
  for (IClassFactory* factory : lookups.factories) {
    if (factory) factory->Release();
  }
  EXPECT_EQ(canUnloadNow_(), S_OK) << "every client reference released";
}

TEST_F(E2EClassObject, FailedLookupsNullTheOutPointerAndKeepTheCache) {
  ComRef<IClassFactory> first;
  ASSERT_EQ(getClassObject_(package_->style, IID_IClassFactory, first.Out()), S_OK);
  IClassFactory* const cached = first.get();
  first.Reset();

  ComRef<IUnknown> object;
  EXPECT_EQ(getClassObject_(NewGuid(), IID_IClassFactory, object.Out()), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object.get(), nullptr);
  EXPECT_EQ(getClassObject_(package_->style, IID_IDispatch, object.Out()), E_NOINTERFACE);
  EXPECT_EQ(object.get(), nullptr);
  EXPECT_EQ(getClassObject_(package_->style, IID_IClassFactory, nullptr), E_POINTER);

  ComRef<IClassFactory> again;
  ASSERT_EQ(getClassObject_(package_->style, IID_IClassFactory, again.Out()), S_OK);
  EXPECT_EQ(again.get(), cached) << "the factory stays cached across failed lookups";
  again.Reset();
  EXPECT_EQ(canUnloadNow_(), S_OK);
}

TEST_F(E2EClassObject, LockServerKeepsTheModuleBusyWithoutAFactoryReference) {
  ComRef<IClassFactory> factory;
  ASSERT_EQ(getClassObject_(package_->styleText, IID_IClassFactory, factory.Out()), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  IClassFactory* const cached = factory.get();
  factory.Reset();
  EXPECT_EQ(canUnloadNow_(), S_FALSE);

  // The cached factory outlives the client's reference, so the lock can be
  // given back through it.
  ASSERT_EQ(getClassObject_(package_->styleText, IID_IClassFactory, factory.Out()), S_OK);
  EXPECT_EQ(factory.get(), cached);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  factory.Reset();
  EXPECT_EQ(canUnloadNow_(), S_OK);
}

}  // namespace
}  // namespace e2e
