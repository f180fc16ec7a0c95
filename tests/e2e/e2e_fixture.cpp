#include "e2e_fixture.h"

#include "support/package_files.h"

namespace e2e {

void E2ETest::SetUp() {
  ASSERT_FALSE(folder_.path().empty()) << "no temporary folder";
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, Apartment())));
  comReady_ = true;

  const std::wstring enginePath = EngineModulePath();
  engine_ = LoadLibraryW(enginePath.c_str());
  ASSERT_NE(engine_, nullptr) << "cannot load " << Narrow(enginePath);
  configure_ = reinterpret_cast<EngineConfigureFn>(
      reinterpret_cast<void*>(GetProcAddress(engine_, "EngineConfigure")));
  liveObjects_ = reinterpret_cast<EngineLiveObjectsFn>(
      reinterpret_cast<void*>(GetProcAddress(engine_, "EngineLiveObjects")));
  ASSERT_TRUE(configure_ && liveObjects_);
  configure_(S_OK, nullptr, kEngineKeepsItsWord);
  liveAtStart_ = liveObjects_();

  styleEngineKey_ = std::make_unique<ScopedClassRegistration>(CLSID_StyleEngine, enginePath, L"Both");
  styleTextEngineKey_ = std::make_unique<ScopedClassRegistration>(CLSID_StyleTextEngine, enginePath, L"Both");
  ASSERT_TRUE(styleEngineKey_->ok() && styleTextEngineKey_->ok());
}

void E2ETest::TearDown() {
  // Leaving the apartment unloads the module copies that COM loaded, so that
  // the temporary folder can be removed after this.
  if (comReady_) CoUninitialize();
  comReady_ = false;
  if (configure_) configure_(S_OK, nullptr, kEngineKeepsItsWord);
  styleEngineKey_.reset();
  styleTextEngineKey_.reset();
  if (engine_) FreeLibrary(engine_);
  engine_ = nullptr;
}

void ExpectOneBox(const std::vector<SeenBox>& boxes, const wchar_t* caption, const std::wstring& text) {
  ASSERT_EQ(boxes.size(), 1u) << Describe(boxes);
  EXPECT_EQ(boxes[0].caption, caption);
  EXPECT_EQ(boxes[0].text, text);
  EXPECT_FALSE(boxes[0].owned);
  EXPECT_TRUE(boxes[0].okOnly);
}

std::unique_ptr<RegisteredPackage> E2ETest::AddPackage(const std::wstring& name,
                                                       const wchar_t* threadingModel, bool lowerCase) {
  auto package = std::make_unique<RegisteredPackage>();
  package->style = NewGuid();
  package->styleText = NewGuid();
  const auto scriptText = [lowerCase](const CLSID& id) {
    std::string text = Narrow(GuidText(id));
    if (lowerCase) {
      for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return ScriptWithClassId(text);
  };
  package->files = std::make_unique<Package>(folder_, name, scriptText(package->style).c_str(),
                                             scriptText(package->styleText).c_str());
  EXPECT_TRUE(package->files->ok) << "cannot lay out package " << Narrow(name);
  package->styleKey =
      std::make_unique<ScopedClassRegistration>(package->style, package->files->modulePath, threadingModel);
  package->styleTextKey = std::make_unique<ScopedClassRegistration>(
      package->styleText, package->files->modulePath, threadingModel);
  EXPECT_TRUE(package->styleKey->ok() && package->styleTextKey->ok());
  return package;
}

void E2ETest::ConfigureEngine(HRESULT setModulePathResult, const IID* refusedInterface, int misbehaviour) {
  configure_(setModulePathResult, refusedInterface, misbehaviour);
}

LONG E2ETest::EngineLiveObjects() { return liveObjects_() - liveAtStart_; }

void E2ETest::UnregisterEngine(const CLSID& engineClass) {
  if (IsEqualCLSID(engineClass, CLSID_StyleEngine)) styleEngineKey_->Remove();
  if (IsEqualCLSID(engineClass, CLSID_StyleTextEngine)) styleTextEngineKey_->Remove();
}

HRESULT E2ETest::ModuleCanUnloadNow(const std::wstring& modulePath) {
  HMODULE module = GetModuleHandleW(modulePath.c_str());
  if (!module) return E_UNEXPECTED;
  using CanUnloadFn = HRESULT(STDMETHODCALLTYPE*)();
  auto canUnload =
      reinterpret_cast<CanUnloadFn>(reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
  return canUnload ? canUnload() : E_UNEXPECTED;
}

std::wstring E2ETest::ProbedPath(IUnknown* object) {
  ComRef<IEngineProbe> probe;
  if (!object || FAILED(object->QueryInterface(kIID_IEngineProbe, probe.Out()))) {
    return L"<not an engine object>";
  }
  wchar_t path[1024] = {};
  probe->GetModulePath(path, 1024);
  return path;
}

CLSID E2ETest::ProbedClass(IUnknown* object) {
  ComRef<IEngineProbe> probe;
  CLSID engineClass = {};
  if (object && SUCCEEDED(object->QueryInterface(kIID_IEngineProbe, probe.Out()))) {
    probe->GetEngineClass(&engineClass);
  }
  return engineClass;
}

}  // namespace e2e
