// The package checker's own parts that the corpus reaches only once or not at
// all: reading a .reg export, writing changes as .reg text, mapping a place in
// the prepared text back to the script an author wrote, and the names,
// identifiers and files of `stub-check new`, and the reading of assembly
// manifests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "checks/check.h"
#include "checks/package.h"
#include "findings/finding.h"
#include "io/file_system.h"
#include "manifest/manifest.h"
#include "module/module_file.h"
#include "new/new_command.h"
#include "platform/emulated/emulator.h"
#include "registry/emulator_session.h"
#include "registry/registry_state.h"
#include "report/report.h"
#include "scripts/script_reading.h"
#include "text/identifiers.h"
#include "text/text.h"

namespace {

using check::Utf16;
using check::Utf8;

// A .reg export as regedit writes it: UTF-16LE with its byte-order mark.
std::string Utf16File(const std::u16string& text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

TEST(Checker, RegExportsAreReadAsRegeditWritesThem) {
  check::EmulatorSession session;
  const std::u16string text =
      u"Windows Registry Editor Version 5.00\r\n\r\n"
      u"[HKEY_CLASSES_ROOT\\Aurora.Style]\r\n"
      u"@=\"Aurora \\\"Style\\\"\"\r\n"
      u"\"Count\"=dword:0000002a\r\n"
      u"\"Path\"=hex(2):25,00,41,00,25,00,00,00\r\n"
      u"\"Blob\"=hex:01,02,\\\r\n  03\r\n"
      u"\"Big\"=hex(b):01,00,00,00,00,00,00,00\r\n"
      u"\"Odd\"=hex(7E x):01\r\n"
      u"\"Gone\"=-\r\n"
      u"[-HKEY_CLASSES_ROOT\\Old]\r\n"
      u"[HKEY_NOWHERE\\X]\r\n";
  check::Snapshot snapshot;
  std::vector<std::string> notes;
  std::string error;
  ASSERT_TRUE(check::ParseRegFile(Utf16File(text), &snapshot, &notes, &error)) << error;
  // The value deletion, the type that is no hex number, the key deletion, the unknown root.
  EXPECT_EQ(notes.size(), 4u);
  EXPECT_EQ(check::RegDiff({}, snapshot),
            "[HKEY_CLASSES_ROOT\\Aurora.Style]\n"
            "@=\"Aurora \\\"Style\\\"\"\n"
            "\"Big\"=hex(b):01,00,00,00,00,00,00,00\n"
            "\"Blob\"=hex:01,02,03\n"
            "\"Count\"=dword:0000002a\n"
            "\"Path\"=hex(2):25,00,41,00,25,00,00,00\n");

  // The older form, in UTF-8; and a file that is no export at all.
  ASSERT_TRUE(check::ParseRegFile("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Classes\\A]\n@=\"a\"\n",
                                  &snapshot, &notes, &error));
  EXPECT_EQ(check::RegDiff({}, snapshot),
            "[HKEY_CURRENT_USER\\Software]\n[HKEY_CURRENT_USER\\Software\\Classes]\n"
            "[HKEY_CURRENT_USER\\Software\\Classes\\A]\n@=\"a\"\n");
  EXPECT_FALSE(check::ParseRegFile("[HKEY_CLASSES_ROOT\\A]\n", &snapshot, &notes, &error));
  EXPECT_NE(error.find("not a registry export"), std::string::npos);
}

TEST(Checker, OddValuesWrittenAsRegTextReadBackAsTheyWere) {
  // What export writes and --registry reads: every string value comes back
  // as it was, line breaks, control characters and half surrogate pairs
  // included (those are written as hex(1):...), and names too where .reg text
  // can hold them at all.
  // clang-format off
  const std::u16string odd[] = {
      u"", u"tab\there", u"line\nbreak", u"crlf\r\n", u"bell\x07", u"del\x7F",
      u"quote \" and \\ backslash", u"ends in a backslash\\", u"trailing blanks  ",
      u"; not a comment", u"[HKEY_CLASSES_ROOT\\NotAKey]", u"@", u"=", u"\U0001F600 astral",
      u"\xFFFD replacement", u"half \xD800 pair", u"\xDC00 low half", u"100%%",
  };
  // clang-format on
  for (const std::u16string& text : odd) {
    for (const bool asName : {false, true}) {
      if (asName && !check::RegNameWritable(text)) continue;
      const check::RegValue value{asName ? text : u"v", REG_SZ, check::TextData(text)};
      check::RegKey key;
      key.path = u"HKEY_CLASSES_ROOT\\Odd";
      key.values[check::FoldCase(value.name)] = value;
      check::Snapshot written, read;
      written.emplace(check::FoldCase(key.path), key);
      const std::string text8 = check::RegDiff({}, written);
      std::vector<std::string> notes;
      std::string error;
      const check::EmulatorSession session;
      ASSERT_TRUE(
          check::ParseRegFile("Windows Registry Editor Version 5.00\r\n\r\n" + text8, &read, &notes, &error))
          << error;
      EXPECT_TRUE(notes.empty()) << text8 << notes[0];
      EXPECT_EQ(check::RegDiff({}, read), text8);
      EXPECT_EQ(check::RegDiff(written, read), "") << text8;
    }
  }
  EXPECT_FALSE(check::RegNameWritable(u"a\nb"));
  EXPECT_TRUE(check::RegNameWritable(u"a\tb"));
}

TEST(Checker, ChangesAreWrittenAsRegText) {
  auto key = [](const std::u16string& path, std::vector<check::RegValue> values) {
    check::RegKey k;
    k.path = path;
    for (check::RegValue& v : values) k.values[check::FoldCase(v.name)] = v;
    return std::make_pair(check::FoldCase(path), k);
  };
  const check::RegValue one{u"v", REG_DWORD, {1, 0, 0, 0}};
  const check::RegValue two{u"v", REG_DWORD, {2, 0, 0, 0}};
  const check::RegValue kept{u"k", REG_SZ, {u'x', 0, 0, 0}};
  check::Snapshot before, after;
  before.insert(key(u"HKEY_CLASSES_ROOT\\A", {one, kept}));
  before.insert(key(u"HKEY_CLASSES_ROOT\\B", {}));
  before.insert(key(u"HKEY_CLASSES_ROOT\\B\\C", {}));
  after.insert(key(u"HKEY_CLASSES_ROOT\\A", {two}));
  after.insert(key(u"HKEY_CLASSES_ROOT\\N", {}));
  // A changed value, a deleted one, a deleted tree named once by its top, a new key.
  EXPECT_EQ(check::RegDiff(before, after),
            "[HKEY_CLASSES_ROOT\\A]\n"
            "\"v\"=dword:00000002\n"
            "\"k\"=-\n"
            "[-HKEY_CLASSES_ROOT\\B]\n"
            "[HKEY_CLASSES_ROOT\\N]\n");
  EXPECT_EQ(check::RegDiff(after, after), "");
}

TEST(Checker, PlacesInThePreparedTextMapBackToTheScript) {
  // %Module% grows into a long path and %% shrinks to one sign; a place after
  // them is still found on the author's line and column, and one inside the
  // path points at the %Module% that made it.
  std::vector<check::Finding> findings;
  const std::u16string script = u"HKCR\r\n{\r\n\tA = s '%Module%' { B = s '100%%' }\r\n\tC\r\n}\r\n";
  const check::ScriptReading r =
      check::ReadScript("Style.rgs", script, u"C:\\Long Folder\\Aurora.dll", &findings);
  ASSERT_EQ(r.prepareResult, S_OK);
  const std::size_t c = r.prepared.find(u"\tC") + 1;
  EXPECT_EQ(r.PlaceOfPrepared(c).line, 4);
  EXPECT_EQ(r.PlaceOfPrepared(c).column, 2);
  const std::size_t inPath = r.prepared.find(u"Folder");
  EXPECT_EQ(r.PlaceOfPrepared(inPath).line, 3);
  EXPECT_EQ(r.PlaceOfPrepared(inPath).column, 9);  // the % of %Module%
  const std::size_t brace = r.prepared.find(u"' }") + 2;
  EXPECT_EQ(r.PlaceOfPrepared(brace).column, script.find(u"' }") + 2 - script.find(u"\tA") + 1);

  // Removal reads on past a failure inside a key it cannot open and stops at
  // a valid brace further on: the finding is placed at the failure that threw
  // it off, where registration stops too.
  const std::u16string nested = u"HKCR\r\n{\r\n\tReadPastA\r\n\t{\r\n\t\tB\\C { D }\r\n\t}\r\n}\r\n";
  const check::ScriptReading n = check::ReadScript("Style.rgs", nested, u"C:\\A.dll", &findings);
  for (ScriptMode mode : {ScriptMode::kRemove, ScriptMode::kRegister}) {
    ScriptParser parser(nullptr);
    ScriptOutcome outcome;
    ASSERT_EQ(parser.RunScript(nested.c_str(), mode, &outcome), DISP_E_EXCEPTION);
    const check::Finding f = check::DescribeStop(n, outcome, mode);
    EXPECT_EQ(f.line, 5) << f.message;
    EXPECT_EQ(f.column, 3) << f.message;
    EXPECT_NE(f.message.find("at 'B\\C': expected a key name of one level"), std::string::npos) << f.message;
  }
}

// Warnings of a kind a script may hold without end are listed up to a count, the last saying how many more.
TEST(Checker, ScriptWarningsOfAKindAreListedUpToACount) {
  std::u16string script = u"HKCR\r\n{\r\n";
  for (int i = 0; i < 23; ++i) script += u"\tK" + check::Utf16(std::to_string(i)) + u" = s %Module%\r\n";
  std::vector<check::Finding> findings;
  check::ReadScript("Style.rgs", script + u"}\r\n", u"C:\\A.dll", &findings);
  ASSERT_EQ(findings.size(), 20u);
  EXPECT_EQ(findings[19].line, 22);
  ASSERT_FALSE(findings[19].notes.empty());
  EXPECT_EQ(findings[19].notes.back(), "3 more like it in this script, not listed");
  for (const std::string& note : findings[18].notes) EXPECT_EQ(note.find("more like it"), std::string::npos);
}

TEST(Checker, PackageNamesFollowTheProgIdAndFileNameRules) {
  struct Row {
    const char* name;
    bool valid;
  };
  const Row rows[] = {
      {"Aurora", true},
      {"Tarvo.Aurora2", true},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZa", true},    // 27: ABC...a.StyleText.1 is 39 characters
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZab", false},  // 28: one too many
      {"", false},
      {"Red Kite", false},
      {"Red-Kite", false},
      {"Red_Kite", false},
      {"Ca\xC3\xB1on", false},
      {"7Seas", false},
      {".Aurora", false},
      {"Aurora.", false},
      {"Aurora..Dawn", false},
      {"con", false},
      {"Lpt1.Styles", false},
      {"Console", true},
      {"Com10", true},
  };
  for (const Row& row : rows) {
    std::string problem;
    EXPECT_EQ(check::ValidPackageName(row.name, &problem), row.valid) << row.name << ": " << problem;
    EXPECT_EQ(problem.empty(), row.valid) << row.name;
  }
}

TEST(Checker, IdentifiersAreFreshOrDerivedInTheirVersionsForm) {
  std::string a, b;
  ASSERT_TRUE(check::NewRandomGuid(&a));
  ASSERT_TRUE(check::NewRandomGuid(&b));
  EXPECT_NE(a, b);
  for (const std::string& id : {a, b}) {
    ASSERT_EQ(id.size(), 38u) << id;
    EXPECT_EQ(id[0], '{');
    EXPECT_EQ(id[37], '}');
    EXPECT_EQ(id[15], '4') << id;                                          // version 4: random
    EXPECT_NE(std::string("89AB").find(id[20]), std::string::npos) << id;  // the standard variant
    EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF-{}"), std::string::npos) << id;
  }
  // Version 5 over SHA-1, as other implementations compute it from the same namespace and text.
  EXPECT_EQ(check::NamedGuid(""), "86DE42C4-73D6-54E8-8D31-CC7F0D46D5FF");
  EXPECT_EQ(check::NamedGuid("Tarvo component categories x64|"), "BF82502D-663E-533A-82F5-D66BA7B9D01C");
  EXPECT_EQ(check::NamedGuid(std::string(100, 'x')), "3DC8E44B-3E87-5B4F-9AE0-09398B82D9B8");
}

// An identifier the module cannot read is told from where its own scan
// stopped: what is wrong (the group, the character, the word), at that place.
TEST(Checker, IdentifierFindingsSayWhatIsWrongWhereTheScanStopped) {
  const std::string text =
      "HKCR\r\n{\r\n\tTarn.Text.1 = s 'T'\r\n\t{\r\n\t\tCLSID = s "
      "'{C0DE00F0-2222-4A00-8000-0000000000F1}'\r\n\t}\r\n}\r\n";
  struct Row {
    std::string line;  // line 5 of Style.rgs, after two tabs
    const char* message;
    int column;
    const char* note;  // the last note
  };
  const Row rows[] = {
      {"CLSID = s '{C0DE0041-1111-4A00-800-000000000076}'",
       "the identifier's fourth group, '800', has 3 digits, one short of 4", 34,
       "the identifier '{C0DE0041-1111-4A00-800-000000000076}' is 37 characters, one short of 38"},
      {"CLSID = s '{C0DE0041-1111-4A00-8000-0000000000G6}'",
       "the scan stops at 'G': not a hexadecimal digit, hyphen or brace", 49,
       "the module reads '{C0DE0041-1111-4A00-8000-0000000000' (35 characters, of 38)"},
      // Past the scan's capacity it stops inside the identifier: its shape is what is wrong.
      {"CLSID = s '{" + std::string(200, 'A') + "}'",
       "the identifier has one group of digits, not five (8-4-4-4-12)", 14,
       "is 127 characters, 89 more than 38"},
      {"clsid = s '{C0DE0041-1111-4A00-8000-000000000076}'",
       "the word CLSID is written 'clsid': the module reads it only in upper case", 3,
       "the module finds no class identifier where it reads one"},
      {"CLSID = S '{C0DE0041-1111-4A00-8000-000000000076}'",
       "the type letter is 'S': the module reads only a lower-case s", 11,
       "the module finds no class identifier where it reads one"},
  };
  for (const Row& row : rows) {
    check::CheckRequest request;
    request.package = std::make_shared<const check::Package>(check::PackageOfScripts(
        "Tarn.dll",
        {"HKCR\r\n{\r\n\tTarn.Style.1 = s 'S'\r\n\t{\r\n\t\t" + row.line + "\r\n\t}\r\n}\r\n", text}));
    request.installPaths = {u"C:\\Packages\\Tarn.dll"};
    const check::Report report = check::Check(request);
    const auto f = std::find_if(report.findings.begin(), report.findings.end(), [](const check::Finding& f) {
      return f.code == check::FindingCode::kIdentifier;
    });
    ASSERT_NE(f, report.findings.end()) << row.line;
    EXPECT_EQ(f->message, row.message);
    EXPECT_EQ(f->line, 5) << row.message;
    EXPECT_EQ(f->column, row.column) << row.message;
    ASSERT_FALSE(f->notes.empty()) << row.message;
    EXPECT_NE(f->notes.back().find(row.note), std::string::npos) << f->notes.back();
  }
}

// Files the check is handed instead of the machine's: the folder Tarn with its scripts, or one that
// cannot be listed. Nothing of it is on disk, so a check that went around it would find no package.
class HandedFiles final : public check::FileSystem {
 public:
  std::map<std::string, std::string> files;
  std::string unlisted;  // error of listing the folder, when set
  check::PathStatus Status(const std::string& path) const override {
    check::PathStatus status;
    const bool folder = path == "Tarn";
    status.there = folder || files.count(path);
    status.kind = folder         ? check::PathStatus::Kind::kFolder
                  : status.there ? check::PathStatus::Kind::kFile
                                 : check::PathStatus::Kind::kNone;
    return status;
  }
  bool List(const std::string& path, std::vector<check::FolderEntry>* entries,
            std::string* error) const override {
    if (path != "Tarn/" || !unlisted.empty())
      return *error = unlisted.empty() ? "no such folder" : unlisted, false;
    for (const auto& [name, bytes] : files) entries->push_back({name.substr(path.size()), false});
    return true;
  }
  bool Read(const std::string& path, std::size_t, std::string* bytes, std::string* reason,
            bool*) const override {
    const auto it = files.find(path);
    if (it == files.end()) return *reason = "not handed in", false;
    return *bytes = it->second, true;
  }
};

TEST(Checker, APackageIsReadThroughTheFilesItIsHanded) {
  const std::string style =
      "HKCR\r\n{\r\n\tTarn.Style.1 = s 'S'\r\n\t{\r\n\t\tCLSID = s "
      "'{C0DE00F0-1111-4A00-8000-0000000000F1}'\r\n\t}\r\n}\r\n";
  const std::string text =
      "HKCR\r\n{\r\n\tTarn.Text.1 = s 'T'\r\n\t{\r\n\t\tCLSID = s "
      "'{C0DE00F0-1111-4A00-8000-0000000000F1}'\r\n\t}\r\n}\r\n";
  HandedFiles handed;
  handed.files = {{"Tarn/style.RGS", style}, {"Tarn/StyleText.rgs", text}};
  check::CheckRequest request;
  request.input = "Tarn";
  request.files = &handed;
  request.installPaths = {u"C:\\Packages\\Tarn.dll"};
  const check::Report read = check::Check(request);
  ASSERT_EQ(read.refused, "");
  ASSERT_EQ(read.package->moduleName, "Tarn.dll");
  EXPECT_EQ(read.package->scripts[0].realPath, "Tarn/style.RGS");  // found whatever its letter case
  // The same findings as the same scripts given as bytes: one identifier shared by both scripts.
  request = {};
  request.package =
      std::make_shared<const check::Package>(check::PackageOfScripts("Tarn.dll", {style, text}));
  request.installPaths = {u"C:\\Packages\\Tarn.dll"};
  const check::Report given = check::Check(request);
  auto codes = [](const check::Report& r) {
    std::vector<std::string> c;
    for (const check::Finding& f : r.findings)
      c.push_back(std::string(check::CodeName(f.code)) + ":" + f.file + ":" + std::to_string(f.line));
    return c;
  };
  EXPECT_EQ(codes(read), codes(given));
  EXPECT_NE(std::find(codes(read).begin(), codes(read).end(), "same-identifier:StyleText.rgs:0"),
            codes(read).end());
  // A folder that is there but cannot be listed is told with the reason, never taken for no scripts.
  handed.unlisted = "Permission denied";
  request = {};
  request.input = "Tarn";
  request.files = &handed;
  const check::Report unlisted = check::Check(request);
  EXPECT_EQ(unlisted.package->scripts[0].problem,
            "the package folder Tarn cannot be read: Permission denied");
}

// A file laid out as a Windows DLL as far as the checker reads one: the PE
// headers with `machine`, one section, and an export directory naming the five
// exports of Stub.dll (it holds no code).
void WriteModuleHeader(const std::filesystem::path& path, unsigned machine) {
  std::string b(0x400, '\0');
  auto put16 = [&](std::size_t at, unsigned v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
  };
  auto put32 = [&](std::size_t at, unsigned v) {
    put16(at, v & 0xFFFF);
    put16(at + 2, v >> 16);
  };
  b[0] = 'M';
  b[1] = 'Z';
  put32(0x3C, 0x40);
  b.replace(0x40, 4, std::string("PE\0\0", 4));
  put16(0x44, machine);
  put16(0x46, 1);       // one section
  put16(0x54, 0xF0);    // the optional header's size (PE32+)
  put16(0x56, 0x2022);  // a DLL
  put16(0x58, 0x20B);
  put32(0x58 + 112, 0x1000);  // the export directory's address
  const std::size_t section = 0x58 + 0xF0;
  put32(section + 8, 0x200);
  put32(section + 12, 0x1000);
  put32(section + 16, 0x200);
  put32(section + 20, 0x200);
  const char* names[] = {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer",
                         "DllInstall"};
  put32(0x200 + 24, 5);
  put32(0x200 + 32, 0x1040);
  std::size_t at = 0x280;
  for (int i = 0; i < 5; ++i) {
    put32(0x240 + 4 * i, static_cast<unsigned>(0x1000 + at - 0x200));
    b.replace(at, std::strlen(names[i]), names[i]);
    at += std::strlen(names[i]) + 1;
  }
  std::ofstream(path, std::ios::binary) << b;
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

int RunNew(const std::vector<std::string>& args) { return check::NewCommand(args); }

TEST(Checker, NewMakesAPackageThatChecksCleanAndNeverWritesHalfOrOver) {
  namespace fs = std::filesystem;
  std::string unique;
  ASSERT_TRUE(check::NewRandomGuid(&unique));
  const fs::path top = fs::temp_directory_path() / ("stub-check-new-" + unique.substr(1, 36));
  fs::create_directories(top);
  WriteModuleHeader(top / "Stub64.dll", 0x8664);
  const std::string dir = (top / "Packages").string();
  ASSERT_EQ(RunNew({"Fjord", "--dir", dir, "--module", (top / "Stub64.dll").string()}), 0);

  // The package, checked as the checker checks one: no findings at all.
  check::Package package;
  std::string problem;
  ASSERT_TRUE(check::LoadPackage(check::SystemFiles(), dir + "/Fjord.dll", &package, &problem)) << problem;
  EXPECT_EQ(package.realFolder, dir + "/Fjord/");
  for (const check::ScriptFile& script : package.scripts) EXPECT_TRUE(script.found) << script.name;
  EXPECT_EQ(ReadAll(dir + "/Fjord.dll"), ReadAll(top / "Stub64.dll"));
  EXPECT_NE(package.scripts[0].bytes->find("Fjord.Style.1 = s 'Fjord Style'"), std::string::npos);
  EXPECT_NE(package.scripts[1].bytes->find("val ThreadingModel = s 'Both'"), std::string::npos);
  // The longest path whose scripts' paths stay within 259 characters is
  // clean too; one character more and StyleText.rgs's path reaches 260.
  const std::u16string longest = u"C:\\" + std::u16string(236, u'p') + u"\\Fjord.dll";
  ASSERT_EQ(longest.size(), 249u);
  for (const std::u16string& path :
       {std::u16string(u"C:\\Packages\\Fjord.dll"),
        std::u16string(u"C:\\Program Files\\O'Brien's Packages\\Fjord.dll"), longest}) {
    check::CheckRequest request;
    request.package = std::make_shared<const check::Package>(package);
    request.installPaths = {path};
    const check::Report report = check::Check(request);
    const check::Install& install = report.installs[0];
    EXPECT_EQ(install.registration.result, S_OK);
    EXPECT_EQ(install.removal.result, S_OK);
    for (const check::Finding& f : report.findings)
      ADD_FAILURE() << check::CodeName(f.code) << ": " << f.message;
  }
  check::CheckRequest nearLimitRequest;
  nearLimitRequest.package = std::make_shared<const check::Package>(package);
  nearLimitRequest.installPaths = {u"C:\\p" + longest.substr(3)};
  const check::Report nearLimit = check::Check(nearLimitRequest);
  ASSERT_EQ(nearLimit.findings.size(), 1u);
  EXPECT_EQ(nearLimit.findings[0].code, check::FindingCode::kLongPath);
  EXPECT_EQ(nearLimit.findings[0].remedy, "install the package at a path of at most 249 characters");

  // Refused: the same name in another letter case, a module of the other
  // architecture, a missing module; nothing changes, no folder is made.
  const std::string styleBefore = *package.scripts[0].bytes;
  EXPECT_EQ(RunNew({"FJORD", "--dir", dir, "--module", (top / "Stub64.dll").string()}), 2);
  EXPECT_EQ(RunNew({"Skerry", "--dir", dir, "--arch", "x86", "--module", (top / "Stub64.dll").string()}), 2);
  EXPECT_EQ(RunNew({"Skerry", "--dir", (top / "New" / "Folder").string(), "--module",
                    (top / "Missing.dll").string()}),
            2);
  EXPECT_EQ(ReadAll(dir + "/Fjord/Style.rgs"), styleBefore);
  std::vector<std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(top)) {
    entries.push_back(fs::relative(entry.path(), top).generic_string());
  }
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"Packages", "Packages/Fjord", "Packages/Fjord.dll",
                                               "Packages/Fjord/Style.rgs", "Packages/Fjord/StyleText.rgs",
                                               "Stub64.dll"}));
  fs::remove_all(top);
}

