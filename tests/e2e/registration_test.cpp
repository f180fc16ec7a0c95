// Registration of a package copy as an installer does it: regsvr32 in a child
// process (its exit code), and the exports called in this process (their
// HRESULT), against Wine's real registry, COM runtime and message boxes.
#include "e2e_fixture.h"
#include "support/package_files.h"
#include "support/registry_dump.h"

#include <utility>
#include <vector>

namespace e2e {
namespace {

const wchar_t kStylesCategory[] = L"{390F9E99-171D-4A3B-A185-A0E495BA86D0}";
const wchar_t kTextsCategory[] = L"{FD8ABB6D-B549-4A66-94A9-3C360CD70490}";
constexpr DWORD kRegsvr32TimeoutMs = 20000;
// regsvr32's exit codes.
constexpr DWORD kRegsvr32Ok = 0;
constexpr DWORD kRegsvr32LoadFailed = 3;
constexpr DWORD kRegsvr32RegisterFailed = 5;

// Canonical dump (test::DumpRegistry) of a subtree of a classes key (by default
// HKEY_CLASSES_ROOT, which Wine keeps machine-wide), headed by its path.
std::string Dump(const std::wstring& path, HKEY classes = HKEY_CLASSES_ROOT) {
  return Narrow(path) + ":\n" + test::DumpRegistry(classes, std::u16string(path.begin(), path.end()));
}
std::string Missing(const std::wstring& path) { return Narrow(path) + ":\n(no key)\n"; }

void DeleteKey(const std::wstring& path, HKEY classes = HKEY_CLASSES_ROOT) {
  RegDeleteTreeW(classes, path.c_str());
  RegDeleteKeyW(classes, path.c_str());
}

// The current user's own classes key, where a registration for the user alone lands.
HKEY OpenUserClasses() {
  HKEY key = nullptr;
  RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                  nullptr);
  return key;
}

struct ChildOutcome {
  bool finished = false;
  DWORD exitCode = ~0u;
  std::vector<SeenBox> boxes;  // message boxes the child showed (and we closed)
};

// Runs regsvr32 with `options` on `modulePath` and waits for it (bounded),
// closing and recording every message box it shows; a hung child is ended.
ChildOutcome RunRegsvr32(const std::wstring& options, const std::wstring& modulePath) {
  ChildOutcome outcome;
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  std::wstring commandLine =
      L"\"" + std::wstring(system) + L"\\regsvr32.exe\" " + options + L" \"" + modulePath + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child = {};
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &child)) {
    return outcome;
  }
  MessageBoxWatcher watcher(child.dwProcessId);
  if (watcher.Start() && WaitForSingleObject(child.hProcess, kRegsvr32TimeoutMs) == WAIT_OBJECT_0) {
    outcome.finished = GetExitCodeProcess(child.hProcess, &outcome.exitCode) != 0;
  } else {
    TerminateProcess(child.hProcess, 99);
    WaitForSingleObject(child.hProcess, 5000);
  }
  watcher.Stop();
  outcome.boxes = watcher.Boxes();
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  return outcome;
}

// Starts `count` regsvr32 runs with `options` on `modulePath` at once and waits
// for them all (bounded); answers their exit codes, ~0 for a run that did not
// start or finish (it is ended).
std::vector<DWORD> RunRegsvr32Together(const std::wstring& options, const std::wstring& modulePath,
                                       int count) {
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  std::vector<PROCESS_INFORMATION> children;
  for (int i = 0; i < count; ++i) {
    std::wstring commandLine =
        L"\"" + std::wstring(system) + L"\\regsvr32.exe\" " + options + L" \"" + modulePath + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    if (CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &child)) {
      children.push_back(child);
    }
  }
  std::vector<DWORD> codes(count, ~0u);
  for (std::size_t i = 0; i < children.size(); ++i) {
    if (WaitForSingleObject(children[i].hProcess, kRegsvr32TimeoutMs) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(children[i].hProcess, &codes[i])) {
      TerminateProcess(children[i].hProcess, 99);
      WaitForSingleObject(children[i].hProcess, 5000);
      codes[i] = ~0u;
    }
    CloseHandle(children[i].hThread);
    CloseHandle(children[i].hProcess);
  }
  return codes;
}

struct InProcessOutcome {
  bool loaded = false;
  HRESULT result = E_UNEXPECTED;
  std::vector<SeenBox> boxes;
};

