// The host library reads a script's class identifier anew, without the
// module's code; here both read the same scripts under Wine, and must agree
// on every one: the result, the identifier, and the module's box or none.
// The module's refusals would show "Invalid GUID!", so the process moves to a
// window station no person sees, where the module shows no box.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../../sdk/host/manifest.h"
#include "package/class_identity.h"
#include "stub/stub_host.h"
#include "support/package_files.h"

namespace {

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

const char kId[] = "{DEADBEEF-0123-4567-89AB-CDEF01234567}";

TEST(HostScanTest, ReadsEveryScriptAsTheModuleDoes) {
  ScopedHiddenStation station;
  ASSERT_TRUE(station.Hidden());
  const std::string id = kId;
  const struct {
    const char* what;
    std::string script;
    bool parses;
  } cases[] = {
      {"the usual place", ScriptWithClassId(kId), true},
      {"lower case, Windows line ends, no blanks around =",
       "HKCR\r\n{\r\n x\r\n {\r\n\tCLSID=s\t'{deadbeef-0123-4567-89ab-cdef01234567}'", true},
      {"two braces in one token", "HKCR {{ CLSID = s '" + id + "'", true},
      {"a brace inside quoted text counts", "HKCR { x = s '{ CLSID = s '" + id + "'", true},
      {"a byte-order mark and Latin-1 bytes before", "\xEF\xBB\xBFHKCR { \xE9 { CLSID = s '" + id + "'",
       true},
      {"the identifier runs on into digits", "{ { CLSID = s '" + id + "0'", false},
      {"no braces around the identifier", "{ { CLSID = s 'DEADBEEF-0123-4567-89AB-CDEF01234567'", false},
      {"a blank inside", "{ { CLSID = s '{DEADBEEF-0123 -4567-89AB-CDEF01234567}'", false},
      {"the word in lower case", "{ { clsid = s '" + id + "'", false},
      {"another type letter", "{ { CLSID = d '" + id + "'", false},
      {"a value before it", "{ { X = s 'x' CLSID = s '" + id + "'", false},
      {"one brace only", "HKCR { CLSID = s '" + id + "'", false},
      {"a run longer than the scan", "{ { CLSID = s '" + std::string(300, 'A') + "'", false},
      {"127 characters then the identifier", "{ { CLSID = s '" + std::string(89, '0') + id + "'", false},
      {"an end-of-file byte before the identifier", "{ { CLSID = s '\x1A" + id + "'", false},
      {"an end-of-file byte before the second brace", "HKCR { \x1A { CLSID = s '" + id + "'", false},
      {"an end-of-file byte right after", "{ { CLSID = s '" + id + "\x1A'", true},
      {"empty", "", false},
  };
  PackageFiles files;
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::u16string path = files.Put(u"S" + std::u16string(1, char16_t(u'a' + n++)) + u".rgs", c.script);
    GUID moduleId = {};
    const HRESULT moduleResult = ReadScriptClassId(path.c_str(), &moduleId);
    CLSID hostId = {};
    std::wstring text;
    const HRESULT hostResult =
        stub::host::ReadScriptClassId(std::wstring(path.begin(), path.end()), hostId, text);
    EXPECT_EQ(hostResult, moduleResult);
    EXPECT_EQ(SUCCEEDED(hostResult), c.parses);
    if (SUCCEEDED(moduleResult)) {
      EXPECT_TRUE(IsEqualGUID(hostId, moduleId));
    }
  }
}

