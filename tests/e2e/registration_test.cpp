// Registration of a package copy as an installer does it: regsvr32 in a child
// process (its exit code), and the exports called in this process (their
// HRESULT), against Wine's real registry, COM runtime and message boxes.
#include <algorithm>
#include <map>

#include "e2e_fixture.h"

namespace e2e {
namespace {

const wchar_t kStylesCategory[] = L"{390F9E99-171D-4A3B-A185-A0E495BA86D0}";
const wchar_t kTextsCategory[] = L"{FD8ABB6D-B549-4A66-94A9-3C360CD70490}";
constexpr DWORD kRegsvr32TimeoutMs = 20000;
// regsvr32's exit codes.
constexpr DWORD kRegsvr32Ok = 0;
constexpr DWORD kRegsvr32LoadFailed = 3;
constexpr DWORD kRegsvr32RegisterFailed = 5;

// A package script as an author writes one: a ProgID, and a class key that is
// replaced as a whole, holding the server path and the threading model.
std::string AuthorScript(const std::wstring& progId, const CLSID& id, const char* threading) {
  const std::string name = Narrow(progId), text = Narrow(GuidText(id));
  return "HKCR\r\n{\r\n"
         "\t" + name + " = s 'Tarvo package'\r\n\t{\r\n\t\tCLSID = s '" + text + "'\r\n\t}\r\n"
         "\tNoRemove CLSID\r\n\t{\r\n"
         "\t\tForceRemove " + text + " = s 'Tarvo package'\r\n\t\t{\r\n"
         "\t\t\tProgID = s '" + name + "'\r\n"
         "\t\t\tInprocServer32 = s '%Module%'\r\n\t\t\t{\r\n"
         "\t\t\t\tval ThreadingModel = s '" + threading + "'\r\n"
         "\t\t\t}\r\n\t\t}\r\n\t}\r\n}\r\n";
}

// Text form of a subtree of HKEY_CLASSES_ROOT: each key as a line with its path,
// then its values, indented; names sorted without regard to case.
void DumpKey(HKEY parent, const std::wstring& name, const std::wstring& path, std::string& out) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  out += Narrow(path) + "\n";
  std::map<std::wstring, std::string> values;  // upper-cased name -> line
  for (DWORD i = 0;; ++i) {
    wchar_t valueName[256];
    DWORD nameLength = 256, type = 0;
    BYTE data[2048];
    DWORD size = sizeof data;
    if (RegEnumValueW(key, i, valueName, &nameLength, nullptr, &type, data, &size) !=
        ERROR_SUCCESS) {
      break;
    }
    std::wstring shown = nameLength ? L"\"" + std::wstring(valueName) + L"\"" : L"@";
    std::string line = "  " + Narrow(shown) + " = ";
    if (type == REG_SZ) {
      line += "\"" + Narrow(std::wstring(reinterpret_cast<wchar_t*>(data), size / 2).c_str()) + "\"";
    } else {
      line += "type " + std::to_string(type) + ", " + std::to_string(size) + " bytes";
    }
    std::wstring sortKey = nameLength ? shown : L"";
    CharUpperW(&sortKey[0]);
    values[sortKey] = line + "\n";
  }
  for (const auto& value : values) out += value.second;
  std::map<std::wstring, std::wstring> children;
  for (DWORD i = 0;; ++i) {
    wchar_t child[256];
    DWORD length = 256;
    if (RegEnumKeyExW(key, i, child, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    std::wstring sortKey = child;
    CharUpperW(&sortKey[0]);
    children[sortKey] = child;
  }
  for (const auto& child : children) DumpKey(key, child.second, path + L"\\" + child.second, out);
  RegCloseKey(key);
}

std::string Dump(const std::wstring& path) {
  std::string out;
  DumpKey(HKEY_CLASSES_ROOT, path, path, out);
  return out.empty() ? "(no key)\n" : out;
}

bool KeyExists(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

void DeleteKey(const std::wstring& path) {
  RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str());
  RegDeleteKeyW(HKEY_CLASSES_ROOT, path.c_str());
}

std::string Describe(const std::vector<SeenBox>& boxes) {
  std::string text;
  for (const SeenBox& box : boxes) {
    text += "[" + Narrow(box.caption) + ": \"" + Narrow(box.text) + "\"] ";
  }
  return text.empty() ? "no box" : text;
}

struct ChildOutcome {
  bool finished = false;
  DWORD exitCode = ~0u;
  std::vector<SeenBox> boxes;  // message boxes the child showed (and we closed)
};

struct BoxSearch {
  DWORD process;
  std::vector<HWND>* closed;
  std::vector<SeenBox>* boxes;
};

BOOL CALLBACK CloseChildBox(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<BoxSearch*>(context);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  wchar_t className[64] = {};
  GetClassNameW(window, className, 64);
  if (process != search->process || lstrcmpW(className, L"#32770") != 0 ||
      !IsWindowVisible(window) ||
      std::find(search->closed->begin(), search->closed->end(), window) != search->closed->end()) {
    return TRUE;
  }
  SeenBox box;
  wchar_t text[1024] = {};
  GetWindowTextW(window, text, 1024);
  box.caption = text;
  text[0] = L'\0';
  constexpr int kMessageTextId = 0xFFFF;
  GetDlgItemTextW(window, kMessageTextId, text, 1024);
  box.text = text;
  search->boxes->push_back(box);
  search->closed->push_back(window);
  PostMessageW(window, WM_COMMAND, IDOK, 0);
  return TRUE;
}

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
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &child)) {
    return outcome;
  }
  std::vector<HWND> closed;
  BoxSearch search = {child.dwProcessId, &closed, &outcome.boxes};
  const DWORD started = GetTickCount();
  constexpr DWORD kPollMs = 20;
  while (WaitForSingleObject(child.hProcess, kPollMs) == WAIT_TIMEOUT) {
    if (GetTickCount() - started > kRegsvr32TimeoutMs) {
      TerminateProcess(child.hProcess, 99);
      WaitForSingleObject(child.hProcess, 5000);
      break;
    }
    EnumWindows(&CloseChildBox, reinterpret_cast<LPARAM>(&search));
  }
  outcome.finished = GetExitCodeProcess(child.hProcess, &outcome.exitCode) &&
                     outcome.exitCode != 99 && outcome.exitCode != STILL_ACTIVE;
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  return outcome;
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
    auto function =
        reinterpret_cast<ExportFn>(reinterpret_cast<void*>(GetProcAddress(module, exportName)));
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
};