// Loads the module copy here and calls one of its registration exports, after
// `change` (if any) has altered the package of the loaded module.
InProcessOutcome CallExport(const std::wstring& modulePath, const char* exportName,
                            void (*change)(const std::wstring& directory) = nullptr) {
  InProcessOutcome outcome;
  MessageBoxWatcher watcher;
  if (!watcher.Start()) return outcome;
  HMODULE module = LoadLibraryW(modulePath.c_str());
  if (module) {
    outcome.loaded = true;
    if (change) change(modulePath.substr(0, modulePath.size() - 4) + L"\\");
    using ExportFn = HRESULT(STDAPICALLTYPE*)();
    auto function = reinterpret_cast<ExportFn>(reinterpret_cast<void*>(GetProcAddress(module, exportName)));
    if (function) outcome.result = function();
    FreeLibrary(module);
  }
  watcher.Stop();
  outcome.boxes = watcher.Boxes();
  return outcome;
}

// One package copy with scripts written the author's way and fresh identifiers.
struct AuthoredPackage {
  std::unique_ptr<Package> files;
  CLSID style = NewGuid();
  CLSID styleText = NewGuid();
  std::wstring styleProgId;
  std::wstring styleTextProgId;

  std::wstring StyleKey() const { return L"CLSID\\" + GuidText(style); }
  std::wstring StyleTextKey() const { return L"CLSID\\" + GuidText(styleText); }
  std::string StyleScript() const {
    return AuthorScript(Narrow(styleProgId), Narrow(GuidText(style)), "Both");
  }
  std::string StyleTextScript() const {
    return AuthorScript(Narrow(styleTextProgId), Narrow(GuidText(styleText)), "Apartment");
  }
};

const std::wstring kStylesCategoryKey = std::wstring(L"Component Categories\\") + kStylesCategory;
const std::wstring kTextsCategoryKey = std::wstring(L"Component Categories\\") + kTextsCategory;

// The two keys of a class's entry in a component category.
std::string CategoryEntry(const wchar_t* category) {
  return "\\Implemented Categories\n\\Implemented Categories\\" + Narrow(category) + "\n";
}

