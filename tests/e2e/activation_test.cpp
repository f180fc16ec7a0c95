// Activation through the COM runtime: what a client gets for each class of each
// package copy, and how failures on the way reach it.
#include "e2e_fixture.h"

#include <vector>

#include "stub/stub_host.h"
#include "support/package_files.h"

namespace e2e {
namespace {

constexpr DWORD kInproc = CLSCTX_INPROC_SERVER;

// A controlling unknown for aggregation requests; never really aggregates.
struct OuterUnknown : IUnknown {
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

using E2EActivation = E2ETest;

TEST_F(E2EActivation, EachPackageCopyServesItsOwnClassesWithItsOwnModulePath) {
  auto alpha = AddPackage(L"Alpha", L"Apartment");
  auto beta = AddPackage(L"Beta", L"Both", /*lowerCase=*/true);
  struct Case {
    const char* name;
    CLSID outer;
    CLSID engine;
    std::wstring modulePath;
  };
  const Case cases[] = {
      {"Alpha Stub", alpha->style, CLSID_StyleEngine, alpha->files->modulePath},
      {"Alpha StubText", alpha->styleText, CLSID_StyleTextEngine, alpha->files->modulePath},
      {"Beta Stub", beta->style, CLSID_StyleEngine, beta->files->modulePath},
      {"Beta StubText", beta->styleText, CLSID_StyleTextEngine, beta->files->modulePath},
  };

  ComRef<IEngineProbe> objects[4];
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(cases[i].name);
    ASSERT_EQ(CoCreateInstance(cases[i].outer, nullptr, kInproc, kIID_IEngineProbe, objects[i].Out()), S_OK);
    // The client holds the engine object itself: only it answers IEngineProbe.
    EXPECT_EQ(GuidText(ProbedClass(objects[i].get())), GuidText(cases[i].engine));
    EXPECT_EQ(ProbedPath(objects[i].get()), cases[i].modulePath);
    EXPECT_EQ(objects[i]->GetSetModulePathCalls(), 1u);
  }
  // Both copies are loaded side by side, each under its own name.
  HMODULE alphaModule = GetModuleHandleW(alpha->files->modulePath.c_str());
  HMODULE betaModule = GetModuleHandleW(beta->files->modulePath.c_str());
  EXPECT_NE(alphaModule, nullptr);
  EXPECT_NE(betaModule, nullptr);
  EXPECT_NE(alphaModule, betaModule);

