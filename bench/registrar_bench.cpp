// Benchmarks of the registry script interpreter on the emulated platform, each
// next to a baseline in the same binary so that the ratio, not the machine,
// is what bench/run.sh reports:
//   PrepareAndTokenize  vs ScanBlanks:        the text passes against one plain loop
//   RegisterAndRemove   vs DirectRegistryCalls: the interpreter against the same
//                                              registry changes made call by call
//   Register/N          for N = 1,000, 10,000, 100,000 keys: the cost curve
#include <benchmark/benchmark.h>

#include <string>

#include "platform/emulated/emulator.h"
#include "platform/platform.h"
#include "registrar/registrar.h"
#include "registrar/script_parser.h"

namespace {

constexpr char16_t kModule[] = u"C:\\Packages\\Stub.dll";

std::u16string Number(int n) {
  std::string digits = std::to_string(n);
  return std::u16string(digits.begin(), digits.end());
}

// Key names padded to one width, so that every key costs the same.
std::u16string KeyName(int n) {
  std::u16string digits = Number(n);
  return u"Key" + std::u16string(6 - digits.size(), u'0') + digits;
}

// A script shaped like real ones, `keys` keys under one NoRemove parent, each
// with a default value and two named values (one a %Module% path).
std::u16string MakeScript(int keys) {
  std::u16string script = u"HKCR\r\n{\r\n\tNoRemove Bench\r\n\t{\r\n";
  for (int i = 0; i < keys; ++i) {
    script += u"\t\t" + KeyName(i) + u" = s 'Key " + Number(i) + u"'\r\n\t\t{\r\n";
    script += u"\t\t\tval Number = d " + Number(i) + u"\r\n";
    script += u"\t\t\tval Path = s '%Module%'\r\n\t\t}\r\n";
  }
  script += u"\t}\r\n}\r\n";
  return script;
}

const std::u16string& Script(int keys) {
  static std::u16string cached;
  static int cachedKeys = -1;
  if (cachedKeys != keys) {
    cached = MakeScript(keys);
    cachedKeys = keys;
  }
  return cached;
}

HRESULT RunScript(const std::u16string& script, ScriptMode mode) {
  CRegistrar registrar;
  registrar.DefineReplacement(u"Module", kModule);
  ScriptParser parser(&registrar);
  return parser.RunScript(script.c_str(), mode);
}

void Check(benchmark::State& state, bool ok, const char* what) {
  if (!ok) state.SkipWithError(what);
}

// ---- Text passes ------------------------------------------------------------------------------

void PrepareAndTokenize(benchmark::State& state) {
  const std::u16string& script = Script(static_cast<int>(state.range(0)));
  CRegistrar registrar;
  registrar.DefineReplacement(u"Module", kModule);
  for (auto _ : state) {
    ScriptParser parser(&registrar);
    char16_t* prepared = nullptr;
    if (FAILED(parser.ExpandReplacements(script.c_str(), &prepared))) {
      state.SkipWithError("preparation failed");
      break;
    }
    parser.SetPosition(prepared);
    TokenBuffer token;
    int tokens = 0;
    while (SUCCEEDED(parser.ReadToken(token))) ++tokens;
    benchmark::DoNotOptimize(tokens);
    sys::CoTaskMemFree(prepared);
  }
  state.SetBytesProcessed(state.iterations() * script.size() * sizeof(char16_t));
}

// Baseline: one plain pass over the same text.
void ScanBlanks(benchmark::State& state) {
  const std::u16string& script = Script(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    int blanks = 0;
    for (const char16_t* p = script.c_str(); *p; ++p) {
      blanks += *p == u' ' || *p == u'\t' || *p == u'\r' || *p == u'\n';
    }
    benchmark::DoNotOptimize(blanks);
  }
  state.SetBytesProcessed(state.iterations() * script.size() * sizeof(char16_t));
}

// ---- Registry work -----------------------------------------------------------------------------

void RegisterAndRemove(benchmark::State& state) {
  const int keys = static_cast<int>(state.range(0));
  const std::u16string& script = Script(keys);
  for (auto _ : state) {
    state.PauseTiming();
    emu::Reset();
    state.ResumeTiming();
    Check(state, RunScript(script, ScriptMode::kRegister) == S_OK, "registration failed");
    Check(state, RunScript(script, ScriptMode::kRemove) == S_OK, "removal failed");
  }
  state.counters["keys"] = keys;
}

LONG SetString(HKEY key, const char16_t* name, const std::u16string& text) {
  return sys::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(char16_t)));
}

// Baseline: the same keys and values created with one RegCreateKeyExW and three
// RegSetValueExW calls per key, then deleted deepest first with RegDeleteKeyW.
void DirectRegistryCalls(benchmark::State& state) {
  const int keys = static_cast<int>(state.range(0));
  std::vector<std::u16string> names, defaults;
  for (int i = 0; i < keys; ++i) {
    names.push_back(u"Bench\\" + KeyName(i));
    defaults.push_back(u"Key " + Number(i));
  }
  const std::u16string module = kModule;
  for (auto _ : state) {
    state.PauseTiming();
    emu::Reset();
    state.ResumeTiming();
    bool ok = true;
    for (int i = 0; i < keys; ++i) {
      HKEY key = nullptr;
      ok &= sys::RegCreateKeyExW(HKEY_CLASSES_ROOT, names[i].c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE,
                                 nullptr, &key, nullptr) == ERROR_SUCCESS;
      const DWORD number = static_cast<DWORD>(i);
      ok &= SetString(key, nullptr, defaults[i]) == ERROR_SUCCESS;
      ok &= sys::RegSetValueExW(key, u"Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                                sizeof number) == ERROR_SUCCESS;
      ok &= SetString(key, u"Path", module) == ERROR_SUCCESS;
      sys::RegCloseKey(key);
    }
    for (int i = keys - 1; i >= 0; --i) {
      ok &= sys::RegDeleteKeyW(HKEY_CLASSES_ROOT, names[i].c_str()) == ERROR_SUCCESS;
    }
    Check(state, ok, "a direct registry call failed");
  }
  state.counters["keys"] = keys;
}

// The cost curve: registration alone at growing sizes. The per-key time should
// stay flat; a rising one shows growth worse than linear.
void Register(benchmark::State& state) {
  const int keys = static_cast<int>(state.range(0));
  const std::u16string& script = Script(keys);
  for (auto _ : state) {
    state.PauseTiming();
    emu::Reset();
    state.ResumeTiming();
    Check(state, RunScript(script, ScriptMode::kRegister) == S_OK, "registration failed");
  }
  state.SetComplexityN(keys);
  state.counters["per_key"] = benchmark::Counter(
      static_cast<double>(keys), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK(PrepareAndTokenize)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(ScanBlanks)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(RegisterAndRemove)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(DirectRegistryCalls)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(Register)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

}  // namespace

BENCHMARK_MAIN();