class E2ERegistration : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    userClasses_ = OpenUserClasses();
    ASSERT_NE(userClasses_, nullptr);
    for (HKEY classes : {HKEY_CLASSES_ROOT, userClasses_}) {
      for (const std::wstring& key : {kStylesCategoryKey, kTextsCategoryKey}) {
        if (Dump(key, classes) == Missing(key)) madeCategories_.push_back({classes, key});
      }
    }
  }
  void TearDown() override {
    for (HKEY classes : {HKEY_CLASSES_ROOT, userClasses_}) {
      for (const std::wstring& key : madeKeys_) DeleteKey(key, classes);
    }
    for (const auto& made : madeCategories_) DeleteKey(made.second, made.first);
    if (userClasses_) RegCloseKey(userClasses_);
    E2ETest::TearDown();
  }

  // Lays out <temp>\<name>.dll with its package; a null script text leaves that
  // script out, and an empty one gets the author's script. Every key the
  // package may register is removed at the end of the test.
  std::unique_ptr<AuthoredPackage> Author(const std::wstring& name, const char* style = "",
                                          const char* styleText = "") {
    auto package = std::make_unique<AuthoredPackage>();
    const std::wstring tag = GuidText(package->style).substr(1, 8);
    package->styleProgId = L"StubE2E.Style." + tag;
    package->styleTextProgId = L"StubE2E.Text." + tag;
    const std::string styleScript = style && !*style ? package->StyleScript() : (style ? style : "");
    const std::string textScript =
        styleText && !*styleText ? package->StyleTextScript() : (styleText ? styleText : "");
    package->files = std::make_unique<Package>(folder_, name, style ? styleScript.c_str() : nullptr,
                                               styleText ? textScript.c_str() : nullptr);
    EXPECT_TRUE(package->files->ok) << "cannot lay out " << Narrow(name);
    for (const std::wstring& key :
         {package->StyleKey(), package->StyleTextKey(), package->styleProgId, package->styleTextProgId}) {
      madeKeys_.push_back(key);
    }
    return package;
  }

  // All that a package's registration touches under a classes key: the subtrees
  // its scripts name and the two categories, as one text.
  static std::string Touched(const AuthoredPackage& package, HKEY classes = HKEY_CLASSES_ROOT) {
    return Dump(package.styleProgId, classes) + Dump(package.styleTextProgId, classes) +
           Dump(package.StyleKey(), classes) + Dump(package.StyleTextKey(), classes) +
           Dump(kStylesCategoryKey, classes) + Dump(kTextsCategoryKey, classes);
  }

  // What the author's scripts register for one class, and its ProgID.
  static std::string ScriptedClass(const std::wstring& key, const std::wstring& progId,
                                   const std::wstring& modulePath, const char* threading,
                                   const wchar_t* category) {
    return Narrow(key) + ":\n  @ = sz \"Tarvo package\"\n" + CategoryEntry(category) +
           "\\InprocServer32\n  @ = sz \"" + Narrow(modulePath) + "\"\n" + "  \"ThreadingModel\" = sz \"" +
           threading + "\"\n\\ProgID\n  @ = sz \"" + Narrow(progId) + "\"\n";
  }
  static std::string ScriptedProgId(const std::wstring& progId, const CLSID& id) {
    return Narrow(progId) + ":\n  @ = sz \"Tarvo package\"\n\\CLSID\n  @ = sz \"" + Narrow(GuidText(id)) +
           "\"\n";
  }
  static std::string Categories() {
    return Narrow(kStylesCategoryKey) + ":\n  \"409\" = sz \"Tarvo Styles\"\n" + Narrow(kTextsCategoryKey) +
           ":\n  \"409\" = sz \"Tarvo Texts\"\n";
  }
  static std::string FullRegistration(const AuthoredPackage& p) {
    return ScriptedProgId(p.styleProgId, p.style) + ScriptedProgId(p.styleTextProgId, p.styleText) +
           ScriptedClass(p.StyleKey(), p.styleProgId, p.files->modulePath, "Both", kStylesCategory) +
           ScriptedClass(p.StyleTextKey(), p.styleTextProgId, p.files->modulePath, "Apartment",
                         kTextsCategory) +
           Categories();
  }
  // What removal leaves of a full registration: ProgIDs, server paths and
  // threading models are gone; the category entries stay, and with them each
  // class key that holds them (a key that still has subkeys is never removed,
  // its description included).
  static std::string Residue(const AuthoredPackage& p) {
    const auto classKey = [](const std::wstring& key, const wchar_t* category) {
      return Narrow(key) + ":\n  @ = sz \"Tarvo package\"\n" + CategoryEntry(category);
    };
    return Missing(p.styleProgId) + Missing(p.styleTextProgId) + classKey(p.StyleKey(), kStylesCategory) +
           classKey(p.StyleTextKey(), kTextsCategory) + Categories();
  }

  HKEY userClasses_ = nullptr;

 private:
  std::vector<std::wstring> madeKeys_;
  std::vector<std::pair<HKEY, std::wstring>> madeCategories_;
};

TEST_F(E2ERegistration, Regsvr32RegistersEachCopyAndRemovesOneWithoutTheOther) {
  auto alpha = Author(L"Alpha");
  auto beta = Author(L"Beta");
  for (const AuthoredPackage* package : {alpha.get(), beta.get()}) {
    const ChildOutcome run = RunRegsvr32(L"/s", package->files->modulePath);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, kRegsvr32Ok);
    EXPECT_TRUE(run.boxes.empty()) << Describe(run.boxes);
  }
  for (const AuthoredPackage* package : {alpha.get(), beta.get()}) {
    SCOPED_TRACE(Narrow(package->files->modulePath));
    // The scripts replace their class keys after the categories were entered;
    // the category entries are there all the same.
    EXPECT_EQ(Touched(*package), FullRegistration(*package));
    // Each copy's classes are created through the registry, one by its ProgID,
    // and their engine objects get that copy's path.
    CLSID byProgId = {};
    ASSERT_EQ(CLSIDFromProgID(package->styleTextProgId.c_str(), &byProgId), S_OK);
    EXPECT_EQ(GuidText(byProgId), GuidText(package->styleText));
    const struct {
      CLSID outer;
      CLSID engine;
    } cases[] = {{package->style, CLSID_StyleEngine}, {byProgId, CLSID_StyleTextEngine}};
    for (const auto& c : cases) {
      ComRef<IUnknown> object;
      ASSERT_EQ(CoCreateInstance(c.outer, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.Out()), S_OK);
      EXPECT_EQ(GuidText(ProbedClass(object.get())), GuidText(c.engine));
      EXPECT_EQ(ProbedPath(object.get()), package->files->modulePath);
    }
  }

  const ChildOutcome run = RunRegsvr32(L"/u /s", alpha->files->modulePath);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, kRegsvr32Ok);
  EXPECT_TRUE(run.boxes.empty()) << Describe(run.boxes);
  ComRef<IUnknown> object;
  EXPECT_EQ(CoCreateInstance(alpha->style, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.Out()),
            REGDB_E_CLASSNOTREG);
  // The other copy stays registered as it was.
  EXPECT_EQ(Touched(*alpha), Residue(*alpha));
  EXPECT_EQ(Touched(*beta), FullRegistration(*beta));
}

