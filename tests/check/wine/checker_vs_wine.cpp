// The checker's prediction held against the real module under Wine: for each
// script of the interpreter's differential set, a package is laid out on
// disk, the checker predicts its registration and removal from the real
// registry as it stands, and the real module then registers and removes it.
// Results and registry changes (as .reg text) must be the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "checks/check.h"
#include "checks/package.h"
#include "findings/finding.h"
#include "module/module_file.h"
#include "package/package_classes.h"
#include "platform/emulated/emulator.h"
#include "real_registry.h"
#include "registry/emulator_session.h"
#include "registry/registry_state.h"
#include "report/report.h"
#include "scripts/script_reading.h"
#include "text/identifiers.h"
#include "text/text.h"

namespace {

const char kStyleId[] = "{C0DE00F0-1111-4A00-8000-0000000000F0}";
const char kTextId[] = "{C0DE00F0-2222-4A00-8000-0000000000F1}";

// The identifier block the module reads, then the script under test.
std::string StyleScript(const std::string& script) {
  return std::string("HKCR\r\n{\r\n\tVsWine.Style.1 = s 'Style'\r\n\t{\r\n\t\tCLSID = s '") + kStyleId +
         "'\r\n\t}\r\n}\r\n" + script;
}
std::string TextScript() {
  return std::string("HKCR\r\n{\r\n\tVsWine.Text.1 = s 'Text'\r\n\t{\r\n\t\tCLSID = s '") + kTextId +
         "'\r\n\t}\r\n}\r\n";
}

// A Unix path from the build system names Wine's Z: drive, with backslashes.
std::u16string WindowsPath(const std::string& unixPath) {
  std::u16string path = u"Z:";
  for (char c : unixPath) path += c == '/' ? u'\\' : static_cast<char16_t>(c);
  return path;
}

// Every word of the scripts, quoted text whole as well, case-folded: the names
// of keys a run may reach. Too many names only read a little more.
std::set<std::u16string> NamesIn(const std::string& a, const std::string& b) {
  std::set<std::u16string> names = {u"clsid", u"component categories",
                                    u"{390f9e99-171d-4a3b-a185-a0e495ba86d0}",
                                    u"{fd8abb6d-b549-4a66-94a9-3c360cd70490}"};
  for (const std::u16string& text : {check::Utf16(a), check::Utf16(b)}) {
    std::u16string word, quoted;
    bool inQuote = false;
    for (char16_t c : text + u" ") {
      if (c == u'\'') {
        if (inQuote && !quoted.empty()) names.insert(check::FoldCase(quoted));
        quoted.clear();
        inQuote = !inQuote;
      } else if (inQuote) {
        quoted += c;
      }
      if (c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\'' || c == u'{' || c == u'}' ||
          c == u'=') {
        if (!word.empty()) names.insert(check::FoldCase(word));
        word.clear();
      } else {
        word += c;
      }
    }
  }
  return names;
}

// Top-level keys that hold everybody's keys: only their named children count.
const std::set<std::u16string> kShared = {u"clsid", u"interface", u"typelib",  u"appid",
                                          u"mime",  u"filetype",  u"software", u"component categories"};

check::Snapshot ToSnapshot(const std::vector<real::Key>& keys) {
  check::Snapshot snapshot;
  for (const real::Key& key : keys) {
    check::RegKey& entry = snapshot[check::FoldCase(key.path)];
    entry.path = key.path;
    for (const real::Value& value : key.values) {
      entry.values[check::FoldCase(value.name)] = {value.name, static_cast<DWORD>(value.type),
                                                   std::vector<BYTE>(value.data.begin(), value.data.end())};
    }
  }
  return snapshot;
}

std::vector<std::string> Scripts() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(STUB_DIFFERENTIAL_DIR)) {
    if (entry.path().extension() == ".rgs") names.push_back(entry.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class CheckerVsWine : public testing::TestWithParam<std::string> {};

TEST_P(CheckerVsWine, PredictsWhatTheModuleDoes) {
  const std::string name = GetParam();
  std::ifstream in(std::string(STUB_DIFFERENTIAL_DIR) + "/" + name + ".rgs", std::ios::binary);
  std::stringstream script;
  script << in.rdbuf();

  // The package: a copy of the module and its folder of scripts, in a folder
  // emptied once per run.
  static const bool emptied = std::filesystem::remove_all(STUB_VS_WINE_DIR) >= 0;
  ASSERT_TRUE(emptied);
  const std::u16string top = WindowsPath(std::string(STUB_VS_WINE_DIR).substr(2));
  const std::u16string module = top + u"\\" + check::Utf16(name) + u".dll";
  const std::u16string folder = top + u"\\" + check::Utf16(name);
  ASSERT_TRUE(real::MakeFolder(top));
  ASSERT_TRUE(real::MakeFolder(folder));
  ASSERT_TRUE(real::CopyInto(WindowsPath(STUB_MODULE_FILE), module));
  const std::vector<std::string> bytes = {StyleScript(script.str()), TextScript()};
  const check::Package package = check::PackageOfScripts(name + ".dll", bytes);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    ASSERT_TRUE(real::WriteFile(folder + u"\\" + PackageClasses[i].scriptName, bytes[i]));
  }

  // The prediction, from the registry as it is now; then the real thing.
  const std::set<std::u16string> names = NamesIn(bytes[0], bytes[1]);
  const check::Snapshot base = ToSnapshot(real::ReadRegistry(names, kShared));
  check::CheckRequest request;
  request.package = std::make_shared<const check::Package>(package);
  request.registry = base;
  request.installPaths = {module};
  const check::Report report = check::Check(request);
  const check::Install& predicted = report.installs[0];
  const real::ModuleRun run = real::RunModule(module, names, kShared);

  ASSERT_TRUE(run.loaded) << "error " << run.loadError;
  ASSERT_EQ(predicted.load.result, S_OK);
  EXPECT_EQ(check::DescribeResult(predicted.registration.result), check::DescribeResult(run.registration));
  const check::Snapshot registered = ToSnapshot(run.registered);
  EXPECT_EQ(predicted.registration.changes, check::RegDiff(base, registered));
  EXPECT_EQ(check::DescribeResult(predicted.removal.result), check::DescribeResult(run.removal));
  EXPECT_EQ(predicted.removal.changes, check::RegDiff(registered, ToSnapshot(run.removed)));
}

INSTANTIATE_TEST_SUITE_P(DifferentialScripts, CheckerVsWine, testing::ValuesIn(Scripts()),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