class E2ERegistration : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    stylesCategoryExisted_ = KeyExists(std::wstring(L"Component Categories\\") + kStylesCategory);
    textsCategoryExisted_ = KeyExists(std::wstring(L"Component Categories\\") + kTextsCategory);
  }
  void TearDown() override {
    for (const std::wstring& key : madeKeys_) DeleteKey(key);
    if (!stylesCategoryExisted_) DeleteKey(std::wstring(L"Component Categories\\") + kStylesCategory);
    if (!textsCategoryExisted_) DeleteKey(std::wstring(L"Component Categories\\") + kTextsCategory);
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
    const std::string styleScript =
        style && !*style ? AuthorScript(package->styleProgId, package->style, "Both")
                         : std::string(style ? style : "");
    const std::string textScript =
        styleText && !*styleText
            ? AuthorScript(package->styleTextProgId, package->styleText, "Apartment")
            : std::string(styleText ? styleText : "");
    package->files = std::make_unique<Package>(folder_, name, style ? styleScript.c_str() : nullptr,
                                               styleText ? textScript.c_str() : nullptr);
    EXPECT_TRUE(package->files->ok) << "cannot lay out " << Narrow(name);
    for (const std::wstring& key : {package->StyleKey(), package->StyleTextKey(),
                                    package->styleProgId, package->styleTextProgId}) {
      madeKeys_.push_back(key);
    }
    return package;
  }

  // The registry subtrees the package's scripts name, as one text.
  static std::string Scripted(const AuthoredPackage& package) {
    return Dump(package.styleProgId) + Dump(package.styleTextProgId) + Dump(package.StyleKey()) +
           Dump(package.StyleTextKey());
  }
  // Those and the two categories: all that a package's registration touches.
  static std::string Touched(const AuthoredPackage& package) {
    return Scripted(package) + Dump(std::wstring(L"Component Categories\\") + kStylesCategory) +
           Dump(std::wstring(L"Component Categories\\") + kTextsCategory);
  }

  // What the author's scripts register for one class.
  static std::string ScriptedClass(const std::wstring& key, const std::wstring& progId,
                                   const std::wstring& modulePath, const char* threading,
                                   const wchar_t* category) {
    const std::string k = Narrow(key);
    std::string text = k + "\n  @ = \"Tarvo package\"\n";
    if (category) {
      text += k + "\\Implemented Categories\n" + k + "\\Implemented Categories\\" +
              Narrow(category) + "\n";
    }
    return text + k + "\\InprocServer32\n  @ = \"" + Narrow(modulePath) +
           "\"\n  \"ThreadingModel\" = \"" + threading + "\"\n" + k + "\\ProgID\n  @ = \"" +
           Narrow(progId) + "\"\n";
  }
  static std::string ScriptedProgId(const std::wstring& progId, const CLSID& id) {
    const std::string p = Narrow(progId);
    return p + "\n  @ = \"Tarvo package\"\n" + p + "\\CLSID\n  @ = \"" + Narrow(GuidText(id)) +
           "\"\n";
  }
  static std::string Categories() {
    return "Component Categories\\" + Narrow(kStylesCategory) + "\n  \"409\" = \"Tarvo Styles\"\n" +
           "Component Categories\\" + Narrow(kTextsCategory) + "\n  \"409\" = \"Tarvo Texts\"\n";
  }
  static std::string FullRegistration(const AuthoredPackage& p) {
    return ScriptedProgId(p.styleProgId, p.style) + ScriptedProgId(p.styleTextProgId, p.styleText) +
           ScriptedClass(p.StyleKey(), p.styleProgId, p.files->modulePath, "Both",
                         kStylesCategory) +
           ScriptedClass(p.StyleTextKey(), p.styleTextProgId, p.files->modulePath, "Apartment",
                         kTextsCategory) +
           Categories();
  }

 private:
  std::vector<std::wstring> madeKeys_;
  bool stylesCategoryExisted_ = false;
  bool textsCategoryExisted_ = false;
};