// A package whose scripts are a copy of a registered package's: its removal
// succeeds and takes nothing of the first package, whose classes name its own
// module file.
TEST_F(E2ERegistration, RemovingACopiedPackageLeavesTheRegisteredOneWhole) {
  auto first = Author(L"First");
  auto copy = Author(L"Copied", first->StyleScript().c_str(), first->StyleTextScript().c_str());
  ChildOutcome run = RunRegsvr32(L"/s", first->files->modulePath);
  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.exitCode, kRegsvr32Ok);

  run = RunRegsvr32(L"/u /s", copy->files->modulePath);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, kRegsvr32Ok);
  EXPECT_TRUE(run.boxes.empty()) << Describe(run.boxes);
  EXPECT_EQ(Touched(*first), FullRegistration(*first));
  CLSID byProgId = {};
  EXPECT_EQ(CLSIDFromProgID(first->styleProgId.c_str(), &byProgId), S_OK);

  // The package's own removal still takes it all.
  run = RunRegsvr32(L"/u /s", first->files->modulePath);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, kRegsvr32Ok);
  EXPECT_EQ(Touched(*first), Residue(*first));
}

// Two regsvr32 runs of one package started together take turns: each succeeds
// and the package ends registered whole, ProgIDs included, every round.
TEST_F(E2ERegistration, TwoRunsOfOnePackageAtOnceEndAsIfOneAfterTheOther) {
  auto package = Author(L"Race");
  const int rounds = 50;
  int whole = 0;
  for (int round = 0; round < rounds; ++round) {
    const std::vector<DWORD> codes = RunRegsvr32Together(L"/s", package->files->modulePath, 2);
    const bool ok =
        codes == std::vector<DWORD>(2, kRegsvr32Ok) && Touched(*package) == FullRegistration(*package);
    EXPECT_TRUE(ok) << "round " << round << ": exit codes " << codes[0] << ", " << codes[1] << "\n"
                    << Touched(*package);
    whole += ok;
    if (!ok) DeleteKey(package->styleProgId);
  }
  EXPECT_EQ(whole, rounds);
  EXPECT_EQ(RunRegsvr32Together(L"/u /s", package->files->modulePath, 2), std::vector<DWORD>(2, kRegsvr32Ok));
  EXPECT_EQ(Touched(*package), Residue(*package));
}

TEST_F(E2ERegistration, Regsvr32RegistersForTheUserAloneBesideTheMachine) {
  auto package = Author(L"PerUser");
  const std::string machineBefore = Touched(*package);
  ChildOutcome run = RunRegsvr32(L"/s /n /i:user", package->files->modulePath);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, kRegsvr32Ok);
  EXPECT_TRUE(run.boxes.empty()) << Describe(run.boxes);
  // Everything lands in the user's classes key, category entries included,
  // and nothing in the machine-wide one (Wine's COM reads only that one, so
  // the classes cannot be created through this registration here).
  EXPECT_EQ(Touched(*package, userClasses_), FullRegistration(*package));
  EXPECT_EQ(Touched(*package), machineBefore);

  run = RunRegsvr32(L"/s", package->files->modulePath);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, kRegsvr32Ok);
  EXPECT_EQ(Touched(*package), FullRegistration(*package));

  // Removing the user's registration leaves what machine-wide removal leaves,
  // and the machine-wide registration whole.
  run = RunRegsvr32(L"/u /s /n /i:user", package->files->modulePath);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, kRegsvr32Ok);
  EXPECT_TRUE(run.boxes.empty()) << Describe(run.boxes);
  EXPECT_EQ(Touched(*package, userClasses_), Residue(*package));
  EXPECT_EQ(Touched(*package), FullRegistration(*package));
  ComRef<IUnknown> object;
  EXPECT_EQ(CoCreateInstance(package->style, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.Out()),
            S_OK);
  object.Reset();

  run = RunRegsvr32(L"/u /s", package->files->modulePath);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, kRegsvr32Ok);
  EXPECT_EQ(Touched(*package), Residue(*package));
}