  // One engine object per creation, and the stubs kept no reference to any.
  EXPECT_EQ(EngineLiveObjects(), 4);
  for (auto& object : objects) object.Reset();
  EXPECT_EQ(EngineLiveObjects(), 0);
  EXPECT_EQ(ModuleCanUnloadNow(alpha->files->modulePath), S_OK);
  EXPECT_EQ(ModuleCanUnloadNow(beta->files->modulePath), S_OK);
}

TEST_F(E2EActivation, ModuleLoadedThroughShortPathFindsItsPackage) {
  auto package = AddPackage(L"LongPackageName", L"Apartment");
  wchar_t shortPath[MAX_PATH] = {};
  ASSERT_NE(GetShortPathNameW(package->files->modulePath.c_str(), shortPath, MAX_PATH), 0u);
  // The short name must not lead to the package folder by itself, or this
  // test would not show that the module looks at its long name.
  std::wstring shortStem(shortPath);
  ASSERT_GT(shortStem.size(), 4u);
  shortStem.resize(shortStem.size() - 4);
  ASSERT_NE(shortStem, package->files->modulePath.substr(0, package->files->modulePath.size() - 4));
  ASSERT_EQ(GetFileAttributesW(shortStem.c_str()), INVALID_FILE_ATTRIBUTES)
      << Narrow(shortStem) << " exists; the short name proves nothing";

  ScopedClassRegistration shortKey(package->style, shortPath, L"Apartment");
  ASSERT_TRUE(shortKey.ok());
  // A module that looked beside its short name would fail to load after a box.
  MessageBoxWatcher watcher;
  ASSERT_TRUE(watcher.Start());
  ComRef<IUnknown> object;
  const HRESULT created = CoCreateInstance(package->style, nullptr, kInproc, IID_IUnknown, object.Out());
  ASSERT_TRUE(watcher.Stop());
  for (const SeenBox& box : watcher.Boxes()) {
    ADD_FAILURE() << "box while loading: " << Narrow(box.caption) << ": " << Narrow(box.text);
  }
  ASSERT_EQ(created, S_OK);
  // The engine gets the file name as the loader reports it for the module.
  HMODULE module = GetModuleHandleW(shortPath);
  ASSERT_NE(module, nullptr);
  wchar_t loadedName[MAX_PATH] = {};
  GetModuleFileNameW(module, loadedName, MAX_PATH);
  EXPECT_EQ(ProbedPath(object.get()), loadedName);
}

// A package kept unregistered beside its assembly manifest, as an application
// ships one in its own folder: the host library finds it there, checks it and
// creates both classes through an activation context of the manifest, each
// engine object told the package's module path; without that context COM
// does not know the class at all.
TEST_F(E2EActivation, HostLibraryCreatesAnUnregisteredPackageThroughItsManifest) {
  const CLSID style = NewGuid(), text = NewGuid();
  Package files(folder_, L"Gamma", ScriptWithClassId(Narrow(GuidText(style))).c_str(),
                ScriptWithClassId(Narrow(GuidText(text))).c_str());
  ASSERT_TRUE(files.ok);
#ifdef _WIN64
  const std::string architecture = "amd64";
#else
  const std::string architecture = "x86";
#endif
  const std::string manifest =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
      "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
      "  <assemblyIdentity type=\"win32\" name=\"Gamma.Assembly\" version=\"1.0.0.0\" "
      "processorArchitecture=\"" +
      architecture +
      "\"/>\n"
      "  <file name=\"Gamma.dll\">\n"
      "    <comClass clsid=\"" +
      Narrow(GuidText(style)) +
      "\" progid=\"Gamma.Style.1\" "
      "threadingModel=\"Apartment\" description=\"Gamma Style\"/>\n"
      "    <comClass clsid=\"" +
      Narrow(GuidText(text)) +
      "\" progid=\"Gamma.StyleText.1\" "
      "threadingModel=\"Both\" description=\"Gamma Text Style\"/>\n"
      "  </file>\n</assembly>\n";
  ASSERT_TRUE(WriteFileText(folder_.path() + L"Gamma.Assembly.manifest", manifest));

  std::vector<stub::host::Package> packages;
  ASSERT_EQ(stub::host::FindFolderPackages(folder_.path(), packages), S_OK);
  ASSERT_EQ(packages.size(), 1u);
  stub::host::Package& package = packages[0];
  EXPECT_EQ(package.origin, stub::host::Origin::Folder);
  EXPECT_EQ(package.modulePath, files.modulePath);
  ASSERT_EQ(package.state(), stub::host::State::Ready);
  ASSERT_NE(package.style(), nullptr);
  EXPECT_EQ(package.style()->progId, L"Gamma.Style.1");
  EXPECT_EQ(package.style()->threadingModel, L"Apartment");

  const struct {
    stub::host::ClassKind kind;
    CLSID engine;
  } kinds[] = {{stub::host::ClassKind::Style, CLSID_StyleEngine},
               {stub::host::ClassKind::Text, CLSID_StyleTextEngine}};
  // Created here without a probe first: this test is about the activation
  // context around the creation (the host tests try packages out of process).
  stub::host::Options options = stub::host::GetOptions();
  options.probeFirst = false;
  stub::host::SetOptions(options);
  for (const auto& kind : kinds) {
    ComRef<IEngineProbe> object;
    ASSERT_EQ(stub::host::CreateClass(package, kind.kind, kIID_IEngineProbe, object.Out()), S_OK);
    EXPECT_EQ(GuidText(ProbedClass(object.get())), GuidText(kind.engine));
    EXPECT_EQ(ProbedPath(object.get()), files.modulePath);
    const stub::host::Class* created =
        kind.kind == stub::host::ClassKind::Style ? package.style() : package.text();
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(created->state, stub::host::State::Working);
  }
  // Creating the text style checked the package again: the style created
  // before stays Working, and so the package is.
  EXPECT_EQ(package.style()->state, stub::host::State::Working);
  EXPECT_EQ(package.state(), stub::host::State::Working);
  ComRef<IUnknown> direct;
  EXPECT_EQ(CoCreateInstance(style, nullptr, kInproc, IID_IUnknown, direct.Out()), REGDB_E_CLASSNOTREG);
}

using E2EActivationErrors = E2ETest;

TEST_F(E2EActivationErrors, AggregationAndNullOutPointerAreRefused) {
  auto package = AddPackage(L"Alpha", L"Apartment");
  OuterUnknown outer;
  ComRef<IUnknown> object;
  EXPECT_EQ(CoCreateInstance(package->style, &outer, kInproc, IID_IUnknown, object.Out()),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(object.get(), nullptr);

  ComRef<IClassFactory> factory;
  ASSERT_EQ(CoGetClassObject(package->styleText, kInproc, nullptr, IID_IClassFactory, factory.Out()), S_OK);
  // With IID_IUnknown the request reaches the instance creator; with any other
  // interface the factory refuses it itself. Both must refuse and null the slot.
  for (const IID* iid : {&IID_IUnknown, &kIID_IEngineProbe}) {
    EXPECT_EQ(factory->CreateInstance(&outer, *iid, object.Out()), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object.get(), nullptr);
  }
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(EngineLiveObjects(), 0) << "no engine object may be made for a refused request";
  factory.Reset();
  EXPECT_EQ(ModuleCanUnloadNow(package->files->modulePath), S_OK);
}

TEST_F(E2EActivationErrors, MissingEngineClassFailsOnlyItsOwnClass) {
  auto package = AddPackage(L"Alpha", L"Apartment");
  UnregisterEngine(CLSID_StyleEngine);
  ComRef<IUnknown> object;
  EXPECT_EQ(CoCreateInstance(package->style, nullptr, kInproc, IID_IUnknown, object.Out()),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(object.get(), nullptr);
  EXPECT_EQ(ModuleCanUnloadNow(package->files->modulePath), S_OK);

  ASSERT_EQ(CoCreateInstance(package->styleText, nullptr, kInproc, IID_IUnknown, object.Out()), S_OK);
  EXPECT_EQ(GuidText(ProbedClass(object.get())), GuidText(CLSID_StyleTextEngine));
}

TEST_F(E2EActivationErrors, EngineFailuresReachTheClientAndReleaseTheEngine) {
  auto package = AddPackage(L"Alpha", L"Apartment");
  ComRef<IClassFactory> factory;
  ASSERT_EQ(CoGetClassObject(package->style, kInproc, nullptr, IID_IClassFactory, factory.Out()), S_OK);

  // A failure code from SetModulePath reaches the client unchanged, and the
  // stub lets go of the engine object it could not set up.
  const HRESULT engineFailure = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x0321);
  ConfigureEngine(engineFailure, nullptr);
  ComRef<IUnknown> object;
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, object.Out()), engineFailure);
  EXPECT_EQ(object.get(), nullptr);
  EXPECT_EQ(EngineLiveObjects(), 0);