TEST_F(E2ERegistration, Regsvr32WritesWhatTheScriptsSayAndTheCategories) {
  auto package = Author(L"Aurora");
  const ChildOutcome run = RunRegsvr32(L"/s", package->files->modulePath);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, kRegsvr32Ok);
  EXPECT_TRUE(run.boxes.empty()) << Describe(run.boxes);
  // The scripts replace their class keys after the categories were entered; the
  // category entries are there all the same.
  EXPECT_EQ(Touched(*package), FullRegistration(*package));
}

TEST_F(E2ERegistration, RegisteredClassesAreCreatedThroughTheRegistry) {
  auto package = Author(L"Aurora");
  ASSERT_EQ(RunRegsvr32(L"/s", package->files->modulePath).exitCode, kRegsvr32Ok);

  CLSID byProgId = {};
  ASSERT_EQ(CLSIDFromProgID(package->styleTextProgId.c_str(), &byProgId), S_OK);
  EXPECT_EQ(GuidText(byProgId), GuidText(package->styleText));
  const struct {
    CLSID outer;
    CLSID engine;
  } cases[] = {{package->style, CLSID_StyleEngine}, {byProgId, CLSID_StyleTextEngine}};
  for (const auto& c : cases) {
    ComRef<IUnknown> object;
    ASSERT_EQ(CoCreateInstance(c.outer, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.Out()),
              S_OK);
    EXPECT_EQ(GuidText(ProbedClass(object.get())), GuidText(c.engine));
    EXPECT_EQ(ProbedPath(object.get()), package->files->modulePath);
  }
}

