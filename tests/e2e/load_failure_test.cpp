// Loading a module copy whose package is broken: the load fails after a message
// box that tells the person installing it what is wrong.
#include "e2e_fixture.h"
#include "support/package_files.h"

namespace e2e {
namespace {

constexpr DWORD kDllInitFailed = 1114;  // ERROR_DLL_INIT_FAILED

struct LoadOutcome {
  bool watched = false;
  HMODULE module = nullptr;
  DWORD error = 0;
  std::vector<SeenBox> boxes;
};

// Loads `path` with a box watcher running, and unloads it again if it loaded.
LoadOutcome LoadWatched(const std::wstring& path) {
  LoadOutcome outcome;
  MessageBoxWatcher watcher;
  // Without a running watcher a box would block the load for good.
  if (!watcher.Start()) return outcome;
  SetLastError(ERROR_SUCCESS);
  outcome.module = LoadLibraryW(path.c_str());
  outcome.error = GetLastError();
  outcome.watched = watcher.Stop();
  outcome.boxes = watcher.Boxes();
  if (outcome.module) FreeLibrary(outcome.module);
  return outcome;
}

// The load of `package` failed after one box with `caption` and `text`.
void ExpectRefusedLoad(const Package& package, const wchar_t* caption, const std::wstring& text) {
  const LoadOutcome outcome = LoadWatched(package.modulePath);
  ASSERT_TRUE(outcome.watched);
  EXPECT_EQ(outcome.module, nullptr);
  EXPECT_EQ(outcome.error, kDllInitFailed);
  ExpectOneBox(outcome.boxes, caption, text);
  EXPECT_EQ(GetModuleHandleW(package.modulePath.c_str()), nullptr);
}

std::string ValidScript() { return ScriptWithClassId(Narrow(GuidText(NewGuid()))); }

using E2ELoad = E2ETest;

TEST_F(E2ELoad, IntactPackageLoadsWithoutAnyBox) {
  const std::string style = ValidScript(), styleText = ValidScript();
  Package package(folder_, L"Intact", style.c_str(), styleText.c_str());
  ASSERT_TRUE(package.ok);
  const LoadOutcome outcome = LoadWatched(package.modulePath);
  ASSERT_TRUE(outcome.watched);
  EXPECT_NE(outcome.module, nullptr) << "error " << outcome.error;
  EXPECT_TRUE(outcome.boxes.empty()) << Describe(outcome.boxes);
}

TEST_F(E2ELoad, MissingStyleScriptNamesItsPathAndStopsBeforeStyleText) {
  // StyleText.rgs is broken too: reading it would raise a second box.
  const std::string styleText = ScriptWithClassId("{not-an-identifier}");
  Package package(folder_, L"NoStyle", nullptr, styleText.c_str());
  ASSERT_TRUE(package.ok);
  ExpectRefusedLoad(package, L"Resource failed to register!", package.directory + L"Style.rgs");
}

// The module's own name holds at most 259 characters. Longer, it is refused
// whole before any script is looked for, with a box that gives the part that
// fits; Wine's loader hands it the name cut and unterminated.
TEST_F(E2ELoad, AModuleNameLongerThanTheModuleHoldsIsRefusedWithItsCause) {
  const GUID styleId = NewGuid();
  const std::string style = ScriptWithClassId(Narrow(GuidText(styleId)));
  const std::string styleText = ValidScript();
  for (std::size_t length : {259u, 260u, 275u}) {
    SCOPED_TRACE(length);
    const std::size_t base = folder_.path().size() + 4;  // the folder and ".dll"
    ASSERT_LT(base, length);
    Package package(folder_, std::wstring(length - base, L'L'), style.c_str(), styleText.c_str());
    ASSERT_TRUE(package.ok);
    ASSERT_EQ(package.modulePath.size(), length);
    if (length < MAX_PATH) {
      const LoadOutcome outcome = LoadWatched(package.modulePath);
      ASSERT_TRUE(outcome.watched);
      EXPECT_NE(outcome.module, nullptr) << "error " << outcome.error;
      EXPECT_TRUE(outcome.boxes.empty()) << Describe(outcome.boxes);
    } else {
      const std::wstring shown = package.modulePath.substr(0, MAX_PATH - 4) + L"...";
      ExpectRefusedLoad(package, L"Module path too long!", shown);
      if (length > MAX_PATH) continue;  // Wine's COM loads no server path this long
      // A client of the registered class sees the refused load as Wine reports any.
      ScopedClassRegistration registration(styleId, package.modulePath, L"Apartment");
      ASSERT_TRUE(registration.ok());
      MessageBoxWatcher watcher;
      ASSERT_TRUE(watcher.Start());
      ComRef<IUnknown> object;
      EXPECT_EQ(CoCreateInstance(styleId, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.Out()),
                E_ACCESSDENIED);
      ASSERT_TRUE(watcher.Stop());
      ExpectOneBox(watcher.Boxes(), L"Module path too long!", shown);
    }
  }
}

// A client that creates a registered class of a package broken since its
// registration sees the failed load as E_ACCESSDENIED under Wine 8.0, which
// reads like a permissions problem: the guides say so, and hosts check first.
TEST_F(E2ELoad, ClientCreatingAClassWhoseLoadFailsSeesAccessDenied) {
  auto package = AddPackage(L"BrokenSince", L"Apartment");
  ASSERT_TRUE(package->files->ok);
  ASSERT_TRUE(DeleteFileW((package->files->directory + L"Style.rgs").c_str()));
  MessageBoxWatcher watcher;
  ASSERT_TRUE(watcher.Start());
  ComRef<IUnknown> object;
  const HRESULT result =
      CoCreateInstance(package->style, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.Out());
  ASSERT_TRUE(watcher.Stop());
  EXPECT_EQ(result, E_ACCESSDENIED);
  ExpectOneBox(watcher.Boxes(), L"Resource failed to register!", package->files->directory + L"Style.rgs");
  EXPECT_EQ(GetModuleHandleW(package->files->modulePath.c_str()), nullptr);
}

// Switches this process to a new window station that no person sees (its flags
// lack WSF_VISIBLE), as a service or an installer without a desktop has, and
// back to its own at the end.
class ScopedHiddenStation {
 public:
  ScopedHiddenStation()
      : own_(GetProcessWindowStation()),
        hidden_(CreateWindowStationW(nullptr, 0, WINSTA_ALL_ACCESS, nullptr)) {
    switched_ = hidden_ && SetProcessWindowStation(hidden_);
  }
  ~ScopedHiddenStation() {
    if (switched_) SetProcessWindowStation(own_);
    if (hidden_) CloseWindowStation(hidden_);
  }
  ScopedHiddenStation(const ScopedHiddenStation&) = delete;
  ScopedHiddenStation& operator=(const ScopedHiddenStation&) = delete;

