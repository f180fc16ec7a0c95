// Trying packages out of process, as a host does at its first start with
// many packages and at every start after, in one process under Wine:
//
//   host_probing.exe [--packages=N] [--rounds=R] [--threads=T] [--warm-rounds=W]
//                    (1,000, 3, 4 and 9 by default)
//
// Installs N packages (installed_packages.h) and registers the sample engine
// (StubSampleEngine.dll, by its own DllRegisterServer), so that every class
// is really created in its probe. StubProbe.exe lies beside this program, as
// a release ships it, and the library finds it there.
//
// Cold: R rounds, each taking turns between TryPackage of every package with
// no verdict in memory (ForgetVerdicts first), on T threads at once, and the
// floor of that work: the same number of StubProbe.exe processes started as
// the library starts them (report pipe and NUL inherited, suspended, put in a
// job that kills on close, resumed) and waited for, on the same T threads,
// but with a command line the probe refuses at once (it exits with its
// refusal code before COM is touched). A trial that does not create both
// classes in a probe it started is said on standard error and counted
// (cold_failed_trials); every refused probe must end with the refusal code.
//
// Warm: W rounds, each taking turns between the bare category enumeration,
// FindRegisteredPackages alone, and FindRegisteredPackages followed by
// TryPackage of every package of this run on the calling thread, every
// verdict from memory: no probe may start (ProbesStarted) and every class
// must be Working and remembered.
//
// Prints "name value" lines (milliseconds, medians of the rounds; each ratio
// the median of the rounds' own ratios) and removes what it installed, the
// verdicts of its packages, and the engine's registration if it made it.
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "installed_packages.h"
#include "stub/stub_host.h"

namespace {

namespace host = stub::host;

constexpr DWORD kProbeRefused = 0x5354;  // StubProbe.exe's exit code for a command line it refuses
constexpr DWORD kTrialLimitMs = 120000;  // far above any trial here: none may time out
const wchar_t kStyleEngine[] = L"CLSID\\{DFD9CAD9-C1BD-B14B-9829-00612EA98BCA}\\InprocServer32";

// ---- Work on several threads at once -------------------------------------------------

// Items 0..count-1, each done once by whichever of `threads` threads takes it
// next; each thread in the multithreaded apartment, as a host's workers are.
template <class Work>
struct Parallel {
  Work* work;
  LONG next = -1;
  LONG failed = 0;
  int count = 0;

  static DWORD WINAPI Run(void* self) {
    Parallel& p = *static_cast<Parallel*>(self);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    for (LONG item; (item = InterlockedIncrement(&p.next)) < p.count;) {
      if (!(*p.work)(static_cast<int>(item))) InterlockedIncrement(&p.failed);
    }
    CoUninitialize();
    return 0;
  }
};

// Seconds from the first thread's start to the last one's end; `failed`
// counts the items whose work answered false.
template <class Work>
double InParallel(int threads, int count, Work work, LONG& failed) {
  Parallel<Work> parallel;
  parallel.work = &work;
  parallel.count = count;
  std::vector<HANDLE> running;
  const double start = bench::Now();
  for (int i = 0; i < threads; ++i) {
    const HANDLE thread = CreateThread(nullptr, 0, &Parallel<Work>::Run, &parallel, 0, nullptr);
    if (thread) running.push_back(thread);
  }
  if (running.empty()) Parallel<Work>::Run(&parallel);
  WaitForMultipleObjects(static_cast<DWORD>(running.size()), running.data(), TRUE, INFINITE);
  const double seconds = bench::Now() - start;
  for (HANDLE thread : running) CloseHandle(thread);
  failed = parallel.failed;
  return seconds;
}

// ---- The floor: the probe started the library's way, refusing at once -----------------

std::wstring OwnProgram() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::wstring(path, length < MAX_PATH ? length : 0);
}

