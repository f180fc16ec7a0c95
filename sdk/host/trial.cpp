// Trying a package and creating its classes: the trial runs in a probe
// process and its verdict is remembered per module file; the creation runs
// here, for the object the caller wants, once a probe has shown that the
// package's creation neither crashes, ends nor holds the process.
#include <objbase.h>

#include "checks.h"
#include "manifest.h"
#include "probe_client.h"
#include "stub/stub_host.h"
#include "verdicts.h"

namespace stub {
namespace host {
namespace {

SRWLOCK g_optionsLock = SRWLOCK_INIT;
Options g_options;

// A verdict that refuses a package until its module changes or the verdict
// is forgotten.
bool Refuses(State state) {
  return state == State::Crashed || state == State::Exited || state == State::TimedOut;
}

// A class a probe can try: it passed its checks, for this process or for a
// probe of the module's own architecture.
bool Triable(const Class* entry) {
  return entry &&
         (entry->state == State::Ready || entry->state == State::Working ||
          (entry->state == State::OtherArchitecture &&
           (entry->machine == IMAGE_FILE_MACHINE_I386 || entry->machine == IMAGE_FILE_MACHINE_AMD64)));
}

// The classes in use that a probe tries, style first.
struct Targets {
  Class* entries[2] = {};
  CLSID clsids[2] = {};
  int count = 0;
  WORD machine = 0;
};

Targets TriableClasses(Package& package) {
  Targets targets;
  targets.machine = HostMachine();
  for (Class* entry : {package.style(), package.text()}) {
    if (!Triable(entry)) continue;
    if (entry->state == State::OtherArchitecture) targets.machine = entry->machine;
    targets.clsids[targets.count] = entry->clsid;
    targets.entries[targets.count++] = entry;
  }
  return targets;
}

bool Identify(const Package& package, const Targets& targets, detail::ModuleIdentity& identity) {
  return targets.count > 0 &&
         detail::IdentifyModule(package.modulePath, targets.clsids, targets.count, targets.machine, identity);
}

void Apply(const detail::ClassVerdict& verdict, bool remembered, Class& entry) {
  entry.state = verdict.state;
  entry.result = verdict.result;
  entry.milliseconds = verdict.milliseconds;
  entry.path = verdict.path;
  entry.receivedPath = verdict.receivedPath;
  entry.remembered = remembered;
}

HRESULT Outcome(const Targets& targets) {
  bool working = targets.count == 2;
  for (int i = 0; i < targets.count; ++i) working = working && targets.entries[i]->state == State::Working;
  return working ? S_OK : S_FALSE;
}

// Whether a remembered verdict stands for a trial under `limit`: a probe
// that ran out of a shorter limit than this one is tried again. (A verdict
// is of the module and of the engine it creates: an engine installed or
// replaced since makes it stale, so a failed creation need not be tried at
// every start.)
bool Stands(const detail::Verdict& verdict, int count, DWORD limit) {
  const DWORD asked = limit == INFINITE ? 0 : limit;
  for (int i = 0; i < count; ++i) {
    const State state = verdict.classes[i].state;
    if (state == State::TimedOut && (asked == 0 || (verdict.timeLimit != 0 && asked > verdict.timeLimit))) {
      return false;
    }
  }
  return true;
}

// The apartment kind of the calling thread, for the probe to create in.
DWORD CallerApartment() {
  APTTYPE type = APTTYPE_STA;
  APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
  if (FAILED(CoGetApartmentType(&type, &qualifier))) return COINIT_APARTMENTTHREADED;
  return type == APTTYPE_STA || type == APTTYPE_MAINSTA ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED;
}

std::wstring FolderOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

HRESULT Probe(Package& package, const Targets& targets, DWORD limit, detail::Verdict& verdict) {
  detail::ProbeRequest request;
  request.machine = targets.machine;
  request.apartment = CallerApartment();
  request.count = targets.count;
  for (int i = 0; i < targets.count; ++i) request.clsids[i] = targets.clsids[i];
  if (package.origin == Origin::Folder) request.modulePath = package.modulePath;
  request.timeLimit = limit == INFINITE ? 0 : limit;
  verdict.timeLimit = request.timeLimit;
  return detail::RunProbe(request, GetOptions().probeFolder, verdict.classes);
}

bool AnyRefusal(Package& package) {
  for (const Class* entry : {package.style(), package.text()}) {
    if (entry && (Refuses(entry->state) || entry->state == State::ProbeFailed)) return true;
  }
  return false;
}

}  // namespace

namespace detail {

void ApplyRememberedHazards(Package& package) {
  const Targets targets = TriableClasses(package);
  ModuleIdentity identity;
  Verdict verdict;
  if (!Identify(package, targets, identity) || !RecallVerdict(identity, verdict)) return;
  for (int i = 0; i < targets.count; ++i) {
    Class& entry = *targets.entries[i];
    if (Refuses(verdict.classes[i].state) && entry.state != State::Working) {
      Apply(verdict.classes[i], true, entry);
    }
  }
}

}  // namespace detail

Options GetOptions() {
  AcquireSRWLockShared(&g_optionsLock);
  Options options = g_options;
  ReleaseSRWLockShared(&g_optionsLock);
  return options;
}

void SetOptions(const Options& options) {
  AcquireSRWLockExclusive(&g_optionsLock);
  g_options = options;
  ReleaseSRWLockExclusive(&g_optionsLock);
}

HRESULT ForgetVerdict(const Package& package) {
  return package.modulePath.empty() ? S_OK : detail::ForgetModuleVerdict(package.modulePath);
}

HRESULT ForgetVerdicts() { return detail::ForgetEveryVerdict(); }

LONG ProbesStarted() { return detail::ProbeCount(); }

HRESULT TryPackage(Package& package, DWORD timeLimitMilliseconds) {
  detail::CheckFiles(package);
  const Targets targets = TriableClasses(package);
  if (targets.count == 0) return STUBHOST_E_NOT_READY;
  detail::ModuleIdentity identity;
  const bool known = Identify(package, targets, identity);
  detail::Verdict verdict;
  if (known && detail::RecallVerdict(identity, verdict) &&
      Stands(verdict, targets.count, timeLimitMilliseconds)) {
    for (int i = 0; i < targets.count; ++i) Apply(verdict.classes[i], true, *targets.entries[i]);
    return Outcome(targets);
  }
  const HRESULT started = Probe(package, targets, timeLimitMilliseconds, verdict);
  if (started == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) && targets.machine != HostMachine()) {
    // No probe of the module's kind here: it stays what it is for this
    // process, a module of the other architecture.
    return S_FALSE;
  }
  if (FAILED(started)) {
    detail::ClassVerdict failed;
    failed.state = State::ProbeFailed;
    failed.result = started;
    failed.path = started == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
                      ? std::wstring(L"no StubProbe.exe for the module's architecture")
                      : std::wstring(L"the probe could not be started");
    for (int i = 0; i < targets.count; ++i) Apply(failed, false, *targets.entries[i]);
    return started;
  }
  for (int i = 0; i < targets.count; ++i) Apply(verdict.classes[i], false, *targets.entries[i]);
  if (known && detail::Memorable(verdict, targets.count)) detail::RememberVerdict(identity, verdict);
  return Outcome(targets);
}

HRESULT CreateClass(Package& package, ClassKind kind, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  CheckPackage(package);
  const auto inUse = [&package, kind] { return kind == ClassKind::Style ? package.style() : package.text(); };
  Class* entry = inUse();
  if (!entry || (entry->state != State::Ready && entry->state != State::Working) || AnyRefusal(package)) {
    return STUBHOST_E_NOT_READY;
  }
  const Options options = GetOptions();
  if (options.probeFirst) {
    // Loaded here only where a probe created this class: the verdict in
    // memory, or one made now for a package that has none (its first
    // creation cannot end or hold this process then). A creation that
    // failed in the probe is answered so, with nothing loaded here.
    TryPackage(package, options.probeTimeLimit == 0 ? INFINITE : options.probeTimeLimit);
    entry = inUse();
    if (!entry || AnyRefusal(package)) return STUBHOST_E_NOT_READY;
    if (entry->state == State::CreateFailed) return entry->result;
    if (entry->state != State::Working) return STUBHOST_E_NOT_READY;
  }
  detail::ActivationContext context;
  if (package.origin == Origin::Folder) {
    const HRESULT made = context.Create(package.manifestPath, FolderOf(package.modulePath));
    if (FAILED(made)) {
      entry->state = State::BadManifest;
      entry->result = made;
      return STUBHOST_E_NOT_READY;
    }
  }
  detail::ActiveContext active(context.get());
  const HRESULT result = CoCreateInstance(entry->clsid, nullptr, CLSCTX_INPROC_SERVER, iid, object);
  entry->state = SUCCEEDED(result) ? State::Working : State::CreateFailed;
  entry->result = result;
  entry->remembered = false;
  return result;
}

}  // namespace host
}  // namespace stub
