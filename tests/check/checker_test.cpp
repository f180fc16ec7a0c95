// The package checker's own parts that the corpus reaches only once or not at
// all: reading a .reg export, writing changes as .reg text, and mapping a
// place in the prepared text back to the script an author wrote.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "checker.h"
#include "platform/emulated/emulator.h"

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
  emu::Reset();
  const std::u16string text =
      u"Windows Registry Editor Version 5.00\r\n\r\n"
      u"[HKEY_CLASSES_ROOT\\Aurora.Style]\r\n"
      u"@=\"Aurora \\\"Style\\\"\"\r\n"
      u"\"Count\"=dword:0000002a\r\n"
      u"\"Path\"=hex(2):25,00,41,00,25,00,00,00\r\n"
      u"\"Blob\"=hex:01,02,\\\r\n  03\r\n"
      u"\"Gone\"=-\r\n"
      u"[-HKEY_CLASSES_ROOT\\Old]\r\n"
      u"[HKEY_NOWHERE\\X]\r\n";
  check::Snapshot snapshot;
  std::vector<std::string> notes;
  std::string error;
  ASSERT_TRUE(check::ParseRegFile(Utf16File(text), &snapshot, &notes, &error)) << error;
  EXPECT_EQ(notes.size(), 3u);  // the value deletion, the key deletion, the unknown root
  const check::Snapshot read = check::TakeSnapshot();
  EXPECT_EQ(check::RegDiff({}, read),
            "[HKEY_CLASSES_ROOT\\Aurora.Style]\n"
            "@=\"Aurora \\\"Style\\\"\"\n"
            "\"Blob\"=hex:01,02,03\n"
            "\"Count\"=dword:0000002a\n"
            "\"Path\"=hex(2):25,00,41,00,25,00,00,00\n");

  // The older form, in UTF-8; and a file that is no export at all.
  emu::Reset();
  ASSERT_TRUE(check::ParseRegFile("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Classes\\A]\n@=\"a\"\n",
                                  &snapshot, &notes, &error));
  EXPECT_TRUE(emu::KeyExists(HKEY_CURRENT_USER, u"Software\\Classes\\A"));
  EXPECT_FALSE(check::ParseRegFile("[HKEY_CLASSES_ROOT\\A]\n", &snapshot, &notes, &error));
  EXPECT_NE(error.find("not a registry export"), std::string::npos);
  emu::Reset();
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
  const std::u16string script =
      u"HKCR\r\n{\r\n\tA = s '%Module%' { B = s '100%%' }\r\n\tC\r\n}\r\n";
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
}

}  // namespace
