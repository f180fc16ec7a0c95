// Many packages in one host, measured (see bench/many_packages/run.sh). Prints
// one "name value" line per figure, and every problem on the standard error,
// ending with a non-zero exit code if there was one.
//
//   many_packages [--sizes=10,100,1000] [--rounds=3] [--host-packages=100]
//                 [--host-seconds=20] [--clients=3]
//
// For each size N: N package copies registered through their exports, checked,
// removed and checked against the registry as it was, beside `reg import` of
// the same keys; the first load and activation of each copy, and activations of
// loaded copies, beside N copies of a minimal module of the same size. Then the
// busy host: M packages, clients of both apartment kinds, an unloading thread.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "many_packages.h"
#include "package/package_classes.h"
#include "test_engine.h"

namespace {

using namespace many;

void Report(const std::string& name, double value) { std::printf("%s %.6g\n", name.c_str(), value); }

// Bounded: reg finishes in seconds even for thousands of keys.
DWORD Run(const std::wstring& commandLine) { return bench::RunQuietly(commandLine, 300000); }

template <typename Work>
double Seconds(Work&& work) {
  const double start = Now();
  work();
  return Now() - start;
}

struct ActivationTimes {
  double firstLoad;  // seconds per copy: load and first activation
  double loaded;     // seconds per activation of a loaded copy
};

// One pass over a set: each copy's first activation in order (each loads its
// copy), then activations of random loaded copies, then everything unloaded.
ActivationTimes ActivationPass(const PackageSet& set, bool minimal, int activations, Problems& problems) {
  const int n = set.size();
  auto create = [&](int i, int which) {
    IUnknown* object = nullptr;
    const HRESULT hr = CoCreateInstance(set.classId(i, which), nullptr, CLSCTX_INPROC_SERVER,
                                        e2e::kIID_IEngineProbe, reinterpret_cast<void**>(&object));
    if (FAILED(hr) || !object) {
      problems.push_back((minimal ? "minimal " : "package ") + std::to_string(i) + ": creation failed");
      return false;
    }
    object->Release();
    return true;
  };
  ActivationTimes times = {};
  bool ok = true;
  times.firstLoad = Seconds([&] {
                      for (int i = 0; i < n && ok; ++i) ok = create(i, 0);
                    }) /
                    n;
  // The engine objects of the loaded pass say which copy made them.
  unsigned state = 88172645u;
  times.loaded = Seconds([&] {
                   for (int k = 0; k < activations && ok; ++k) {
                     state ^= state << 13;
                     state ^= state >> 17;
                     state ^= state << 5;
                     ok = create(static_cast<int>(state % static_cast<unsigned>(n)), k & 1);
                   }
                 }) /
                 activations;
  for (int i = 0; i < n && ok; i += std::max(1, n / 10)) {
    IUnknown* object = nullptr;
    if (SUCCEEDED(CoCreateInstance(set.classId(i, 1), nullptr, CLSCTX_INPROC_SERVER, e2e::kIID_IEngineProbe,
                                   reinterpret_cast<void**>(&object)))) {
      if (ProbedPath(object) != set.modulePath(i)) {
        problems.push_back((minimal ? "minimal " : "package ") + std::to_string(i) + ": engine object told " +
                           e2e::Narrow(ProbedPath(object)));
      }
      object->Release();
    }
  }
  CoFreeUnusedLibrariesEx(0, 0);
  for (int i = 0; i < n; ++i) {
    if (GetModuleHandleW(set.modulePath(i).c_str())) {
      problems.push_back((minimal ? "minimal " : "package ") + std::to_string(i) +
                         " still loaded after CoFreeUnusedLibrariesEx");
      break;
    }
  }
  return times;
}

// What the module's attach does beyond what any DLL's load does, by hand: the
// long form of its path and both package scripts read through the C runtime
// (the module stops at the identifier; this reads them whole).
void ReadScriptsAsAttachDoes(const std::wstring& module) {
  wchar_t longPath[MAX_PATH];
  const DWORD length = GetLongPathNameW(module.c_str(), longPath, MAX_PATH);
  if (length < 5 || length >= MAX_PATH) return;
  const std::wstring folder(longPath, length - 4);
  for (const PackageClass& row : PackageClasses) {
    const std::wstring path = folder + L"\\" + reinterpret_cast<const wchar_t*>(row.scriptName);
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (!file) continue;
    while (std::fgetc(file) != EOF) {
    }
    std::fclose(file);
  }
}

// Rounds at size n: small sets are measured more often, so that each figure
// covers a comparable amount of work.
int RoundsFor(int n, int rounds) { return std::max(rounds, std::min(30, 1000 / std::max(n, 1))); }

void Curve(int n, int minimumRounds, const std::wstring& emptyImport, Problems& problems) {
  const int rounds = RoundsFor(n, minimumRounds);
  const std::string tag = "curve_" + std::to_string(n) + "_";
  PackageSet packages(PackageSet::Kind::kModule, n, problems);
  PackageSet minimal(PackageSet::Kind::kMinimal, n, problems);
  e2e::TempFolder scratch;
  const std::wstring regFile = scratch.path() + L"packages.reg";
  if (!problems.empty() || !packages.WriteRegFile(regFile)) {
    problems.push_back("cannot lay out " + std::to_string(n) + " packages");
    return;
  }
  minimal.RegisterMinimalClasses(problems);
  Engine engine(problems);
  if (!problems.empty()) return;

  // Registration: through the exports (each copy loaded, registered, freed),
  // then removal and the registry as it was; against reg import of the same
  // keys, less reg import of a file that holds no keys (reg's own start-up).
  std::vector<double> add, remove, import, idle;
  const std::wstring importLine = L"reg.exe import \"" + regFile + L"\"";
  for (int round = 0; round < rounds; ++round) {
    for (int turn = 0; turn < 2; ++turn) {
      if ((round + turn) % 2 == 0) {
        const RegistrySnapshot before = RegistrySnapshot::Take();
        add.push_back(Seconds([&] { packages.RegisterAll(problems); }) / n);
        packages.CheckRegistered(problems);
        remove.push_back(Seconds([&] { packages.UnregisterAll(problems); }) / n);
        CheckRemoved(before, packages, problems);
      } else {
        DWORD code = 0;
        import.push_back(Seconds([&] { code = Run(importLine);
      }));
      if (code != 0) problems.push_back("reg import failed with " + std::to_string(code));
      idle.push_back(Seconds([&] { code = Run(emptyImport); }));
      if (code != 0) problems.push_back("reg import of no keys failed with " + std::to_string(code));
      packages.CheckRegistered(problems);  // the same keys, as the module writes them
    }
    packages.DeleteKeys();
  }
}
Report(tag + "rounds", rounds);
Report(tag + "register_us", Median(add) * 1e6);
Report(tag + "unregister_us", Median(remove) * 1e6);
Report(tag + "reg_import_us", (Median(import) - Median(idle)) / n * 1e6);
Report(tag + "reg_import_with_startup_us", Median(import) / n * 1e6);
Report(tag + "reg_startup_ms", Median(idle) * 1e3);

// Loading and activation, the packages registered once more for it.
packages.RegisterAll(problems);
if (!problems.empty()) return;
LoadCounter::Reset();
const int activations = 500;
std::vector<double> load, loadBase, active, activeBase;
for (int round = 0; round < rounds; ++round) {
  for (int turn = 0; turn < 2; ++turn) {
    const bool module = (round + turn) % 2 == 0;
    const ActivationTimes times = ActivationPass(module ? packages : minimal, !module, activations, problems);
    (module ? load : loadBase).push_back(times.firstLoad);
    (module ? active : activeBase).push_back(times.loaded);
  }
}
// Each pass loaded every copy once, and freeing unloaded each once.
for (int kind = 0; kind < 2; ++kind) {
  for (int i = 0; i < n; ++i) {
    const long loads = LoadCounter::Loads(kind, i), unloads = LoadCounter::Unloads(kind, i);
    if (loads != rounds || unloads != rounds) {
      problems.push_back(std::string(kind ? "minimal " : "package ") + std::to_string(i) + " loaded " +
                         std::to_string(loads) + " times and unloaded " + std::to_string(unloads) + " in " +
                         std::to_string(rounds) + " passes");
      break;
    }
  }
}
std::vector<double> reads;
for (int round = 0; round < rounds; ++round) {
  reads.push_back(Seconds([&] {
                    for (int i = 0; i < n; ++i) ReadScriptsAsAttachDoes(packages.modulePath(i));
                  }) /
                  n);
}
Report(tag + "attach_reads_us", Median(reads) * 1e6);
Report(tag + "load_us", Median(load) * 1e6);
Report(tag + "load_minimal_us", Median(loadBase) * 1e6);
Report(tag + "activate_us", Median(active) * 1e6);
Report(tag + "activate_minimal_us", Median(activeBase) * 1e6);
packages.UnregisterAll(problems);
std::fflush(stdout);
}  // namespace

long FileBytes(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)
             ? static_cast<long>(data.nFileSizeLow)
             : -1;
}

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* exception) {
  many::PrintCrash(exception);
  TerminateProcess(GetCurrentProcess(), 3);
  return EXCEPTION_EXECUTE_HANDLER;
}