  /// True when the process now runs on a station that says it is not visible.
  bool Hidden() const {
    USEROBJECTFLAGS flags = {};
    DWORD length = 0;
    return switched_ &&
           GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, &length) &&
           (flags.dwFlags & WSF_VISIBLE) == 0;
  }

 private:
  HWINSTA own_;
  HWINSTA hidden_;
  bool switched_ = false;
};

TEST_F(E2ELoad, OnAStationNobodySeesTheLoadFailsAsBeforeWithoutABox) {
  Package package(folder_, L"Unattended", nullptr, ValidScript().c_str());
  ASSERT_TRUE(package.ok);
  // Started on this process's own station, the watcher goes on seeing the
  // boxes of this thread after the switch: a box raised here first shows
  // that it would catch one from the module.
  MessageBoxWatcher watcher;
  ASSERT_TRUE(watcher.Start());
  bool hidden = false;
  HMODULE module = nullptr;
  DWORD error = 0;
  {
    ScopedHiddenStation station;
    hidden = station.Hidden();
    if (hidden) {
      MessageBoxW(nullptr, L"seen", L"E2E watcher check", MB_OK);
      SetLastError(ERROR_SUCCESS);
      module = LoadLibraryW(package.modulePath.c_str());
      error = GetLastError();
    }
  }
  if (module) FreeLibrary(module);
  ASSERT_TRUE(watcher.Stop());
  ASSERT_TRUE(hidden);
  EXPECT_EQ(module, nullptr);
  EXPECT_EQ(error, kDllInitFailed);
  ExpectOneBox(watcher.Boxes(), L"E2E watcher check", L"seen");
}

struct BadIdentifierCase {
  const char* name;
  std::string style;      // Style.rgs
  std::string styleText;  // StyleText.rgs
  std::wstring shown;     // text of the "Invalid GUID!" box
};

void PrintTo(const BadIdentifierCase& test, std::ostream* out) { *out << test.name; }

class E2ELoadBadIdentifier : public E2ETest, public testing::WithParamInterface<BadIdentifierCase> {};

TEST_P(E2ELoadBadIdentifier, LoadFailsAfterShowingTheScannedText) {
  const BadIdentifierCase& test = GetParam();
  Package package(folder_, L"BadId", test.style.c_str(), test.styleText.c_str());
  ASSERT_TRUE(package.ok);
  ExpectRefusedLoad(package, L"Invalid GUID!", test.shown);
}

INSTANTIATE_TEST_SUITE_P(
    E2EScripts, E2ELoadBadIdentifier,
    testing::Values(
        // The scan stops at the first character outside the identifier set.
        BadIdentifierCase{"SpaceInsideBraces", ScriptWithClassId("{8D5C2A10 -1111-2222-3333-444455556666}"),
                          ValidScript(), L"{8D5C2A10"},
        // Fewer than two "{": nothing is scanned at all.
        BadIdentifierCase{"FewerThanTwoBraces", "HKCR\r\n{\r\n\tNoRemove CLSID\r\n}\r\n", ValidScript(), L""},
        // The scanned text goes to the conversion as it is, braces or not.
        BadIdentifierCase{"WithoutBraces", ScriptWithClassId("8D5C2A10-1111-2222-3333-444455556666"),
                          ValidScript(), L"8D5C2A10-1111-2222-3333-444455556666"},
        // Far more identifier characters than any identifier has: the scan stops
        // at its buffer rather than write past it.
        BadIdentifierCase{"OverlongRunIsCutAtTheScanBuffer", ScriptWithClassId(std::string(600, 'A')),
                          ValidScript(), std::wstring(127, L'A')},
        // The second script is read once the first is good.
        BadIdentifierCase{"InStyleTextOnly", ValidScript(), ScriptWithClassId("{zz}"), L"{"}),
    [](const testing::TestParamInfo<BadIdentifierCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e