TEST_F(E2ERegistration, Regsvr32RemovalTakesTheScriptedKeysAway) {
  auto package = Author(L"Aurora");
  ASSERT_EQ(RunRegsvr32(L"/s", package->files->modulePath).exitCode, kRegsvr32Ok);
  const ChildOutcome run = RunRegsvr32(L"/u /s", package->files->modulePath);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, kRegsvr32Ok);
  EXPECT_TRUE(run.boxes.empty()) << Describe(run.boxes);
  ComRef<IUnknown> object;
  EXPECT_EQ(CoCreateInstance(package->style, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             object.Out()),
            REGDB_E_CLASSNOTREG);
  // ProgIDs, server paths and threading models are gone; the category entries
  // stay, and with them each class key that holds them (a key that still has
  // subkeys is never removed, its description included).
  const auto residue = [](const std::wstring& key, const wchar_t* category) {
    const std::string k = Narrow(key);
    return k + "\n  @ = \"Tarvo package\"\n" + k + "\\Implemented Categories\n" + k +
           "\\Implemented Categories\\" + Narrow(category) + "\n";
  };
  EXPECT_EQ(Touched(*package), "(no key)\n(no key)\n" + residue(package->StyleKey(), kStylesCategory) +
                                   residue(package->StyleTextKey(), kTextsCategory) + Categories());
}

TEST_F(E2ERegistration, RegisteringAndRemovingRestoresTheRegistryButForTheCategories) {
  auto package = Author(L"Aurora");
  const std::string before = Scripted(*package);
  ASSERT_EQ(RunRegsvr32(L"/s", package->files->modulePath).exitCode, kRegsvr32Ok);
  ASSERT_EQ(RunRegsvr32(L"/u /s", package->files->modulePath).exitCode, kRegsvr32Ok);

  // Setting the category entries aside, and the class keys that stay only
  // because they hold them, the registry is as it was.
  for (const std::wstring& key : {package->StyleKey(), package->StyleTextKey()}) {
    DeleteKey(key + L"\\Implemented Categories");
    EXPECT_EQ(Dump(key), Narrow(key) + "\n  @ = \"Tarvo package\"\n");
    DeleteKey(key);
  }
  EXPECT_EQ(Scripted(*package), before);
}

TEST_F(E2ERegistration, TwoPackageCopiesSideBySideKeepTheirOwnKeysAndPaths) {
  auto alpha = Author(L"Alpha");
  auto beta = Author(L"Beta");
  ASSERT_EQ(RunRegsvr32(L"/s", alpha->files->modulePath).exitCode, kRegsvr32Ok);
  ASSERT_EQ(RunRegsvr32(L"/s", beta->files->modulePath).exitCode, kRegsvr32Ok);
  EXPECT_EQ(Touched(*alpha), FullRegistration(*alpha));
  EXPECT_EQ(Touched(*beta), FullRegistration(*beta));
  for (const AuthoredPackage* package : {alpha.get(), beta.get()}) {
    ComRef<IUnknown> object;
    ASSERT_EQ(CoCreateInstance(package->styleText, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               object.Out()),
              S_OK);
    EXPECT_EQ(ProbedPath(object.get()), package->files->modulePath);
  }

  // Removing one copy leaves the other registered as it was.
  ASSERT_EQ(RunRegsvr32(L"/u /s", alpha->files->modulePath).exitCode, kRegsvr32Ok);
  EXPECT_EQ(Dump(alpha->styleProgId), "(no key)\n");
  EXPECT_EQ(Touched(*beta), FullRegistration(*beta));
}

