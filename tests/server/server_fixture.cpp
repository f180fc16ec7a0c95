#include "server/server_fixture.h"

#include <cstring>

#include "package/class_identity.h"

#ifndef _WIN32
#include "platform/emulated/emulator.h"
#endif

void ServerFixture::SetUp() {
#ifndef _WIN32
  emu::Reset();
#endif
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
}

void ServerFixture::RebuildModule() {
  if (module_) module_->Stop();
  module_.reset();
  record_.reset();
  record_.emplace(ModuleInstance);
  module_.emplace(*record_);
}

ClassTableEntry* ServerFixture::SetRow(int i, const GUID* classId,
                                       ClassObjectCreator createClassObject,
                                       InstanceCreator createInstance, void (*startStop)(bool)) {
  table_[i] = ClassTableEntry{classId, nullptr, createClassObject, createInstance, nullptr, 0,
                              nullptr, nullptr, startStop};
  return table_;
}

#ifndef _WIN32
namespace {

class FakeEngine final : public IStubTarget {
 public:
  explicit FakeEngine(EngineLog& log) : log_(log) {
    ++log_.created;
    ++log_.live;
    log_.lastObject = this;
  }
  HRESULT QueryInterface(REFIID riid, void** object) override {
    auto is = [&](const IID& iid) { return std::memcmp(&riid, &iid, sizeof(IID)) == 0; };
    *object = nullptr;
    if (!is(IID_IUnknown) && !is(IID_IStubTarget) &&
        (log_.refuseOtherInterfaces || !is(IID_IEngineProbe))) {
      return E_NOINTERFACE;
    }
    *object = static_cast<IStubTarget*>(this);
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++count_; }
  ULONG Release() override {
    if (--count_ > 0) return count_;
    --log_.live;
    delete this;
    return 0;
  }
  HRESULT SetModulePath(const char16_t* path) override {
    ++log_.setPathCalls;
    log_.lastPath = path;
    return log_.setPathResult;
  }

 private:
  EngineLog& log_;
  ULONG count_ = 0;
};

}  // namespace

void RegisterEngine(const CLSID& clsid, EngineLog& log) {
  emu::RegisterClass(clsid, [&log](IUnknown*, REFIID riid, void** object) {
    auto* engine = new FakeEngine(log);
    engine->AddRef();
    HRESULT result = engine->QueryInterface(riid, object);
    engine->Release();
    return result;
  });
}
#endif