// A manifest as export writes it reads back without a finding, its values'
// markup included; hand-written ones are read as XML (namespaces, references,
// UTF-16) and each mistake is found once, without reading past the
// text or recursing without end.
const char* const kLarkIds[2] = {"{5A43D3A4-DE45-48C3-9CA8-B9A32AF938F4}",
                                 "{596B2237-CD2B-48B9-9CDF-CC45ECEC6664}"};

// The facts of a package Lark as export reads them, with a description that
// needs escaping in XML.
check::AssemblyFacts LarkFacts() {
  check::AssemblyFacts facts;
  facts.name = "Lark.Assembly";
  facts.version = "1.2.3.4";
  facts.architecture = "x64";
  facts.fileName = "Lark.dll";
  facts.classes.resize(2);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(sys::CLSIDFromString(check::Utf16(kLarkIds[i]).c_str(), &facts.classes[i].clsid), S_OK);
  }
  facts.classes[0] = {facts.classes[0].clsid, "Lark & <Style>\t\"one\"", "Apartment", "Lark.Style.1",
                      "Lark.Style"};
  facts.classes[1] = {facts.classes[1].clsid, "", "Both", "Lark.StyleText.1", ""};
  return facts;
}

// What a manifest of Lark must hold: its module, its architecture, its classes.
check::ManifestExpectation LarkExpectation(const check::AssemblyFacts& facts) {
  check::ManifestExpectation want;
  want.moduleName = "Lark.dll";
  want.architecture = "x64";
  want.classesKnown = true;
  want.classes = facts.classes;
  return want;
}