int Option(int argc, char** argv, const char* name, int fallback) {
  const size_t length = std::strlen(name);
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') {
      return std::atoi(argv[i] + length + 1);
    }
  }
  return fallback;
}

}  // namespace

int main(int argc, char** argv) {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(&ReportCrash);
  std::vector<int> sizes = {10, 100, 1000};
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--sizes=", 8) == 0) {
      sizes.clear();
      for (const char* p = argv[i] + 8; *p;) {
        sizes.push_back(std::atoi(p));
        while (*p && *p != ',') ++p;
        if (*p) ++p;
      }
    }
  }
  const int rounds = Option(argc, argv, "--rounds", 3);
  HostOptions host;
  host.packages = Option(argc, argv, "--host-packages", 100);
  host.milliseconds = static_cast<DWORD>(Option(argc, argv, "--host-seconds", 20)) * 1000;
  host.staClients = host.mtaClients = Option(argc, argv, "--clients", 3);

  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
  Problems problems;
  if (!LoadCounter::Start()) problems.push_back("the loader offers no DLL notifications");
  Report("module_bytes", FileBytes(e2e::StubModulePath()));
  Report("minimal_bytes", FileBytes(e2e::WindowsPath(MANY_MINIMAL_DLL)));
  // reg's own start-up, taken out of the import baseline: a file with no keys.
  e2e::TempFolder scratch;
  const std::wstring emptyFile = scratch.path() + L"empty.reg";
  const std::wstring text = L"\xFEFFWindows Registry Editor Version 5.00\r\n\r\n";
  const std::string header(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
  if (!e2e::WriteFileText(emptyFile, header)) problems.push_back("cannot write an empty .reg file");
  const std::wstring emptyImport = L"reg.exe import \"" + emptyFile + L"\"";
  for (int n : sizes) {
    if (problems.empty()) Curve(n, rounds, emptyImport, problems);
  }
  if (problems.empty() && host.packages > 0) {
    const HostResult result = RunHost(host, problems);
    CheckFlat(result, problems);
    Report("host_packages", host.packages);
    Report("host_sta_clients", host.staClients);
    Report("host_mta_clients", host.mtaClients);
    Report("host_seconds", result.seconds);
    Report("host_activations", static_cast<double>(result.activations));
    Report("host_activations_per_second", result.activations / result.seconds);
    Report("host_failures", static_cast<double>(result.failures));
    Report("host_wrong_paths", static_cast<double>(result.wrongPaths));
    Report("host_loads", result.loads);
    Report("host_unloads", result.unloads);
    Report("host_packages_loaded", result.packagesLoaded);
    Report("host_free_calls", static_cast<double>(result.freeCalls));
    Report("host_handles_reported", result.handlesReported);
    if (!result.samples.empty()) {
      const HostSample& warm = result.samples[result.samples.size() / 3];
      const HostSample& last = result.samples.back();
      Report("host_handles_warm", warm.handles);
      Report("host_handles_end", last.handles);
      Report("host_private_kib_warm", static_cast<double>(warm.privateBytes / 1024));
      Report("host_private_kib_end", static_cast<double>(last.privateBytes / 1024));
      Report("host_working_set_kib_warm", static_cast<double>(warm.workingSet / 1024));
      Report("host_working_set_kib_end", static_cast<double>(last.workingSet / 1024));
    }
  }
  CoUninitialize();
  std::fflush(stdout);
  for (const std::string& line : problems) std::fprintf(stderr, "many_packages: %s\n", line.c_str());
  return problems.empty() ? 0 : 1;
}