// The host library reads a folder package's comClass entries (the
// description, ProgID and threading it lists, and under which file) from the
// manifest as authors and tools write it; whether the system takes the
// manifest is the activation context's to say, under Wine in the
// registration-free end-to-end test.
TEST(HostScanTest, ReadsManifestClassesAsWritten) {
  const std::string head =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n";
  const std::string exported = head +
                               "<file name=\"A.dll\">\n"
                               "  <comClass clsid=\"{00000000-0000-0000-0000-000000000001}\" "
                               "progid=\"A.Style.1\" threadingModel=\"Apartment\" description=\"A Style\">\n"
                               "    <progid>A.Style</progid>\n  </comClass>\n"
                               "  <comClass clsid=\"{00000000-0000-0000-0000-000000000002}\" "
                               "progid=\"A.StyleText.1\" threadingModel=\"Both\" description=\"A Text\"/>\n"
                               "</file></assembly>\n";
  std::string utf16 = "\xFF\xFE";
  for (char c : exported) utf16 += std::string(1, c) + '\0';
  const struct {
    const char* what;
    std::string text;
    std::vector<std::string> classes;  // file|clsid|progid|threading|description
  } cases[] = {
      {"as exported",
       exported,
       {"A.dll|{00000000-0000-0000-0000-000000000001}|A.Style.1|Apartment|A Style",
        "A.dll|{00000000-0000-0000-0000-000000000002}|A.StyleText.1|Both|A Text"}},
      {"UTF-16 with its byte order mark",
       utf16,
       {"A.dll|{00000000-0000-0000-0000-000000000001}|A.Style.1|Apartment|A Style",
        "A.dll|{00000000-0000-0000-0000-000000000002}|A.StyleText.1|Both|A Text"}},
      {"a UTF-8 byte order mark, prefixes, single quotes, blanks around =, entities",
       "\xEF\xBB\xBF<asmv1:assembly xmlns:asmv1='urn:schemas-microsoft-com:asm.v1'>"
       "<asmv1:file\n name = 'A.dll'><asmv1:comClass clsid='{00000000-0000-0000-0000-000000000001}' "
       "description='R&amp;D &#x41;&#66; &lt;x&gt; &bogus;'"
       " threadingModel = \"Free\"/></asmv1:file></asmv1:assembly>",
       {"A.dll|{00000000-0000-0000-0000-000000000001}||Free|R&D AB <x> &bogus;"}},
      {"a comment, a self-closing file, a class outside any file",
       head + "<!-- <file name=\"C.dll\"><comClass clsid=\"{00000000-0000-0000-0000-000000000009}\"/> "
              "-->\n<file name=\"B.dll\"/>\n"
              "<comClass clsid=\"{00000000-0000-0000-0000-000000000003}\"/>\n<file name=\"A.dll\"><comClass "
              "clsid=\"{00000000-0000-0000-0000-000000000004}\"/></file>\n"
              "<comClass clsid=\"{00000000-0000-0000-0000-000000000005}\"/></assembly>",
       {"|{00000000-0000-0000-0000-000000000003}|||", "A.dll|{00000000-0000-0000-0000-000000000004}|||",
        "|{00000000-0000-0000-0000-000000000005}|||"}},
      {"a tag cut off at the end",
       head + "<file name=\"A.dll\"><comClass clsid=\"{00000000-0000-0000-0000-000000000001}\"/><comClass "
              "clsid=\"{2",
       {"A.dll|{00000000-0000-0000-0000-000000000001}|||"}},
      {"no XML at all", "this is not a manifest", {}},
  };
  PackageFiles files;
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::u16string path =
        files.Put(u"M" + std::u16string(1, char16_t(u'a' + n++)) + u".manifest", c.text);
    std::vector<stub::host::detail::ManifestClass> read;
    ASSERT_TRUE(stub::host::detail::ReadManifestClasses(std::wstring(path.begin(), path.end()), read));
    std::vector<std::string> got;
    for (const auto& entry : read) {
      std::wstring line = entry.file + L"|" + entry.clsid + L"|" + entry.progId + L"|" +
                          entry.threadingModel + L"|" + entry.description;
      got.emplace_back(line.begin(), line.end());
    }
    EXPECT_EQ(got, c.classes);
  }
  std::vector<stub::host::detail::ManifestClass> none;
  EXPECT_FALSE(stub::host::detail::ReadManifestClasses(L"Z:\\no\\such\\folder\\A.manifest", none));
}

}  // namespace