std::wstring OwnFolder() {
  const std::wstring program = OwnProgram();
  const size_t slash = program.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : program.substr(0, slash);
}

// The library makes a report pipe's end inheritable only while its own probe
// is created; the floor does the same, under a lock of its own.
SRWLOCK g_starting = SRWLOCK_INIT;

struct Owned {
  HANDLE handle = nullptr;
  explicit Owned(HANDLE h) : handle(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  ~Owned() {
    if (handle) CloseHandle(handle);
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
};

// One StubProbe.exe with a command line of the library's form that names no
// class (so it is refused): true when it ended with the refusal code.
bool StartRefusedProbe(const std::wstring& probe) {
  Owned job(CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
  if (!job.handle ||
      !SetInformationJobObject(job.handle, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    return false;
  }
  HANDLE reading = nullptr, writing = nullptr;
  if (!CreatePipe(&reading, &writing, nullptr, 64 * 1024)) return false;
  Owned reader(reading), writer(writing);
  Owned nothing(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr));
  if (!nothing.handle) return false;
  std::wstring line = L"\"" + probe + L"\" --report " +
                      std::to_wstring(static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(writing))) +
                      L" --mta --application \"" + OwnProgram() + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = startup.hStdOutput = startup.hStdError = nothing.handle;
  PROCESS_INFORMATION created = {};
  AcquireSRWLockExclusive(&g_starting);
  SetHandleInformation(writing, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  SetHandleInformation(nothing.handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  const BOOL ok = CreateProcessW(probe.c_str(), &line[0], nullptr, nullptr, TRUE,
                                 CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_DEFAULT_ERROR_MODE, nullptr,
                                 nullptr, &startup, &created);
  SetHandleInformation(writing, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(nothing.handle, HANDLE_FLAG_INHERIT, 0);
  ReleaseSRWLockExclusive(&g_starting);
  if (!ok) return false;
  Owned process(created.hProcess), thread(created.hThread);
  if (!AssignProcessToJobObject(job.handle, created.hProcess)) {
    TerminateProcess(created.hProcess, 1);
    return false;
  }
  ResumeThread(created.hThread);
  DWORD code = 0;
  return WaitForSingleObject(created.hProcess, kTrialLimitMs) == WAIT_OBJECT_0 &&
         GetExitCodeProcess(created.hProcess, &code) && code == kProbeRefused;
}

// ---- The packages and their trials -------------------------------------------------------

// The packages of this run, listed; empty when one is not Ready.
std::vector<host::Package> OurPackages(const std::vector<host::Package>& listed, const std::wstring& folder) {
  std::vector<host::Package> ours;
  for (const host::Package& package : listed) {
    if (package.modulePath.compare(0, folder.size(), folder) != 0) continue;
    if (package.state() != host::State::Ready) return {};
    ours.push_back(package);
  }
  return ours;
}

// Both classes created by a probe (remembered: from memory instead); else
// says what came out instead.
bool Tried(const host::Package& package, HRESULT result, bool remembered) {
  bool tried = result == S_OK;
  for (const host::Class* entry : {package.style(), package.text()}) {
    tried = tried && entry && entry->state == host::State::Working && entry->remembered == remembered;
  }
  if (tried) return true;
  const std::string module(package.modulePath.begin(), package.modulePath.end());
  std::fprintf(stderr, "host_probing: %s: TryPackage 0x%08lX,", module.c_str(),
               static_cast<unsigned long>(result));
  for (const host::Class* entry : {package.style(), package.text()}) {
    if (!entry) continue;
    const std::string path(entry->path.begin(), entry->path.end());
    std::fprintf(stderr, " %s 0x%08lX %s%s;", host::StateName(entry->state),
                 static_cast<unsigned long>(entry->result), entry->remembered ? "remembered " : "",
                 path.c_str());
  }
  std::fprintf(stderr, "\n");
  return false;
}

struct Cold {
  std::vector<double> trials, floor, ratios, creationMs;
  LONG failedTrials = 0;  // trials that did not create both classes in a probe of their own
  bool ok = true;         // every refused probe ended with the refusal code
};

// One cold round: every package tried with no verdict in memory, and its
// floor, in the order given.
void ColdRound(const std::vector<host::Package>& packages, int threads, bool floorFirst, Cold& cold) {
  const std::wstring probe = OwnFolder() + L"\\StubProbe.exe";
  const int count = static_cast<int>(packages.size());
  double trialTime = 0, floorTime = 0;
  for (int turn = 0; turn < 2; ++turn) {
    LONG failed = 0;
    if ((turn == 0) == floorFirst) {
      floorTime = InParallel(
          threads, count, [&](int) { return StartRefusedProbe(probe); }, failed);
      if (failed) std::fprintf(stderr, "host_probing: %ld refused probes did not end so\n", failed);
    } else {
      host::ForgetVerdicts();
      std::vector<host::Package> trying = packages;
      const LONG before = host::ProbesStarted();
      trialTime = InParallel(
          threads, count,
          [&](int i) { return Tried(trying[i], host::TryPackage(trying[i], kTrialLimitMs), false); }, failed);
      const LONG started = host::ProbesStarted() - before;
      if (failed || started != count) {
        std::fprintf(stderr, "host_probing: %ld of %d trials failed, %ld probes started\n", failed, count,
                     started);
      }
      cold.failedTrials += failed;
      for (const host::Package& package : trying) {
        cold.creationMs.push_back(package.style()->milliseconds + package.text()->milliseconds);
      }
      continue;
    }
    cold.ok = cold.ok && failed == 0;
  }
  cold.trials.push_back(trialTime * 1000 / count);
  cold.floor.push_back(floorTime * 1000 / count);
  cold.ratios.push_back(trialTime / floorTime);
}

struct Warm {
  std::vector<double> enumeration, listing, start, toListing, toEnumeration;
  LONG probes = 0;
  bool ok = true;
};

// One warm round: the bare enumeration, the listing alone, and a host's
// start (the listing, then every package of this run tried), in turn.
void WarmRound(const std::wstring& folder, size_t count, int round, Warm& warm) {
  double times[3] = {};
  for (int turn = 0; turn < 3; ++turn) {
    const int which = (turn + round) % 3;
    std::vector<host::Package> listed;
    const LONG before = host::ProbesStarted();
    const double start = bench::Now();
    if (which == 0) {
      warm.ok = warm.ok && bench::EnumerateCategories() >= 2 * count;
    } else {
      warm.ok = warm.ok && SUCCEEDED(host::FindRegisteredPackages(listed));
      if (which == 2) {
        for (host::Package& package : listed) {
          if (package.modulePath.compare(0, folder.size(), folder) != 0) continue;
          warm.ok = warm.ok && Tried(package, host::TryPackage(package, kTrialLimitMs), true);
        }
      }
    }
    times[which] = bench::Now() - start;
    warm.probes += host::ProbesStarted() - before;
  }
  warm.enumeration.push_back(times[0] * 1000);
  warm.listing.push_back(times[1] * 1000);
  warm.start.push_back(times[2] * 1000);
  warm.toListing.push_back(times[2] / times[1]);
  warm.toEnumeration.push_back(times[2] / times[0]);
}

// ---- The engine --------------------------------------------------------------------------

bool EngineRegistered() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, kStyleEngine, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// Calls DllRegisterServer or DllUnregisterServer of the sample engine.
HRESULT EngineCall(const char* name) {
  const HMODULE engine = LoadLibraryW(STUB_SAMPLE_ENGINE_PATH);
  if (!engine) return HRESULT_FROM_WIN32(GetLastError());
  using Entry = HRESULT(STDAPICALLTYPE*)();
  const Entry entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(engine, name)));
  const HRESULT result = entry ? entry() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  FreeLibrary(engine);
  return result;
}

void Print(const Cold& cold, const Warm& warm, int count, int threads, LONG settling) {
  std::printf("packages %d\nthreads %d\nrounds %zu\nwarm_rounds %zu\nengine_sample 1\n", count, threads,
              cold.ratios.size(), warm.toListing.size());
  std::printf("cold_per_package_ms %.2f\nfloor_per_package_ms %.2f\ncold_ratio %.3f\n",
              bench::Median(cold.trials), bench::Median(cold.floor), bench::Median(cold.ratios));
  std::printf("probe_creation_ms %.1f\ncold_failed_trials %ld\n", bench::Median(cold.creationMs),
              cold.failedTrials);
  std::printf("settling_probes %ld\n", settling);
  std::printf("warm_enumeration_ms %.2f\nwarm_listing_ms %.2f\nwarm_start_ms %.2f\n",
              bench::Median(warm.enumeration), bench::Median(warm.listing), bench::Median(warm.start));
  std::printf("warm_ratio_listing %.3f\nwarm_ratio_enumeration %.3f\nwarm_probes %ld\n",
              bench::Median(warm.toListing), bench::Median(warm.toEnumeration), warm.probes);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int count = bench::Argument(argc, argv, L"--packages=", 1000);
  const int rounds = bench::Argument(argc, argv, L"--rounds=", 3);
  const int threads = bench::Argument(argc, argv, L"--threads=", 4);
  const int warmRounds = bench::Argument(argc, argv, L"--warm-rounds=", 9);
  if (count < 1 || rounds < 1 || threads < 1 || warmRounds < 1) return 2;
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
  const bool engineWasThere = EngineRegistered();
  const HRESULT registered = EngineCall("DllRegisterServer");
  if (FAILED(registered)) {
    std::fprintf(stderr, "host_probing: the sample engine did not register (0x%08lX)\n",
                 static_cast<unsigned long>(registered));
    return 2;
  }
  bench::Installed installed;
  if (!bench::InstallPackages(installed, L"HostProbing", count)) return 2;
  std::vector<host::Package> listed;
  host::FindRegisteredPackages(listed);
  const std::vector<host::Package> packages = OurPackages(listed, installed.folder);
  Cold cold;
  Warm warm;
  cold.ok = packages.size() == static_cast<size_t>(count);
  if (!cold.ok)
    std::fprintf(stderr, "host_probing: %zu of %d packages listed ready\n", packages.size(), count);
  // A few of each first, not measured: the first starts of a program load its files.
  if (cold.ok) {
    Cold warmup;
    const std::vector<host::Package> few(packages.begin(), packages.begin() + (count < 8 ? count : 8));
    ColdRound(few, threads, true, warmup);
    cold.ok = warmup.ok;
  }
  for (int round = 0; round < rounds && cold.ok; ++round) ColdRound(packages, threads, round % 2 == 0, cold);
  // A trial that failed left its package without a verdict: it is tried
  // again here, unmeasured, so that the warm start has every verdict.
  const LONG beforeSettling = host::ProbesStarted();
  for (const host::Package& package : packages) {
    host::Package settled = package;
    host::TryPackage(settled, kTrialLimitMs);
  }
  const LONG settling = host::ProbesStarted() - beforeSettling;
  for (int round = 0; round < warmRounds && cold.ok && warm.ok; ++round) {
    WarmRound(installed.folder, packages.size(), round, warm);
  }
  if (!warm.ok)
    std::fprintf(stderr, "host_probing: a warm start did not list or try every package from memory\n");
  for (const host::Package& package : packages) host::ForgetVerdict(package);
  bench::Uninstall(installed, count);
  if (!engineWasThere) EngineCall("DllUnregisterServer");
  CoUninitialize();
  if (!cold.ok || !warm.ok || warm.probes != 0) return 1;
  Print(cold, warm, count, threads, settling);
  return 0;
}
