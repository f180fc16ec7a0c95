// Registration and removal of a package: script loading, the order of the two
// scripts, and the component categories. The script runs and the text loading
// run on both targets (under Wine against a sandboxed registry, with explicit
// paths, since there the module is the test program); the exports, message
// boxes, odd files and leaks are checked over the emulator.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "package/class_identity.h"
#include "package/component_categories.h"
#include "package/module_path.h"
#include "package/package_classes.h"
#include "package/registration_turn.h"
#include "package/script_files.h"
#include "package/self_registration.h"
#include "support/package_files.h"
#include "support/registry_sandbox.h"

#ifndef _WIN32
#include "exports/exports.h"
#include "platform/emulated/emulator.h"
#endif

namespace {

// HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER): the module's name does not fit.
const HRESULT kNameTooLong = static_cast<HRESULT>(0x8007007AL);

const char kStyleId[] = "{DEADBEEF-0123-4567-89AB-CDEF01234567}";
const char kTextId[] = "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}";

// What AuthorScript registers, as a dump of HKCR. An apostrophe in the module
// path reaches the registry as it stands.
const char kModule[] = "C:\\Tarvo's Packages\\Aurora.dll";
const char16_t kModule16[] = u"C:\\Tarvo's Packages\\Aurora.dll";

std::string Registered(const std::string& progId, const std::string& id) {
  return "\\" + progId +
         "\n  @ = sz \"Tarvo package\"\n"
         "\\" +
         progId + "\\CLSID\n  @ = sz \"" + id + "\"\n";
}
// `categories`: the class's category entries, which sort between its default
// value and its InprocServer32 key.
std::string ClassKey(const std::string& id, const std::string& progId, const std::string& categories = "") {
  return "\\CLSID\\" + id + "\n  @ = sz \"Tarvo package\"\n" + categories + "\\CLSID\\" + id +
         "\\InprocServer32\n  @ = sz \"" + kModule +
         "\"\n"
         "  \"ThreadingModel\" = sz \"Apartment\"\n"
         "\\CLSID\\" +
         id + "\\ProgID\n  @ = sz \"" + progId + "\"\n";
}

// Both scripts' keys, without category entries.
std::string BothScripts() {
  return Registered("Aurora.Style.1", kStyleId) + Registered("Aurora.Text.1", kTextId) + "\\CLSID\n" +
         ClassKey(kTextId, "Aurora.Text.1") + ClassKey(kStyleId, "Aurora.Style.1");
}

class SelfRegistrationTest : public test::RegistrySandbox {
 protected:
  void SetUp() override {
    RegistrySandbox::SetUp();
    saved_[0] = CLSID_Stub;
    saved_[1] = CLSID_StubText;
  }
  void TearDown() override {
    CLSID_Stub = saved_[0];
    CLSID_StubText = saved_[1];
    RegistrySandbox::TearDown();
  }

  // Loads `bytes` as a script file and answers the text (or "<failed>").
  std::u16string Load(const std::string& bytes) {
    CHeapMemory<char16_t> text;
    if (FAILED(LoadScriptText(files_.Put(u"Load.rgs", bytes).c_str(), &text))) return u"<failed>";
    return text.Get();
  }

  std::u16string PutAurora(const std::string& style, const std::string& styleText) {
    return files_.PutPackage(u"Aurora", style, styleText);
  }