// The codes of a manifest's findings, in order; each finding has a place and a remedy.
std::string ManifestCodes(const std::string& bytes, const check::ManifestExpectation& want) {
  std::vector<check::Finding> findings;
  check::CheckManifest("Lark.Assembly.manifest", bytes, want, &findings);
  std::string out;
  for (const check::Finding& f : findings) {
    EXPECT_GE(f.line, 1) << f.message;
    EXPECT_FALSE(f.remedy.empty()) << f.message;
    out += (out.empty() ? "" : " ") + std::string(check::CodeName(f.code));
  }
  return out;
}

// The start of Lark's manifest, up to its <file>, and its end.
constexpr char kLarkHead[] =
    "<assembly xmlns='urn:schemas-microsoft-com:asm.v1' manifestVersion='1.0'>"
    "<assemblyIdentity type='win32' name='Lark.Assembly' version='1.0.0.0' "
    "processorArchitecture='AMD64'/><file name='LARK.DLL'>";
constexpr char kLarkTail[] = "</file></assembly>";

TEST(Checker, ManifestsReadAsXmlAndHeldAgainstThePackage) {
  check::AssemblyFacts facts = LarkFacts();
  const char* const* ids = kLarkIds;
  std::string written, problem;
  ASSERT_TRUE(check::WriteAssemblyManifest(facts, &written, &problem)) << problem;
  const check::ManifestExpectation want = LarkExpectation(facts);
  const auto codes = [&want](const std::string& bytes) { return ManifestCodes(bytes, want); };
  EXPECT_EQ(codes(written), "");
  const std::string head = kLarkHead;
  const std::string style = std::string("<comClass clsid='") + ids[0] +
                            "' threadingModel='apartment' "
                            "progid='Lark.Style.1'><progid>Lark.Style</progid></comClass>";
  const std::string text = std::string("<comClass clsid='") + ids[1] +
                           "' threadingModel='Both' "
                           "progid='Lark.StyleText.1'/>";
  const std::string tail = kLarkTail;
  const auto versioned = [&](const std::string& version) {
    std::string bytes = head + style + text + tail;
    return bytes.replace(bytes.find("1.0.0.0"), 7, version);
  };
  std::string deep = head + style + text;
  for (int i = 0; i < 5000; ++i) deep += "<a>";
  struct Row {
    std::string bytes;
    const char* codes;
  };
  const Row rows[] = {
      {head + style + text + tail, ""},
      // A prefix and references are read as XML reads them (CDATA and "--" in a
      // comment as the system reads them: tests/sdk/manifest_rows.txt).
      {"<?xml version='1.0'?><!-- fine --><m:assembly xmlns:m='urn:schemas-microsoft-com:asm.v1' "
       "manifestVersion='1.0'><m:assemblyIdentity type='win32' name='Lark&#46;Assembly' version='1.0.0.0' "
       "processorArchitecture='amd64'/><m:file name='Lark.dll'><m:comClass clsid='" +
           std::string(ids[0]) +
           "' threadingModel='Apartment' progid='Lark&#x2E;Style.1'><m:progid>Lark&#46;Style</m:progid>"
           "</m:comClass><m:comClass clsid='" +
           ids[1] +
           "' threadingModel='Both' progid='Lark.StyleText.1'/>"
           "</m:file></m:assembly>",
       ""},
      {Utf16File(Utf16(head + style + text + tail)), ""},
      {head + style + text + "</file></assembly><more/>", "manifest-not-xml"},
      {"<!DOCTYPE assembly>" + head + style + text + tail, "manifest-not-xml"},
      {head + style + text + "</file></assembly", "manifest-not-xml"},
      {head + "<x:comClass/>" + tail, "manifest-not-xml"},  // an undeclared prefix
      {head + "<comClass clsid='a' clsid='b'/>" + tail, "manifest-not-xml"},
      // Bytes the system takes: an unknown entity, a control character, no UTF-8.
      {head + style + text + "&nbsp;" + tail, ""},
      {head + style + text + "\x01" + tail, ""},
      {head + style + text + "\xC3" + tail, ""},
      {deep, "manifest-not-xml"},
      {"", "manifest-not-xml"},
      // Elements of another namespace are not the assembly's.
      {"<assembly manifestVersion='1.0'/>", "manifest-not-assembly"},
      {head + style + text + style + tail, "manifest-class"},  // a class listed twice
      {head + style + text + "<comClass clsid='{5A43D3A4-DE45-48C3-9CA8-B9A32AF938F4'/>" + tail,
       "manifest-class"},
      {head + style + tail, "manifest-class"},
      {head + style + "<comClass clsid='" + ids[1] + "' progid='Lark.StyleText.1'/>" + tail,
       "manifest-threading"},
      {head + style + "<comClass clsid='" + ids[1] + "' threadingModel='Both'/>" + tail, "manifest-progid"},
      // Versions as Windows reads them: four parts, each 0 to 65535.
      {versioned("65535.0.0.65535"), ""},
      {versioned("1.0.x"), "manifest-version"},
      {versioned("99999.0.0.0"), "manifest-version"},
      {versioned("65536.0.0.0"), "manifest-version"},
      {versioned("1.0.0.0.0"), "manifest-version"},
      {versioned("-1.0.0.0"), "manifest-version"},
      {versioned("1.0..0"), "manifest-version"},
      // An XML declaration only at the very start, and no other instruction.
      {"<?xml version='1.0'?><?xml version='1.0'?>" + head + style + text + tail, "manifest-not-xml"},
      {head + style + text + "<?xml version='1.0'?>" + tail, "manifest-not-xml"},
      {"<?xml version='1.0'?><?xml-stylesheet href='a.css'?>" + head + style + text + tail,
       "manifest-not-xml"},
  };
  for (const Row& row : rows) EXPECT_EQ(codes(row.bytes), row.codes) << row.bytes.substr(0, 300);
}

