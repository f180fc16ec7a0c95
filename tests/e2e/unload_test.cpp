// Unloading: the engine objects that clients hold are served by the engine, not
// by the module, so once the factories are released COM may unload the module
// while those objects live on.
#include "e2e_fixture.h"

namespace e2e {
namespace {

struct UnloadCase {
  const char* name;
  DWORD apartment;
  const wchar_t* threadingModel;
};

// The combinations in which COM unloads an in-process server at once: a
// single-threaded apartment with Apartment or Both, a multithreaded one with
// Both. (A multithreaded client of an Apartment class talks to a host
// apartment, which keeps the module.)
const UnloadCase kUnloadCases[] = {
    {"StaApartment", COINIT_APARTMENTTHREADED, L"Apartment"},
    {"StaBoth", COINIT_APARTMENTTHREADED, L"Both"},
    {"MtaBoth", COINIT_MULTITHREADED, L"Both"},
};

void PrintTo(const UnloadCase& test, std::ostream* out) { *out << test.name; }

class E2EUnload : public E2ETest, public testing::WithParamInterface<UnloadCase> {
 protected:
  DWORD Apartment() const override { return GetParam().apartment; }
};

TEST_P(E2EUnload, ReleasedFactoriesLetTheModuleGoWhileEngineObjectsLive) {
  auto package = AddPackage(L"Alpha", GetParam().threadingModel);
  const std::wstring& path = package->files->modulePath;

  ComRef<IClassFactory> factory;
  ASSERT_EQ(CoGetClassObject(package->style, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, factory.Out()),
            S_OK);
  ComRef<IEngineProbe> style;
  ASSERT_EQ(factory->CreateInstance(nullptr, kIID_IEngineProbe, style.Out()), S_OK);
  ComRef<IEngineProbe> styleText;
  ASSERT_EQ(
      CoCreateInstance(package->styleText, nullptr, CLSCTX_INPROC_SERVER, kIID_IEngineProbe, styleText.Out()),
      S_OK);

  // While the client holds the factory, the module must stay.
  CoFreeUnusedLibrariesEx(0, 0);
  if (!GetModuleHandleW(path.c_str())) {
    factory.Abandon();
    FAIL() << "unloaded under a held factory";
  }
  EXPECT_EQ(ModuleCanUnloadNow(path), S_FALSE);

  factory.Reset();
  EXPECT_EQ(ModuleCanUnloadNow(path), S_OK);
  CoFreeUnusedLibrariesEx(0, 0);
  EXPECT_EQ(GetModuleHandleW(path.c_str()), nullptr) << "still loaded after CoFreeUnusedLibrariesEx";

  // The engine objects do not depend on the module that created them.
  EXPECT_EQ(ProbedPath(style.get()), path);
  EXPECT_EQ(ProbedPath(styleText.get()), path);
  EXPECT_EQ(EngineLiveObjects(), 2);
  style.Reset();
  styleText.Reset();
  EXPECT_EQ(EngineLiveObjects(), 0);
}

INSTANTIATE_TEST_SUITE_P(E2EApartments, E2EUnload, testing::ValuesIn(kUnloadCases),
                         [](const testing::TestParamInfo<UnloadCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace e2e