  // S_FALSE is not a failure: the client gets the engine object.
  ConfigureEngine(S_FALSE, nullptr);
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, object.Out()), S_OK);
  EXPECT_EQ(ProbedPath(object.get()), package->files->modulePath);
  object.Reset();
  EXPECT_EQ(EngineLiveObjects(), 0);

  // An interface the engine lacks is refused, directly and through the COM runtime.
  ConfigureEngine(S_OK, &kIID_IEngineProbe);
  ComRef<IEngineProbe> probe;
  EXPECT_EQ(factory->CreateInstance(nullptr, kIID_IEngineProbe, probe.Out()), E_NOINTERFACE);
  EXPECT_EQ(probe.get(), nullptr);
  EXPECT_EQ(CoCreateInstance(package->styleText, nullptr, kInproc, kIID_IEngineProbe, probe.Out()),
            E_NOINTERFACE);
  EXPECT_EQ(probe.get(), nullptr);
  EXPECT_EQ(EngineLiveObjects(), 0);

  // An engine's success without an object is never used as one (it once made
  // the module call SetModulePath through null and end the host).
  ConfigureEngine(S_OK, nullptr, kEngineCreatesNothing);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, object.Out()), E_POINTER);
  EXPECT_EQ(object.get(), nullptr);
  ConfigureEngine(S_OK, nullptr, kEngineAnswersNull);
  EXPECT_EQ(factory->CreateInstance(nullptr, kIID_IEngineProbe, probe.Out()), E_NOINTERFACE);
  EXPECT_EQ(probe.get(), nullptr);
  EXPECT_EQ(EngineLiveObjects(), 0);
  ConfigureEngine(S_OK, nullptr);

  factory.Reset();
  EXPECT_EQ(ModuleCanUnloadNow(package->files->modulePath), S_OK);
}

}  // namespace
}  // namespace e2e