// Foreign classes without end are listed up to a count; the classes missing still are.
TEST(Checker, ForeignManifestClassesAreListedUpToACount) {
  const check::ManifestExpectation want = LarkExpectation(LarkFacts());
  const std::string tail = kLarkTail;
  std::string foreign = kLarkHead;
  for (int i = 0; i < 25; ++i)
    foreign += "<comClass clsid='{5A43D3A4-DE45-48C3-9CA8-B9A32AF938" + std::to_string(10 + i) + "}'/>";
  std::vector<check::Finding> listed;
  check::CheckManifest("Lark.Assembly.manifest", foreign + tail, want, &listed);
  ASSERT_EQ(listed.size(), 22u);
  ASSERT_FALSE(listed[19].notes.empty());
  EXPECT_EQ(listed[19].notes.back(), "5 more like it in this manifest, not listed") << listed[19].message;
  EXPECT_NE(listed[21].message.find("is not in the manifest"), std::string::npos) << listed[21].message;
}

// What a manifest cannot carry is refused, not written, and an assembly name
// is one Windows takes as a file name.
TEST(Checker, ManifestWriterRefusesWhatAManifestCannotCarry) {
  check::AssemblyFacts facts = LarkFacts();
  std::string written, problem;
  facts.classes[1].threadingModel = "Single";
  EXPECT_FALSE(check::WriteAssemblyManifest(facts, &written, &problem));
  EXPECT_NE(problem.find("'Single'"), std::string::npos) << problem;
  facts.classes[1].threadingModel = "Both";
  facts.classes[1].description = "bell\x07";
  problem.clear();
  EXPECT_FALSE(check::WriteAssemblyManifest(facts, &written, &problem));
  EXPECT_NE(problem.find("a character XML cannot hold"), std::string::npos) << problem;
  const std::string longest(246, 'A');
  for (const std::string& name :
       {std::string("Lark"), std::string("lark"), std::string("Lark..A"), std::string(".Lark"),
        std::string("Lark."), std::string("Lark Assembly"), std::string(""), std::string("CON"),
        std::string("com1.Styles"), longest + "A"}) {
    EXPECT_FALSE(check::ValidAssemblyName(name, "Lark.dll", &problem)) << name;
  }
  for (const std::string& name :
       {std::string("Lark.Assembly"), std::string("Tarvo.Lark"), std::string("Lark_2"), std::string("7Seas"),
        std::string("_under"), std::string("Console"), longest}) {
    EXPECT_TRUE(check::ValidAssemblyName(name, "Lark.dll", &problem)) << name << ": " << problem;
  }
}