TEST_F(E2ERegistration, AMissingTextScriptFailsTheLoadOrTheRegistration) {
  auto package = Author(L"NoText", "", nullptr);
  const std::wstring textPath = package->files->directory + L"StyleText.rgs";
  // regsvr32 cannot even load the copy: the box comes from the load.
  const ChildOutcome run = RunRegsvr32(L"/s", package->files->modulePath);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, kRegsvr32LoadFailed);
  ExpectOneBox(run.boxes, L"Resource failed to register!", textPath);

  // A script that goes away after the load stops registration before anything
  // is written, categories included.
  WriteFileText(textPath, package->StyleTextScript());
  const InProcessOutcome call =
      CallExport(package->files->modulePath, "DllRegisterServer",
                 [](const std::wstring& folder) { DeleteFileW((folder + L"StyleText.rgs").c_str()); });
  ASSERT_TRUE(call.loaded);
  EXPECT_EQ(call.result, E_INVALIDARG);
  ExpectOneBox(call.boxes, L"Resource failed to register!", textPath);
  EXPECT_EQ(Dump(package->StyleKey()) + Dump(package->styleProgId),
            Missing(package->StyleKey()) + Missing(package->styleProgId));
}

TEST_F(E2ERegistration, ABadIdentifierIsShownAndRefused) {
  const char* badStyleText =
      "HKCR\r\n{\r\n\tStubE2E.Bad = s 'x'\r\n\t{\r\n"
      "\t\tCLSID = s '{8D5C2A10-1111-2222-3333}'\r\n\t}\r\n}\r\n";
  auto package = Author(L"BadId", "", badStyleText);
  const ChildOutcome run = RunRegsvr32(L"/s", package->files->modulePath);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, kRegsvr32LoadFailed);
  ExpectOneBox(run.boxes, L"Invalid GUID!", L"{8D5C2A10-1111-2222-3333}");

  // Spoilt after the load, the identifier is refused by the registration itself.
  WriteFileText(package->files->directory + L"StyleText.rgs", package->StyleTextScript());
  const InProcessOutcome call =
      CallExport(package->files->modulePath, "DllRegisterServer", [](const std::wstring& folder) {
        WriteFileText(folder + L"Style.rgs", "HKCR { { CLSID = s '{not-hex}' } }");
      });
  ASSERT_TRUE(call.loaded);
  EXPECT_EQ(call.result, CO_E_CLASSSTRING);
  ExpectOneBox(call.boxes, L"Invalid GUID!", L"{");
  EXPECT_EQ(Dump(package->StyleKey()) + Dump(package->StyleTextKey()),
            Missing(package->StyleKey()) + Missing(package->StyleTextKey()));
}

TEST_F(E2ERegistration, AMalformedStyleScriptIsRolledBackAndStopsTheRun) {
  // The class block fails at a value of no known type, after the ProgID and the
  // class key were written: the whole root block is undone.
  auto package = Author(L"Malformed");
  std::string style = package->StyleScript();
  style.insert(style.find("\t\t\t}\r\n\t\t}"), "\t\t\t\tval Bad = q 'x'\r\n");
  ASSERT_TRUE(WriteFileText(package->files->directory + L"Style.rgs", style));

  const ChildOutcome run = RunRegsvr32(L"/s", package->files->modulePath);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, kRegsvr32RegisterFailed);
  EXPECT_TRUE(run.boxes.empty()) << Describe(run.boxes);
  // StyleText.rgs never ran; its class keeps only the category entry made first.
  const std::string expected = Missing(package->styleProgId) + Missing(package->styleTextProgId) +
                               Missing(package->StyleKey()) + Narrow(package->StyleTextKey()) + ":\n" +
                               CategoryEntry(kTextsCategory) + Categories();
  EXPECT_EQ(Touched(*package), expected);

  // The same run in this process answers the interpreter's HRESULT.
  const InProcessOutcome call = CallExport(package->files->modulePath, "DllRegisterServer");
  ASSERT_TRUE(call.loaded);
  EXPECT_EQ(call.result, DISP_E_EXCEPTION);
  EXPECT_TRUE(call.boxes.empty()) << Describe(call.boxes);
  EXPECT_EQ(Touched(*package), expected);
}

}  // namespace
}  // namespace e2e
