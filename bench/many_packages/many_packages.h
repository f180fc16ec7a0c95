// Many packages in one host, under Wine's loader, registry and COM runtime:
// installation of many package copies at once, a busy multi-threaded host that
// lets COM unload and reload the copies, and the cost per package as their
// number grows. Shared by the benchmark program (many_packages.exe) and its
// short check (many_packages_check.exe, a gtest program run by ctest).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <objbase.h>

#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "e2e_support.h"

namespace many {

/// What went wrong during a run, one readable line each; empty when all held.
using Problems = std::vector<std::string>;

/// N copies of the module laid out in one temporary folder, each with its own
/// package folder, class identifiers and ProgIDs ("Pkg0000.dll" and so on), or
/// of the minimal baseline module ("Min0000.dll", classes registered directly).
class PackageSet {
 public:
  enum class Kind { kModule, kMinimal };
  PackageSet(Kind kind, int count, Problems& problems);
  ~PackageSet();
  PackageSet(const PackageSet&) = delete;
  PackageSet& operator=(const PackageSet&) = delete;

  int size() const { return static_cast<int>(modules_.size()); }
  const std::wstring& modulePath(int i) const { return modules_[i]; }
  /// Class `which` (0: Stub, 1: StubText) of package i.
  const CLSID& classId(int i, int which) const { return ids_[2 * i + which]; }
  const std::wstring& progId(int i, int which) const { return progIds_[2 * i + which]; }

  /// LoadLibrary, DllRegisterServer, FreeLibrary of every copy, in order.
  void RegisterAll(Problems& problems);
  /// The same with DllUnregisterServer.
  void UnregisterAll(Problems& problems);
  /// Every copy's keys are there: ProgIDs naming their class, class keys whose
  /// server is the copy (threading model Both), both category entries.
  void CheckRegistered(Problems& problems) const;
  /// The keys the scripts and the categories write, as one .reg file.
  bool WriteRegFile(const std::wstring& path) const;
  /// Deletes every key the packages could have left (the class keys that
  /// removal keeps for their category entries, the ProgIDs); for clean-up and
  /// after the .reg baseline.
  void DeleteKeys() const;
  /// Minimal modules only: writes each copy's class keys (InprocServer32, Both).
  void RegisterMinimalClasses(Problems& problems);

 private:
  Kind kind_;
  e2e::TempFolder folder_;
  std::vector<std::wstring> modules_;
  std::vector<CLSID> ids_;
  std::vector<std::wstring> progIds_;
};

/// The names of the keys directly under HKCR and under HKCR\CLSID, to compare
/// the registry before and after a run.
struct RegistrySnapshot {
  std::vector<std::wstring> roots;
  std::vector<std::wstring> classes;
  static RegistrySnapshot Take();
};

/// After every package was removed: the registry is as `before`, except that
/// each package's class keys remain holding only their category entry (removal
/// leaves classes in their categories, on purpose).
void CheckRemoved(const RegistrySnapshot& before, const PackageSet& packages, Problems& problems);

/// Counts loads and unloads of the package copies ("PkgNNNN.dll") and the
/// minimal modules ("MinNNNN.dll") through the loader's DLL notifications.
class LoadCounter {
 public:
  static bool Start();  ///< false when the loader offers no notifications
  static void Reset();
  static long Loads(bool minimal, int index);
  static long Unloads(bool minimal, int index);
};

/// The engine COM server (test_engine.dll) registered for both engine classes
/// and kept loaded, so that its live-object count can be read.
class Engine {
 public:
  explicit Engine(Problems& problems);
  ~Engine();
  LONG LiveObjects() const;

 private:
  HMODULE module_ = nullptr;
  LONG (*live_)() = nullptr;
  std::unique_ptr<e2e::ScopedClassRegistration> style_, styleText_;
};

/// What the engine object behind `object` was told, and its engine class.
std::wstring ProbedPath(IUnknown* object);
CLSID ProbedClass(IUnknown* object);

// ---- The busy host ---------------------------------------------------------------------------

struct HostOptions {
  int packages = 8;           ///< M, registered through the module's own exports
  DWORD milliseconds = 2000;  ///< how long the clients create
  int staClients = 2;         ///< client threads in their own single-threaded apartments
  int mtaClients = 2;         ///< client threads in the multithreaded apartment
};

struct HostSample {
  DWORD atMs;
  DWORD handles;        ///< from the system's handle list (0 when it gives none)
  SIZE_T privateBytes;  ///< committed private memory, summed over the address space
  SIZE_T workingSet;    ///< GetProcessMemoryInfo WorkingSetSize, as the system reports it
};

struct HostResult {
  long long activations = 0;
  long long failures = 0;    ///< creations that failed
  long long wrongPaths = 0;  ///< engine objects told another module's path, or of the wrong class
  long long freeCalls = 0;   ///< CoFreeUnusedLibrariesEx calls, every apartment together
  long loads = 0, unloads = 0;
  int packagesLoaded = 0;  ///< copies that were loaded at least once
  double seconds = 0;
  std::vector<HostSample> samples;
  bool handlesReported = false;
};

/// Runs the busy host: M packages registered, clients creating random
/// packages' classes from both apartment kinds, an unloading thread, then a
/// quiet end at which every copy must unload. Adds what failed to `problems`.
HostResult RunHost(const HostOptions& options, Problems& problems);

/// The handles this process holds, from the system's handle list; 0 when the
/// system gives no such list.
DWORD HandleCount();

/// Whether handles and memory stayed flat after warm-up (the first third of the
/// samples); adds a problem line for each that grew.
void CheckFlat(const HostResult& result, Problems& problems);

/// Prints an unhandled exception: its code, address, the module holding the
/// address (or that none does, as for code already unloaded) and the thread.
void PrintCrash(EXCEPTION_POINTERS* exception);

// ---- Timing helpers --------------------------------------------------------------------------

double Now();  ///< seconds
double Median(std::vector<double> values);

}  // namespace many