#ifndef _WIN32
// new puts a package into place while interrupts wait, and takes it back when
// one came: the hold must defer a Ctrl+C, see it, and let it through after.
TEST(Checker, InterruptsWaitWhileHeldAndComeThroughAfter) {
  static volatile std::sig_atomic_t delivered = 0;
  delivered = 0;
  const auto before = std::signal(SIGINT, [](int) { delivered = 1; });
  {
    check::HeldInterrupts held;
    EXPECT_FALSE(held.Pending());
    std::raise(SIGINT);
    EXPECT_EQ(delivered, 0);
    EXPECT_TRUE(held.Pending());
  }
  EXPECT_EQ(delivered, 1);
  std::signal(SIGINT, before);
}
#endif

// The guide's headings as GitHub anchors them: lower case, blanks as '-', other punctuation dropped.
std::set<std::string> GuideAnchors(const std::string& guide) {
  std::set<std::string> anchors;
  std::istringstream lines(guide);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] != '#') continue;
    std::string anchor;
    for (char c : line.substr(line.find(' ') + 1)) {
      const unsigned char b = static_cast<unsigned char>(c);
      if (std::isalnum(b) || c == '-' || c == '_') anchor += static_cast<char>(std::tolower(b));
      if (c == ' ') anchor += '-';
    }
    anchors.insert(anchor);
  }
  return anchors;
}

