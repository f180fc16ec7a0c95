// The host library reads a script's class identifier anew, without the
// module's code; here both read the same scripts under Wine, and must agree
// on every one: the result, the identifier, and the module's box or none.
// The module's refusals would show "Invalid GUID!", so the process moves to a
// window station no person sees, where the module shows no box.
#include <gtest/gtest.h>

#include <string>

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
           GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags,
                                     &length) &&
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
      {"no braces around the identifier", "{ { CLSID = s 'DEADBEEF-0123-4567-89AB-CDEF01234567'",
       false},
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
    const HRESULT hostResult = stub::host::ReadScriptClassId(
        std::wstring(path.begin(), path.end()), hostId, text);
    EXPECT_EQ(hostResult, moduleResult);
    EXPECT_EQ(SUCCEEDED(hostResult), c.parses);
    if (SUCCEEDED(moduleResult)) {
      EXPECT_TRUE(IsEqualGUID(hostId, moduleId));
    }
  }
}

}  // namespace