  PackageFiles files_;
  GUID saved_[2] = {};
};

TEST_F(SelfRegistrationTest, ScriptsAreReadAsUtf8) {
  // Multi-byte sequences, one of them outside the basic plane (two UTF-16 units
  // from four bytes).
  EXPECT_EQ(Load("HKCR { 'K\xC3\xB6ln \xE2\x82\xAC \xF0\x9F\x8E\xA8' }"),
            u"HKCR { 'K\u00F6ln \u20AC \U0001F3A8' }");
  // A byte-order mark is text like any other: the first character of the script.
  EXPECT_EQ(Load("\xEF\xBB\xBFHKCR"), u"\uFEFFHKCR");
  // Latin-1 is not converted; its bytes are no UTF-8 and show as U+FFFD.
  EXPECT_EQ(Load("caf\xE9 'x'"), u"caf\uFFFD 'x'");
  EXPECT_EQ(Load(""), u"");
  // Binary mode: line ends reach the tokenizer as they are on disk.
  EXPECT_EQ(Load("a\r\nb\x1A"
                 "c"),
            u"a\r\nb\x1A"
            u"c");
}

// A script saved with a byte-order mark (as editors save UTF-8) registers too: the
// mark stays in the text, and the comparison of the root key's name passes over
// it, as it does on Windows.
TEST_F(SelfRegistrationTest, RegistrationRunsBothScriptsAndRemovalTakesTheirKeysAway) {
  const std::string registered = BothScripts();
  for (const std::string mark : {"", "\xEF\xBB\xBF"}) {
    SCOPED_TRACE(mark.empty() ? "no mark" : "byte-order mark");
    const std::u16string directory = PutAurora(mark + AuthorScript("Aurora.Style.1", kStyleId),
                                               mark + AuthorScript("Aurora.Text.1", kTextId));
    ASSERT_EQ(RunPackageScripts(kModule16, directory.c_str(), ScriptMode::kRegister), S_OK);
    EXPECT_EQ(Dump(), registered);
    // Registering again over the same keys gives the same registry.
    ASSERT_EQ(RunPackageScripts(kModule16, directory.c_str(), ScriptMode::kRegister), S_OK);
    EXPECT_EQ(Dump(), registered);

    // NoRemove keeps the shared CLSID key; everything the package owns goes.
    EXPECT_EQ(RunPackageScripts(kModule16, directory.c_str(), ScriptMode::kRemove), S_OK);
    EXPECT_EQ(Dump(), "\\CLSID\n");
  }
}

TEST_F(SelfRegistrationTest, AFailingStyleScriptLeavesTheTextScriptUnrun) {
  // The first root block is fine; the second fails on a bad type letter after
  // writing its key, and is rolled back.
  const std::string style =
      AuthorScript("Aurora.Style.1", kStyleId) +
      "HKCR\r\n{\r\n\tAurora.Partial = s 'x'\r\n\t{\r\n\t\tval n = q 'y'\r\n\t}\r\n}\r\n";
  const std::u16string directory = PutAurora(style, AuthorScript("Aurora.Text.1", kTextId));
  EXPECT_EQ(RunPackageScripts(kModule16, directory.c_str(), ScriptMode::kRegister), DISP_E_EXCEPTION);
  EXPECT_EQ(Dump(),
            Registered("Aurora.Style.1", kStyleId) + "\\CLSID\n" + ClassKey(kStyleId, "Aurora.Style.1"));
#ifndef _WIN32
  EXPECT_EQ(emu::OpenedPaths(), std::vector<std::u16string>{directory + u"Style.rgs"});
#endif

  // Removal stops the same way (here at a root name that is none): the text
  // script's keys stay.
  ASSERT_EQ(RunScriptFile(kModule16, (directory + u"StyleText.rgs").c_str(), ScriptMode::kRegister), S_OK);
  files_.Put(u"Aurora\\Style.rgs", AuthorScript("Aurora.Style.1", kStyleId) + "HKXX { }");
  EXPECT_EQ(RunPackageScripts(kModule16, directory.c_str(), ScriptMode::kRemove), DISP_E_EXCEPTION);
  EXPECT_EQ(Dump(), Registered("Aurora.Text.1", kTextId) + "\\CLSID\n" + ClassKey(kTextId, "Aurora.Text.1"));
}

// A package whose scripts name classes that another module file serves now (a
// copied package, say) never removes them: what a removal takes must be its own.
TEST_F(SelfRegistrationTest, RemovalLeavesClassesThatAnotherModuleServes) {
  const std::u16string directory =
      PutAurora(AuthorScript("Aurora.Style.1", kStyleId), AuthorScript("Aurora.Text.1", kTextId));
  // Removal asks about the classes the package's scripts name, as it reads them first.
  ASSERT_EQ(ReadPackageClassIds(directory.c_str()), S_OK);
  const std::u16string styleServer = u"CLSID\\{DEADBEEF-0123-4567-89AB-CDEF01234567}\\InprocServer32";
#ifdef _WIN32
  ::SetEnvironmentVariableW(L"STUB_TEST_PACKAGES", L"C:\\Tarvo's Packages");
#else
  emu::SetEnvironmentVariable(u"STUB_TEST_PACKAGES", u"C:\\Tarvo's Packages");
#endif
  const struct {
    const char* what;
    DWORD type;
    std::u16string server;  // the style class's server when removal runs
    bool removed;
  } cases[] = {
      {"this module", REG_SZ, kModule16, true},
      {"in other letter case", REG_SZ, u"c:\\TARVO'S PACKAGES\\aurora.DLL", true},
      {"quoted, with blanks", REG_SZ, u" \"C:\\Tarvo's Packages\\Aurora.dll\" ", true},
      {"with trailing dots and blanks", REG_SZ, u"C:\\Tarvo's Packages\\Aurora.dll. .", true},
      {"through the environment", REG_EXPAND_SZ, u"%STUB_TEST_PACKAGES%\\Aurora.dll", true},
      {"no server named", REG_SZ, u"", true},
      {"a copied package", REG_SZ, u"C:\\Tarvo's Packages\\Second.dll", false},
      {"an unset variable", REG_EXPAND_SZ, u"%STUB_TEST_NOT_SET%\\Aurora.dll", false},
      {"a very long value", REG_SZ, std::u16string(40000, u'x'), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(RunPackageScripts(kModule16, directory.c_str(), ScriptMode::kRegister), S_OK);
    PutValue(HKEY_CLASSES_ROOT, styleServer, u"", c.type, test::TextBytes(c.server));
    const std::string before = Dump();
    PackageOutcome outcome;
    EXPECT_EQ(RunPackageScripts(kModule16, directory.c_str(), ScriptMode::kRemove, &outcome), S_OK);
    EXPECT_EQ(outcome.kept[0], !c.removed);
    EXPECT_FALSE(outcome.kept[1]);
    // The other class is this module's, and goes either way.
    if (c.removed) {
      EXPECT_EQ(Dump(), "\\CLSID\n");
    } else {
      // The style class, its ProgID and its server stay as they were.
      const std::string style = Registered("Aurora.Style.1", kStyleId);
      EXPECT_EQ(Dump().substr(0, style.size()), style);
      EXPECT_NE(Dump().find("InprocServer32"), std::string::npos);
      EXPECT_EQ(Dump().find("Aurora.Text.1"), std::string::npos);
      PutString(HKEY_CLASSES_ROOT, styleServer, u"", kModule16);
      EXPECT_EQ(RunPackageScripts(kModule16, directory.c_str(), ScriptMode::kRemove), S_OK);
    }
    EXPECT_EQ(Dump(), "\\CLSID\n") << before;
  }
}

#ifndef _WIN32

// The module as the loader would name it, and its package beside it.
const char16_t kModulePath[] = u"C:\\Tarvo's Packages\\Aurora.dll";
const char16_t kPackage[] = u"C:\\Tarvo's Packages\\Aurora\\";

std::string Categories() {
  return "\\Component Categories\n"
         "\\Component Categories\\{390F9E99-171D-4A3B-A185-A0E495BA86D0}\n"
         "  \"409\" = sz \"Tarvo Styles\"\n"
         "\\Component Categories\\{FD8ABB6D-B549-4A66-94A9-3C360CD70490}\n"
         "  \"409\" = sz \"Tarvo Texts\"\n";
}
std::string ImplementedCategory(const std::string& id, const char* category) {
  return "\\CLSID\\" + id + "\\Implemented Categories\n\\CLSID\\" + id + "\\Implemented Categories\\" +
         category + "\n";
}
const char kStylesCategory[] = "{390F9E99-171D-4A3B-A185-A0E495BA86D0}";
const char kTextsCategory[] = "{FD8ABB6D-B549-4A66-94A9-3C360CD70490}";

class SelfRegistrationExportsTest : public SelfRegistrationTest {
 protected:
  void SetUp() override {
    SelfRegistrationTest::SetUp();
    emu::SetModuleFileName(sys::ThisModule(), kModulePath);
  }
  void PutScripts(const std::string& style, const std::string& styleText) {
    emu::PutFile(std::u16string(kPackage) + u"Style.rgs", style);
    emu::PutFile(std::u16string(kPackage) + u"StyleText.rgs", styleText);
  }
  void PutScripts() {
    PutScripts(AuthorScript("Aurora.Style.1", kStyleId), AuthorScript("Aurora.Text.1", kTextId));
  }
  static std::string FullRegistration() {
    // The scripts replaced their class keys after the categories were entered;
    // the entries are there all the same.
    return Registered("Aurora.Style.1", kStyleId) + Registered("Aurora.Text.1", kTextId) + "\\CLSID\n" +
           ClassKey(kTextId, "Aurora.Text.1", ImplementedCategory(kTextId, kTextsCategory)) +
           ClassKey(kStyleId, "Aurora.Style.1", ImplementedCategory(kStyleId, kStylesCategory)) +
           Categories();
  }
  // What removal leaves of a full registration: the category entries, the
  // class keys that hold them (a key with subkeys is never removed), default
  // value included, and the categories.
  static std::string Residue() {
    return "\\CLSID\n"
           "\\CLSID\\" +
           std::string(kTextId) + "\n  @ = sz \"Tarvo package\"\n" +
           ImplementedCategory(kTextId, kTextsCategory) + "\\CLSID\\" + kStyleId +
           "\n  @ = sz \"Tarvo package\"\n" + ImplementedCategory(kStyleId, kStylesCategory) + Categories();
  }
  static bool NoLeaks() {
    return emu::LiveHeapBlocks() == 0 && emu::LiveTaskMemBlocks() == 0 && emu::OpenKeyHandles() == 0 &&
           emu::OpenFiles() == 0 && emu::OpenKernelHandles() == 0;
  }
  // The keys a registration for the current user alone writes under.
  static std::string UserClasses() { return Dump(HKEY_CURRENT_USER, u"Software\\Classes"); }
};

TEST_F(SelfRegistrationExportsTest, RegistrationEntersCategoriesAndRemovalLeavesThem) {
  PutScripts();
  ASSERT_EQ(DllRegisterServer(), S_OK);
  EXPECT_EQ(Dump(), FullRegistration());
  EXPECT_TRUE(emu::MessageBoxes().empty());
  EXPECT_TRUE(NoLeaks());
  // The identifiers were read afresh from the package.
  EXPECT_EQ(emu::GuidText(CLSID_Stub), u"{DEADBEEF-0123-4567-89AB-CDEF01234567}");
  EXPECT_EQ(emu::GuidText(CLSID_StubText), u"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");

  // Removal leaves the category entries, and with them the class keys that hold
  // them (a key with subkeys is never removed), default value included.
  EXPECT_EQ(DllUnregisterServer(), S_OK);
  EXPECT_EQ(Dump(), Residue());
  EXPECT_TRUE(NoLeaks());
}

// Two runs for one module file, in any spelling of its path, wait for each other;
// another module file's run does not wait for them.
TEST_F(SelfRegistrationExportsTest, RunsForOneModuleFileTakeTurns) {
  PutScripts();
  std::atomic<bool> done{false};
  std::thread registration;
  {
    CRegistrationTurn held(u"c:/tarvo's packages/AURORA.DLL");
    ASSERT_TRUE(held.Held());
    registration = std::thread([&] {
      EXPECT_EQ(DllRegisterServer(), S_OK);
      done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(done);
    EXPECT_EQ(Dump(), "");
    EXPECT_TRUE(CRegistrationTurn(u"C:\\Tarvo's Packages\\Second.dll").Held());
  }
  registration.join();
  EXPECT_EQ(Dump(), FullRegistration());
  // Should the system refuse a mutex, the run goes on as it would without one.
  emu::FailCall(emu::Call::CreateMutexW, 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(DllUnregisterServer(), S_OK);
  EXPECT_EQ(Dump(), Residue());
  EXPECT_TRUE(NoLeaks());
}

TEST_F(SelfRegistrationExportsTest, PerUserRegistrationStandsBesideTheMachineOneAndGoesAlone) {
  // What a script writes under another root than HKCR stays where it is written.
  PutScripts(AuthorScript("Aurora.Style.1", kStyleId) + "HKLM { NoRemove Software { Aurora = s 'x' } }",
             AuthorScript("Aurora.Text.1", kTextId));
  ASSERT_EQ(DllInstall(TRUE, u"User"), S_OK);
  // Category entries included: the module writes them itself, as the
  // categories manager would, where the scripts' HKCR blocks went.
  EXPECT_EQ(UserClasses(), FullRegistration());
  EXPECT_EQ(Dump(), "");
  EXPECT_EQ(Dump(HKEY_LOCAL_MACHINE), "\\Software\n\\Software\\Aurora\n  @ = sz \"x\"\n");
  EXPECT_FALSE(emu::PredefinedKeyOverridden(HKEY_CLASSES_ROOT));
  EXPECT_EQ(emu::CallCount(emu::Call::CoCreateInstance), 0);
  EXPECT_TRUE(NoLeaks());

  ASSERT_EQ(DllRegisterServer(), S_OK);
  EXPECT_EQ(Dump(), FullRegistration());
  EXPECT_EQ(UserClasses(), FullRegistration());
  // Removing one leaves the other whole, and leaves what machine-wide removal leaves.
  EXPECT_EQ(DllInstall(FALSE, u"USER"), S_OK);
  EXPECT_EQ(UserClasses(), Residue());
  EXPECT_EQ(Dump(), FullRegistration());
  EXPECT_EQ(DllUnregisterServer(), S_OK);
  EXPECT_EQ(Dump(), Residue());
  EXPECT_FALSE(emu::PredefinedKeyOverridden(HKEY_CLASSES_ROOT));
  EXPECT_TRUE(NoLeaks());
}

TEST_F(SelfRegistrationExportsTest, PerUserCallsThatCannotRunChangeNothingAndRestoreTheRoot) {
  PutScripts();
  // Only "user" is understood: anything else is refused before anything is read.
  for (const char16_t* line :
       {static_cast<const char16_t*>(nullptr), u"", u"users", u"user ", u"/i:user", u"machine"}) {
    EXPECT_EQ(DllInstall(TRUE, line), E_INVALIDARG);
    EXPECT_EQ(DllInstall(FALSE, line), E_INVALIDARG);
  }
  EXPECT_TRUE(emu::OpenedPaths().empty());
  EXPECT_EQ(emu::CallCount(emu::Call::RegOverridePredefKey), 0);

  // The user's classes key cannot be had, or the root cannot be redirected to it.
  emu::FailCall(emu::Call::RegCreateKeyExW, 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(DllInstall(TRUE, u"user"), static_cast<HRESULT>(0x80070005));
  emu::FailCall(emu::Call::RegOverridePredefKey, 1, ERROR_INVALID_HANDLE);
  EXPECT_EQ(DllInstall(FALSE, u"user"), static_cast<HRESULT>(0x80070006));
  EXPECT_TRUE(emu::OpenedPaths().empty());
  EXPECT_FALSE(emu::PredefinedKeyOverridden(HKEY_CLASSES_ROOT));

  // A run that fails after the redirection reports its failure and gives the root back.
  PutScripts(AuthorScript("Aurora.Style.1", kStyleId), "HKCR { { CLSID = s '{bad}' } }");
  EXPECT_EQ(DllInstall(TRUE, u"user"), CO_E_CLASSSTRING);
  EXPECT_FALSE(emu::PredefinedKeyOverridden(HKEY_CLASSES_ROOT));
  PutScripts(AuthorScript("Aurora.Style.1", kStyleId),
             AuthorScript("Aurora.Text.1", kTextId) + "HKCR { Aurora.Bad = q 'x' }");
  EXPECT_EQ(DllInstall(TRUE, u"user"), DISP_E_EXCEPTION);
  EXPECT_FALSE(emu::PredefinedKeyOverridden(HKEY_CLASSES_ROOT));

  // A clean run whose root cannot be given back must not answer S_OK: the
  // host would go on writing the user's classes through HKCR.
  PutScripts();
  emu::FailCall(emu::Call::RegOverridePredefKey, 2, ERROR_INVALID_HANDLE);
  EXPECT_EQ(DllInstall(FALSE, u"user"), static_cast<HRESULT>(0x80070006));
  EXPECT_TRUE(emu::PredefinedKeyOverridden(HKEY_CLASSES_ROOT));
  ASSERT_EQ(sys::RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(Dump(), "");
  EXPECT_EQ(Dump(HKEY_LOCAL_MACHINE), "");
  EXPECT_TRUE(NoLeaks());
}

TEST_F(SelfRegistrationExportsTest, NoBoxIsShownWhereNobodyCouldAnswerIt) {
  // Every box the module can show, each with what its failure answers.
  const struct {
    const char* what;
    void (*spoil)();
    HRESULT (*run)();
    HRESULT expected;
  } cases[] = {
      {"missing script", [] { emu::RemoveFile(std::u16string(kPackage) + u"StyleText.rgs"); },
       [] { return DllRegisterServer(); }, E_INVALIDARG},
      {"bad identifier",
       [] { emu::PutFile(std::u16string(kPackage) + u"Style.rgs", "HKCR { { CLSID = s '{x}' } }"); },
       [] { return DllUnregisterServer(); }, CO_E_CLASSSTRING},
      {"no package folder", [] { emu::SetModuleFileName(sys::ThisModule(), u".dll"); },
       [] { return DllInstall(TRUE, u"user"); }, E_INVALIDARG},
      {"module name too long",
       [] { emu::SetModuleFileName(sys::ThisModule(), u"C:\\" + std::u16string(300, u'n') + u".dll"); },
       [] { return DllUnregisterServer(); }, kNameTooLong},
      {"script that cannot be loaded",
       [] {
         emu::RemoveFile(std::u16string(kPackage) + u"Style.rgs");
         emu::PutDirectory(std::u16string(kPackage) + u"Style.rgs");
       },
       [] { return RunPackageScripts(kModulePath, kPackage, ScriptMode::kRegister); }, E_INVALIDARG},
  };
  // The station is seen, unseen, or cannot be asked (then the box is shown).
  enum Station { kVisible, kHidden, kNoStation, kNoFlags };
  for (const auto& c : cases) {
    for (Station station : {kVisible, kHidden, kNoStation, kNoFlags}) {
      SCOPED_TRACE(std::string(c.what) + ", station " + std::to_string(station));
      Renew();
      emu::SetModuleFileName(sys::ThisModule(), kModulePath);
      PutScripts();
      c.spoil();
      emu::SetWindowStationVisible(station != kHidden);
      if (station == kNoStation) {
        emu::FailCall(emu::Call::GetProcessWindowStation, 1, ERROR_ACCESS_DENIED);
      }
      if (station == kNoFlags) {
        emu::FailCall(emu::Call::GetUserObjectInformationW, 1, ERROR_ACCESS_DENIED);
      }
      EXPECT_EQ(c.run(), c.expected);
      EXPECT_EQ(emu::MessageBoxes().size(), station == kHidden ? 0u : 1u);
      EXPECT_EQ(emu::CallCount(emu::Call::GetProcessWindowStation), 1);
      EXPECT_EQ(Dump(), "");
      EXPECT_FALSE(emu::PredefinedKeyOverridden(HKEY_CLASSES_ROOT));
      EXPECT_TRUE(NoLeaks());
    }
  }
}

TEST_F(SelfRegistrationExportsTest, AModuleNameThatDoesNotFitIsNeverActedOn) {
  // A name of `length` characters, with a package beside it and another beside
  // the name cut to what fits (259 characters): a module acting on the cut name
  // would register that other package.
  const std::size_t capacity = kModulePathCapacity;
  for (std::size_t length : {capacity - 1, capacity, capacity + 15}) {
    const std::u16string path = u"C:\\" + std::u16string(length - 7, u'p') + u".dll";
    const std::u16string cut = path.substr(0, kModulePathCapacity - 1);
    const bool fits = length < kModulePathCapacity;
    const struct {
      const char* what;
      HRESULT (*run)();
    } exports[] = {
        {"DllRegisterServer", [] { return DllRegisterServer(); }},
        {"DllUnregisterServer", [] { return DllUnregisterServer(); }},
        {"DllInstall user", [] { return DllInstall(TRUE, u"user"); }},
        {"DllInstall user removal", [] { return DllInstall(FALSE, u"user"); }},
    };
    for (const auto& e : exports) {
      SCOPED_TRACE(e.what + (", " + std::to_string(length) + " characters"));
      Renew();
      emu::SetModuleFileName(sys::ThisModule(), path);
      for (const std::u16string& module : {path, cut}) {
        const std::u16string folder = module.substr(0, module.size() - 4) + u"\\";
        emu::PutFile(folder + u"Style.rgs", AuthorScript("Aurora.Style.1", kStyleId));
        emu::PutFile(folder + u"StyleText.rgs", AuthorScript("Aurora.Text.1", kTextId));
      }
      if (fits) {
        EXPECT_EQ(e.run(), S_OK);
        EXPECT_TRUE(emu::MessageBoxes().empty());
        continue;
      }
      EXPECT_EQ(e.run(), kNameTooLong);
      ASSERT_EQ(emu::MessageBoxes().size(), 1u);
      EXPECT_EQ(emu::MessageBoxes()[0].caption, u"Module path too long!");
      EXPECT_EQ(emu::MessageBoxes()[0].text, path.substr(0, kModulePathCapacity - 4) + u"...");
      EXPECT_TRUE(emu::OpenedPaths().empty());
      EXPECT_EQ(Dump(), "");
      // The per-user exports make the user's classes key first; nothing lands in it.
      const std::string user = UserClasses();
      EXPECT_TRUE(user.empty() || user == "(no key)\n") << user;
      EXPECT_FALSE(emu::PredefinedKeyOverridden(HKEY_CLASSES_ROOT));
      EXPECT_TRUE(NoLeaks());
    }
  }
}

TEST_F(SelfRegistrationExportsTest, AFailedRunGetsNoSecondCategoryPass) {
  // StyleText.rgs fails in its second root block: its first block stays, and the
  // class keys replaced by the scripts keep no category entries.
  PutScripts(AuthorScript("Aurora.Style.1", kStyleId),
             AuthorScript("Aurora.Text.1", kTextId) + "HKCR { Aurora.Bad = q 'x' }");
  EXPECT_EQ(DllRegisterServer(), DISP_E_EXCEPTION);
  EXPECT_EQ(Dump(), BothScripts() + Categories());
  EXPECT_TRUE(NoLeaks());
}

TEST_F(SelfRegistrationExportsTest, APackageThatCannotBeReadIsRefusedBeforeAnyEntry) {
  // The identifiers are re-read first, so nothing is registered at all.
  emu::PutFile(std::u16string(kPackage) + u"Style.rgs", AuthorScript("Aurora.Style.1", kStyleId));
  EXPECT_EQ(DllRegisterServer(), E_INVALIDARG);
  EXPECT_EQ(DllUnregisterServer(), E_INVALIDARG);
  ASSERT_EQ(emu::MessageBoxes().size(), 2u);
  for (const emu::MessageBoxRecord& box : emu::MessageBoxes()) {
    EXPECT_EQ(box.caption, u"Resource failed to register!");
    EXPECT_EQ(box.text, std::u16string(kPackage) + u"StyleText.rgs");
  }
  EXPECT_EQ(Dump(), "");

  // A bad identifier is refused with the parser's result.
  PutScripts(AuthorScript("Aurora.Style.1", "{DEADBEEF-0123-4567-89AB}"),
             AuthorScript("Aurora.Text.1", kTextId));
  EXPECT_EQ(DllRegisterServer(), CO_E_CLASSSTRING);
  EXPECT_EQ(emu::MessageBoxes().back().caption, u"Invalid GUID!");
  EXPECT_EQ(emu::MessageBoxes().back().text, u"{DEADBEEF-0123-4567-89AB}");
  EXPECT_EQ(Dump(), "");
  EXPECT_TRUE(NoLeaks());
}

TEST_F(SelfRegistrationExportsTest, AnUnavailableCategoryManagerDoesNotStopRegistration) {
  PutScripts();
  for (int nth = 1; nth <= 4; ++nth) {
    emu::FailCall(emu::Call::CoCreateInstance, nth, REGDB_E_CLASSNOTREG);
  }
  EXPECT_EQ(DllRegisterServer(), S_OK);
  EXPECT_EQ(Dump(), BothScripts());
  EXPECT_EQ(emu::CallCount(emu::Call::CoCreateInstance), 4);
}

TEST_F(SelfRegistrationExportsTest, AScriptThatCannotBeLoadedIsShownAndRefused) {
  // Each of these opens (or fails to open) Style.rgs for running, after the
  // identifiers were read from a good copy.
  const std::u16string stylePath = std::u16string(kPackage) + u"Style.rgs";
  const std::string good = AuthorScript("Aurora.Style.1", kStyleId);
  const struct {
    const char* what;
    void (*put)(const std::u16string& path, const std::string& good);
    HRESULT expected;
    bool box;
  } cases[] = {
      {"missing", [](const std::u16string& path, const std::string&) { emu::RemoveFile(path); }, E_INVALIDARG,
       true},
      {"a folder",
       [](const std::u16string& path, const std::string&) {
         emu::RemoveFile(path);
         emu::PutDirectory(path);
       },
       E_INVALIDARG, true},
      {"a device",
       [](const std::u16string& path, const std::string& good) { emu::PutUnseekableFile(path, good); },
       E_INVALIDARG, true},
      {"shrinking",
       [](const std::u16string& path, const std::string& good) { emu::PutShrinkingFile(path, good, 4096); },
       E_INVALIDARG, true},
      {"too large to hold",
       [](const std::u16string& path, const std::string& good) {
         emu::PutShrinkingFile(path, good, 0x7FFFFFFFL);
       },
       E_OUTOFMEMORY, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Renew();
    emu::SetModuleFileName(sys::ThisModule(), kModulePath);
    PutScripts();
    CHeapMemory<char16_t> text(static_cast<char16_t*>(sys::MemAlloc(sizeof(char16_t))));
    c.put(stylePath, good);
    EXPECT_EQ(LoadScriptText(stylePath.c_str(), &text), c.expected);
    EXPECT_EQ(text.Get(), nullptr);
    EXPECT_EQ(RunPackageScripts(kModulePath, kPackage, ScriptMode::kRegister), c.expected);
    if (c.box) {
      ASSERT_EQ(emu::MessageBoxes().size(), 2u);
      EXPECT_EQ(emu::MessageBoxes()[1].caption, u"Failed to load file!");
      EXPECT_EQ(emu::MessageBoxes()[1].text, stylePath);
      EXPECT_EQ(emu::MessageBoxes()[1].owner, nullptr);
      EXPECT_EQ(emu::MessageBoxes()[1].type, static_cast<UINT>(MB_OK));
    } else {
      EXPECT_TRUE(emu::MessageBoxes().empty());
    }
    // Nothing of either script was registered, and the text script was not opened.
    EXPECT_EQ(Dump(), "");
    EXPECT_EQ(emu::OpenedPaths(), std::vector<std::u16string>(2, stylePath));
    EXPECT_TRUE(NoLeaks());
  }
}

TEST_F(SelfRegistrationExportsTest, EveryFailedAllocationIsReportedAndNothingLeaks) {
  // Machine-wide, and for the current user alone (whose classes key is HKCR
  // only while the call runs).
  const struct {
    const char* what;
    HRESULT (*registerServer)();
    HRESULT (*unregisterServer)();
    HKEY root;
    const char16_t* classes;
  } scopes[] = {
      {"machine", [] { return DllRegisterServer(); }, [] { return DllUnregisterServer(); }, HKEY_CLASSES_ROOT,
       u""},
      {"user", [] { return DllInstall(TRUE, u"user"); }, [] { return DllInstall(FALSE, u"user"); },
       HKEY_CURRENT_USER, u"Software\\Classes\\"},
  };
  for (const auto& scope : scopes) {
    SCOPED_TRACE(scope.what);
    Renew();
    emu::SetModuleFileName(sys::ThisModule(), kModulePath);
    PutScripts();
    const int before = emu::AllocationCount();
    ASSERT_EQ(scope.registerServer(), S_OK);
    const int allocations = emu::AllocationCount() - before;
    ASSERT_GT(allocations, 4);
    for (int nth = 1; nth <= allocations; ++nth) {
      SCOPED_TRACE(nth);
      Renew();
      emu::SetModuleFileName(sys::ThisModule(), kModulePath);
      PutScripts();
      emu::FailAllocation(nth);
      const HRESULT result = scope.registerServer();
      // A run that reports success wrote both scripts' keys; categories may be
      // missing, as their failures are not reported.
      if (SUCCEEDED(result)) {
        EXPECT_EQ(result, S_OK);
        EXPECT_EQ(emu::ReadKey(scope.root, std::u16string(scope.classes) +
                                               u"CLSID\\{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}"
                                               u"\\InprocServer32")
                      .values.size(),
                  2u);
      }
      EXPECT_FALSE(emu::PredefinedKeyOverridden(HKEY_CLASSES_ROOT));
      EXPECT_TRUE(NoLeaks());
      emu::ClearFaults();
      EXPECT_EQ(scope.unregisterServer(), S_OK);
      EXPECT_TRUE(NoLeaks());
    }
  }
}

#endif  // !_WIN32

}  // namespace