// The table of findings and the guide agree: every code the guide's list names has a row, every row is in
// that list once, and each row's anchor is a heading of the guide.
TEST(Checker, FindingRowsAndTheGuidesListOfCodesAgree) {
  std::ifstream file(STUB_AUTHORS_GUIDE);
  const std::string guide((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::size_t start = guide.find("Finding codes: ");
  ASSERT_NE(start, std::string::npos) << "no list of finding codes in " << STUB_AUTHORS_GUIDE;
  const std::string list = guide.substr(start, guide.find("Every finding has a", start) - start);
  std::multiset<std::string> listed;
  for (std::size_t open = list.find('`'); open != std::string::npos; open = list.find('`', open + 1)) {
    const std::size_t close = list.find('`', open + 1);
    const std::string word = list.substr(open + 1, close - open - 1);
    if (word.rfind("--", 0) != 0) listed.insert(word);
    open = close;
  }
  for (const std::string& code : listed) EXPECT_NE(check::FindRow(code), nullptr) << code << " has no row";
  const std::set<std::string> anchors = GuideAnchors(guide);
  for (const check::FindingRow& row : check::kFindingRows) {
    EXPECT_EQ(listed.count(row.code), 1u) << row.code << ": the guide's list of codes should name it once";
    EXPECT_EQ(anchors.count(row.anchor), 1u) << row.code << ": the guide has no heading #" << row.anchor;
    EXPECT_EQ(check::FindRow(row.code), &row) << row.code << " has two rows";
  }
}

}  // namespace
