// Differential test of the registry script interpreter: a set of scripts, each
// run through a small plan (seed keys, register, remove, ...) inside the
// registry sandbox, with the HRESULT of every step and a canonical dump of the
// sandboxed roots after it. The whole output must equal the checked-in
// expected text on both targets, so the emulator is held to what the real
// registry (Wine) does.
//
//   registrar_differential --data=DIR [--write=FILE] [gtest flags]
//
// DIR holds plans.txt, the .rgs scripts it names and expected.txt. Each case is
// one gtest test comparing its section of expected.txt; --write=FILE also
// writes the complete output (every case, in plan order) to FILE, which is how
// expected.txt is regenerated from a Wine run.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "registrar/registrar.h"
#include "registrar/script_parser.h"
#include "support/registry_dump.h"
#include "support/registry_sandbox.h"

#ifndef _WIN32
#include "platform/emulated/emulator.h"
#endif

namespace {

constexpr char16_t kDefaultModule[] = u"C:\\Packages\\Stub.dll";

// ---- Data files -------------------------------------------------------------------------------

std::string g_dataDir;

// An absolute Unix path from the build system names Wine's Z: drive.
std::string NativePath(std::string path) {
#ifdef _WIN32
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
#endif
  return path;
}

std::string DataPath(const std::string& name) { return NativePath(g_dataDir + "/" + name); }

bool ReadFile(const std::string& path, std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  char chunk[4096];
  std::size_t n = 0;
  bytes.clear();
  while ((n = std::fread(chunk, 1, sizeof(chunk), file)) > 0) bytes.append(chunk, n);
  std::fclose(file);
  return true;
}

// UTF-8 to UTF-16; malformed bytes become U+FFFD. The scripts are ours, so
// this only has to be right for well-formed text.
std::u16string FromUtf8(const std::string& text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    std::uint32_t c = 0xFFFD;
    int extra = 0;
    if (b < 0x80) {
      c = b;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F, extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F, extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07, extra = 3;
    }
    ++i;
    for (int k = 0; k < extra && i < text.size(); ++k, ++i) c = (c << 6) | (text[i] & 0x3F);
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// ---- Plans ---------------------------------------------------------------------------------------

// One line of a plan. Kinds: "key", "value", "script", "text", "module",
// "brief", "register", "remove", "dump".
struct Step {
  std::string kind;
  std::string argument;
};

struct Case {
  std::string name;
  std::vector<Step> steps;
};

std::vector<Case> g_cases;
std::string g_loadError;

bool LoadPlans() {
  std::string text;
  if (!ReadFile(DataPath("plans.txt"), text)) {
    g_loadError = "cannot read " + DataPath("plans.txt");
    return false;
  }
  int lineNumber = 0;
  for (const std::string& line : SplitLines(text)) {
    ++lineNumber;
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    const std::size_t space = line.find(' ', first);
    Step step{line.substr(first, space == std::string::npos ? std::string::npos : space - first),
              space == std::string::npos ? "" : line.substr(space + 1)};
    if (step.kind == "case") {
      g_cases.push_back({step.argument, {}});
      continue;
    }
    static const char* const kKinds[] = {"key",   "value",    "script", "text", "module",
                                         "brief", "register", "remove", "dump"};
    bool known = false;
    for (const char* kind : kKinds) known = known || step.kind == kind;
    if (!known || g_cases.empty()) {
      g_loadError = "plans.txt line " + std::to_string(lineNumber) + ": " + line;
      return false;
    }
    g_cases.back().steps.push_back(step);
  }
  return true;
}

// expected.txt: sections that each start with "=== <case name>".
std::map<std::string, std::string> g_expected;
std::vector<std::string> g_expectedOrder;

void LoadExpected() {
  std::string text;
  if (!ReadFile(DataPath("expected.txt"), text)) return;
  std::string* section = nullptr;
  for (const std::string& line : SplitLines(text)) {
    if (line.rfind("=== ", 0) == 0) {
      const std::string name = line.substr(4);
      g_expectedOrder.push_back(name);
      section = &g_expected[name];
    }
    if (section) *section += line + "\n";
  }
}

// Actual output per case, for --write.
std::map<std::string, std::string> g_actual;

// ---- Running a plan ---------------------------------------------------------------------------

std::string HResultText(HRESULT hr) {
  struct Known {
    HRESULT hr;
    const char* name;
  };
  static const Known kKnown[] = {
      {S_OK, "S_OK"},
      {E_FAIL, "E_FAIL"},
      {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
      {E_INVALIDARG, "E_INVALIDARG"},
      {DISP_E_EXCEPTION, "DISP_E_EXCEPTION"},
      {static_cast<HRESULT>(0x80020005), "DISP_E_TYPEMISMATCH"},
      {static_cast<HRESULT>(0x8002000A), "DISP_E_OVERFLOW"},
      {static_cast<HRESULT>(0x80070002), "ERROR_FILE_NOT_FOUND"},
      {static_cast<HRESULT>(0x80070005), "ERROR_ACCESS_DENIED"},
      {static_cast<HRESULT>(0x80070006), "ERROR_INVALID_HANDLE"},
      {static_cast<HRESULT>(0x80070057), "ERROR_INVALID_PARAMETER"},
  };
  char hex[16];
  std::snprintf(hex, sizeof(hex), "0x%08x", static_cast<unsigned>(hr));
  for (const Known& known : kKnown) {
    if (known.hr == hr) return std::string(hex) + " " + known.name;
  }
  return hex;
}

HKEY ParseRoot(const std::string& path, std::u16string& rest) {
  const std::size_t slash = path.find('\\');
  const std::string root = path.substr(0, slash);
  rest = slash == std::string::npos ? u"" : FromUtf8(path.substr(slash + 1));
  if (root == "HKCR") return HKEY_CLASSES_ROOT;
  if (root == "HKCU") return HKEY_CURRENT_USER;
  return nullptr;  // only the sandboxed roots may be touched
}

// The sandboxed roots, in full or (brief) as counts of keys and values.
std::string DumpRoots(bool brief) {
  std::string out;
  for (const auto& root :
       {std::make_pair("HKCR", HKEY_CLASSES_ROOT), std::make_pair("HKCU", HKEY_CURRENT_USER)}) {
    const std::string dump = test::DumpRegistry(root.second);
    out += std::string("  [") + root.first + "]" + (dump.empty() ? " (empty)" : "");
    if (brief) {
      int keys = 0, values = 0;
      for (const std::string& line : SplitLines(dump)) ++(line[0] == '\\' ? keys : values);
      if (!dump.empty()) out += " " + std::to_string(keys) + " keys, " + std::to_string(values) + " values";
      out += "\n";
      continue;
    }
    out += "\n";
    for (const std::string& line : SplitLines(dump)) out += "    " + line + "\n";
  }
  return out;
}

std::vector<BYTE> ValueData(const std::string& type, const std::string& data, DWORD& regType) {
  if (type == "sz") {
    regType = REG_SZ;
    return test::TextBytes(FromUtf8(data));
  }
  if (type == "dword") {
    regType = REG_DWORD;
    const unsigned long n = std::stoul(data, nullptr, 0);
    return {static_cast<BYTE>(n), static_cast<BYTE>(n >> 8), static_cast<BYTE>(n >> 16),
            static_cast<BYTE>(n >> 24)};
  }
  regType = REG_BINARY;
  std::vector<BYTE> bytes;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    bytes.push_back(static_cast<BYTE>(std::stoul(data.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

class DifferentialCase : public test::RegistrySandbox {
 public:
  explicit DifferentialCase(const Case* plan) : plan_(plan) {}

  void TestBody() override {
    std::string out = "=== " + plan_->name + "\n";
    std::u16string script;
    std::u16string module = kDefaultModule;
    bool seeded = false;
    bool brief = false;
    for (const Step& step : plan_->steps) {
      if (step.kind == "key" || step.kind == "value") {
        Seed(step);
        seeded = true;
        continue;
      }
      if (seeded) {  // show the seeded state once, before the first run
        out += "seeded\n" + DumpRoots(brief);
        seeded = false;
      }
      if (step.kind == "script") {
        std::string bytes;
        ASSERT_TRUE(ReadFile(DataPath(step.argument), bytes)) << step.argument;
        script = FromUtf8(bytes);
        out += "script " + step.argument + "\n";
      } else if (step.kind == "text") {
        script = FromUtf8(step.argument);
        out += "text " + step.argument + "\n";
      } else if (step.kind == "module") {
        module = FromUtf8(step.argument);
        out += "module " + step.argument + "\n";
      } else if (step.kind == "brief") {
        brief = true;
        out += "brief\n";
      } else if (step.kind == "dump") {
        out += "dump\n" + DumpRoots(brief);
      } else {
        const ScriptMode mode = step.kind == "register" ? ScriptMode::kRegister : ScriptMode::kRemove;
        const HRESULT hr = Run(script, mode, module);  // before the dump, not in one expression
        out += step.kind + " -> " + HResultText(hr) + "\n" + DumpRoots(brief);
      }
    }
    out += "\n";
    g_actual[plan_->name] = out;
    const auto expected = g_expected.find(plan_->name);
    ASSERT_NE(expected, g_expected.end()) << "no section in expected.txt; actual:\n" << out;
    EXPECT_EQ(out, expected->second);
  }

 private:
  void Seed(const Step& step) {
    // key ROOT\path | value ROOT\path|name|type|data (name "@": default value)
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
      const std::size_t bar = step.argument.find('|', start);
      fields.push_back(step.argument.substr(start, bar - start));
      if (bar == std::string::npos) break;
      start = bar + 1;
    }
    std::u16string path;
    const HKEY root = ParseRoot(fields[0], path);
    ASSERT_NE(root, nullptr) << "only HKCR and HKCU are sandboxed: " << step.argument;
    if (step.kind == "key") {
      PutKey(root, path);
      return;
    }
    ASSERT_EQ(fields.size(), 4u) << step.argument;
    DWORD type = 0;
    const std::vector<BYTE> data = ValueData(fields[2], fields[3], type);
    PutValue(root, path, fields[1] == "@" ? u"" : FromUtf8(fields[1]), type, data);
  }

  HRESULT Run(const std::u16string& script, ScriptMode mode, const std::u16string& module) {
    HRESULT hr = E_UNEXPECTED;
    {
      CRegistrar registrar;
      EXPECT_EQ(registrar.DefineReplacement(u"Module", module.c_str()), S_OK);
      ScriptParser parser(&registrar);
      hr = parser.RunScript(script.c_str(), mode);
    }
#ifndef _WIN32
    // Every run, failed or not, gives back what it took.
    EXPECT_EQ(emu::OpenKeyHandles(), 0);
    EXPECT_EQ(emu::LiveTaskMemBlocks(), 0);
    EXPECT_EQ(emu::LiveHeapBlocks(), 0);
#endif
    return hr;
  }

  const Case* plan_;
};

// The expected file and the plans must name the same cases in the same order,
// so a case dropped from the plans cannot leave a stale expectation behind.
TEST(Differential, ExpectedFileMatchesThePlans) {
  ASSERT_TRUE(g_loadError.empty()) << g_loadError;
  std::vector<std::string> planned;
  for (const Case& plan : g_cases) planned.push_back(plan.name);
  EXPECT_EQ(g_expectedOrder, planned);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  std::string writePath;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--data=", 0) == 0) g_dataDir = arg.substr(7);
    if (arg.rfind("--write=", 0) == 0) writePath = arg.substr(8);
  }
  if (g_dataDir.empty()) {
    std::fprintf(stderr, "usage: %s --data=DIR [--write=FILE] [gtest flags]\n", argv[0]);
    return 2;
  }
  if (LoadPlans()) LoadExpected();
  for (const Case& plan : g_cases) {
    testing::RegisterTest("Differential", plan.name.c_str(), nullptr, nullptr, __FILE__, __LINE__,
                          [&plan]() -> testing::Test* { return new DifferentialCase(&plan); });
  }
  const int result = RUN_ALL_TESTS();
  if (!writePath.empty()) {
    std::FILE* file = std::fopen(NativePath(writePath).c_str(), "wb");
    if (!file) return 2;
    for (const Case& plan : g_cases) {
      const std::string& text = g_actual[plan.name];
      std::fwrite(text.data(), 1, text.size(), file);
    }
    std::fclose(file);
  }
  return result;
}