TEST_F(E2ERegistration, AMissingTextScriptFailsTheLoadOrTheRegistration) {
  auto package = Author(L"NoText", "", nullptr);
  // regsvr32 cannot even load the copy: the box comes from the load.
  const ChildOutcome run = RunRegsvr32(L"/s", package->files->modulePath);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, kRegsvr32LoadFailed);
  ASSERT_EQ(run.boxes.size(), 1u) << Describe(run.boxes);
  EXPECT_EQ(run.boxes[0].caption, L"Resource failed to register!");
  EXPECT_EQ(run.boxes[0].text, package->files->directory + L"StyleText.rgs");

  // A script that goes away after the load stops registration before anything
  // is written, categories included.
  WriteFileText(package->files->directory + L"StyleText.rgs",
                AuthorScript(package->styleTextProgId, package->styleText, "Apartment"));
  const InProcessOutcome call =
      CallExport(package->files->modulePath, "DllRegisterServer", [](const std::wstring& folder) {
        DeleteFileW((folder + L"StyleText.rgs").c_str());
      });
  ASSERT_TRUE(call.loaded);
  EXPECT_EQ(call.result, E_INVALIDARG);
  ASSERT_EQ(call.boxes.size(), 1u) << Describe(call.boxes);
  EXPECT_EQ(call.boxes[0].caption, L"Resource failed to register!");
  EXPECT_EQ(call.boxes[0].text, package->files->directory + L"StyleText.rgs");
  EXPECT_EQ(Dump(package->StyleKey()) + Dump(package->styleProgId), "(no key)\n(no key)\n");
}

TEST_F(E2ERegistration, ABadIdentifierIsShownAndRefused) {
  const char* badStyleText = "HKCR\r\n{\r\n\tStubE2E.Bad = s 'x'\r\n\t{\r\n"
                             "\t\tCLSID = s '{8D5C2A10-1111-2222-3333}'\r\n\t}\r\n}\r\n";
  auto package = Author(L"BadId", "", badStyleText);
  const ChildOutcome run = RunRegsvr32(L"/s", package->files->modulePath);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, kRegsvr32LoadFailed);
  ASSERT_EQ(run.boxes.size(), 1u) << Describe(run.boxes);
  EXPECT_EQ(run.boxes[0].caption, L"Invalid GUID!");
  EXPECT_EQ(run.boxes[0].text, L"{8D5C2A10-1111-2222-3333}");

  // Spoilt after the load, the identifier is refused by the registration itself.
  WriteFileText(package->files->directory + L"StyleText.rgs",
                AuthorScript(package->styleTextProgId, package->styleText, "Apartment"));
  const InProcessOutcome call =
      CallExport(package->files->modulePath, "DllRegisterServer", [](const std::wstring& folder) {
        WriteFileText(folder + L"Style.rgs", "HKCR { { CLSID = s '{not-hex}' } }");
      });
  ASSERT_TRUE(call.loaded);
  EXPECT_EQ(call.result, CO_E_CLASSSTRING);
  ASSERT_EQ(call.boxes.size(), 1u) << Describe(call.boxes);
  EXPECT_EQ(call.boxes[0].caption, L"Invalid GUID!");
  EXPECT_EQ(call.boxes[0].text, L"{");
  EXPECT_EQ(Dump(package->StyleKey()) + Dump(package->StyleTextKey()), "(no key)\n(no key)\n");
}

TEST_F(E2ERegistration, AMalformedStyleScriptIsRolledBackAndStopsTheRun) {
  // The class block fails at a value of no known type, after the ProgID and the
  // class key were written: the whole root block is undone.
  auto package = Author(L"Malformed");
  std::string style = AuthorScript(package->styleProgId, package->style, "Both");
  style.insert(style.find("\t\t\t}\r\n\t\t}"), "\t\t\t\tval Bad = q 'x'\r\n");
  ASSERT_TRUE(WriteFileText(package->files->directory + L"Style.rgs", style));

  const ChildOutcome run = RunRegsvr32(L"/s", package->files->modulePath);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, kRegsvr32RegisterFailed);
  EXPECT_TRUE(run.boxes.empty()) << Describe(run.boxes);
  // StyleText.rgs never ran; its class keeps only the category entry made first.
  const std::string k = Narrow(package->StyleTextKey());
  const std::string expected = "(no key)\n(no key)\n(no key)\n" + k + "\n" + k +
                               "\\Implemented Categories\n" + k + "\\Implemented Categories\\" +
                               Narrow(kTextsCategory) + "\n" + Categories();
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
