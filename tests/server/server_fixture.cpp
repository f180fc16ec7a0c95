#include "server/server_fixture.h"

#include <cstring>

#include "package/class_identity.h"

#ifndef _WIN32
#include "platform/emulated/emulator.h"
#endif

void ServerFixture::SetUp() {
  test::PlatformSandbox::SetUp();
  savedActive_ = ActiveModule;
  savedIds_[0] = CLSID_Stub;
  savedIds_[1] = CLSID_StubText;
  RebuildModule();
}

void ServerFixture::TearDown() {
  module_->Stop();
  module_.reset();
  record_.reset();
  ActiveModule = savedActive_;
  CLSID_Stub = savedIds_[0];
  CLSID_StubText = savedIds_[1];
  test::PlatformSandbox::TearDown();
}

void ServerFixture::RebuildModule() {
  if (module_) module_->Stop();
  module_.reset();
  record_.reset();
  record_.emplace(ModuleInstance);
  module_.emplace(*record_);
}

ClassTableEntry* ServerFixture::SetRow(int i, const GUID* classId, ClassObjectCreator createClassObject,
                                       InstanceCreator createInstance, void (*startStop)(bool)) {
  table_[i] = ClassTableEntry{classId, nullptr, createClassObject, createInstance, nullptr,
                              0,       nullptr, nullptr,           startStop};
  return table_;
}

namespace {

class FakeEngine final : public IStubTarget {
 public:
  explicit FakeEngine(EngineLog& log) : log_(log) {
    ++log_.created;
    ++log_.live;
    log_.lastObject = this;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    auto is = [&](const IID& iid) { return std::memcmp(&riid, &iid, sizeof(IID)) == 0; };
    *object = nullptr;
    if (log_.answersNull && is(IID_IEngineProbe)) return S_OK;
    if (!is(IID_IUnknown) && !is(IID_IStubTarget) && (log_.refuseOtherInterfaces || !is(IID_IEngineProbe))) {
      return E_NOINTERFACE;
    }
    *object = static_cast<IStubTarget*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
  ULONG STDMETHODCALLTYPE Release() override {
    if (--count_ > 0) return count_;
    --log_.live;
    delete this;
    return 0;
  }
  HRESULT STDMETHODCALLTYPE SetModulePath(const char16_t* path) override {
    ++log_.setPathCalls;
    log_.lastPath = path;
    return log_.setPathResult;
  }

 private:
  EngineLog& log_;
  ULONG count_ = 0;
};

// Makes one engine object and answers `riid` of it; the object is gone again
// when the interface is refused. A misbehaving class answers S_OK with nothing.
HRESULT CreateEngine(EngineLog& log, REFIID riid, void** object) {
  if (log.createsNothing) return S_OK;
  auto* engine = new FakeEngine(log);
  engine->AddRef();
  HRESULT result = engine->QueryInterface(riid, object);
  engine->Release();
  return result;
}

#ifdef _WIN32
// The engine's class object, registered with the COM runtime for this process.
class EngineFactory final : public IClassFactory {
 public:
  explicit EngineFactory(EngineLog& log) : log_(log) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
      return E_NOINTERFACE;
    }
    *object = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
  ULONG STDMETHODCALLTYPE Release() override {
    if (--count_ > 0) return count_;
    delete this;
    return 0;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return CreateEngine(log_, riid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  EngineLog& log_;
  ULONG count_ = 1;
};

struct Registration {
  CLSID clsid;
  DWORD cookie;
};
// The engine classes registered now; a test registers at most a few.
Registration registrations[4];
int registrationCount = 0;
bool comEntered = false;  // this thread's CoInitializeEx is ours to undo
#endif

}  // namespace

#ifdef _WIN32
void RegisterEngine(const CLSID& clsid, EngineLog& log) {
  if (!comEntered) {
    HRESULT entered = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ASSERT_TRUE(SUCCEEDED(entered)) << std::hex << entered;
    comEntered = true;
  }
  ASSERT_LT(registrationCount, 4);
  auto* factory = new EngineFactory(log);
  DWORD cookie = 0;
  HRESULT result = ::CoRegisterClassObject(clsid, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
  factory->Release();  // the runtime holds it while registered
  ASSERT_EQ(result, S_OK);
  registrations[registrationCount++] = Registration{clsid, cookie};
}

void UnregisterEngine(const CLSID& clsid) {
  for (int i = 0; i < registrationCount; ++i) {
    if (!IsEqualCLSID(registrations[i].clsid, clsid)) continue;
    EXPECT_EQ(::CoRevokeClassObject(registrations[i].cookie), S_OK);
    registrations[i] = registrations[--registrationCount];
    return;
  }
}

void UnregisterEngines() {
  while (registrationCount > 0) UnregisterEngine(registrations[0].clsid);
  if (comEntered) ::CoUninitialize();
  comEntered = false;
}
#else
void RegisterEngine(const CLSID& clsid, EngineLog& log) {
  emu::RegisterClass(
      clsid, [&log](IUnknown*, REFIID riid, void** object) { return CreateEngine(log, riid, object); });
}

void UnregisterEngine(const CLSID& clsid) { emu::UnregisterClass(clsid); }

// The emulator's Reset forgets all classes anyway; this keeps the two targets'
// fixtures symmetrical.
void UnregisterEngines() {}
#endif
