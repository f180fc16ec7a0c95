// Trying a package out of process: finding StubProbe.exe for the module's
// architecture, starting it in a job object that ends it with its host,
// waiting for it under the time limit (killing it when that runs out), and
// judging what its report and its end say. The host waits on a process and
// never leaves a thread of its own behind.
#include "probe_client.h"

#include <objbase.h>

#include <vector>

#include "checks.h"
#include "owners.h"

namespace stub {
namespace host {
namespace detail {
namespace {

LONG g_probes = 0;

HRESULT LastError() {
  const DWORD error = GetLastError();
  return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

const wchar_t* ArchitectureFolder(WORD machine) {
  return machine == IMAGE_FILE_MACHINE_I386 ? L"x86" : machine == IMAGE_FILE_MACHINE_AMD64 ? L"x64" : nullptr;
}

// The folder of the module this code is linked into: the application's
// program, or StubHost.dll.
std::wstring LibraryFolder() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&g_probes), &self)) {
    return std::wstring();
  }
  std::vector<wchar_t> name(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(self, name.data(), static_cast<DWORD>(name.size()));
    if (length == 0) return std::wstring();
    if (length < name.size()) {
      std::wstring path(name.data(), length);
      const std::size_t slash = path.find_last_of(L"\\/");
      return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
    }
    if (name.size() >= 32768) return std::wstring();
    name.resize(name.size() * 2);
  }
}

// FOLDER\StubProbe.exe, FOLDER\..\ARCH\StubProbe.exe, FOLDER\ARCH\StubProbe.exe:
// the first built for `machine`.
std::wstring FindProbe(WORD machine, std::wstring folder) {
  const wchar_t* arch = ArchitectureFolder(machine);
  if (folder.empty()) folder = LibraryFolder();
  while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
  if (!arch || folder.empty()) return std::wstring();
  const std::wstring candidates[3] = {folder + L"\\StubProbe.exe",
                                      folder + L"\\..\\" + arch + L"\\StubProbe.exe",
                                      folder + L"\\" + arch + L"\\StubProbe.exe"};
  for (const std::wstring& candidate : candidates) {
    if (ImageMachine(candidate) == machine) return candidate;
  }
  return std::wstring();
}

// The probe found last for each architecture, with the folder it was
// looked for in: looking again reads up to three files' headers at every
// trial, while other threads' probes are being started from the same file.
struct FoundProbe {
  std::wstring folder;
  std::wstring path;
};
SRWLOCK g_foundLock = SRWLOCK_INIT;
FoundProbe g_found[2];  // x86, x64

std::wstring ProbeFor(WORD machine, const std::wstring& folder) {
  FoundProbe& found = g_found[machine == IMAGE_FILE_MACHINE_I386 ? 0 : 1];
  AcquireSRWLockShared(&g_foundLock);
  const FoundProbe known = found;
  ReleaseSRWLockShared(&g_foundLock);
  if (!known.path.empty() && known.folder == folder &&
      GetFileAttributesW(known.path.c_str()) != INVALID_FILE_ATTRIBUTES) {
    return known.path;
  }
  const std::wstring path = FindProbe(machine, folder);
  if (path.empty()) return path;
  AcquireSRWLockExclusive(&g_foundLock);
  found.folder = folder;
  found.path = path;
  ReleaseSRWLockExclusive(&g_foundLock);
  return path;
}

// One argument as CommandLineToArgvW reads it back: quoted, with the
// backslashes before the closing quote doubled. A path holds no quote.
std::wstring Quoted(const std::wstring& text) {
  std::wstring quoted = L"\"" + text;
  for (std::size_t i = text.size(); i > 0 && text[i - 1] == L'\\'; --i) quoted += L'\\';
  return quoted + L"\"";
}

std::wstring GuidText(const GUID& id) {
  wchar_t text[40] = {};
  StringFromGUID2(id, text, 40);
  return text;
}

std::wstring HostProgram() {
  std::vector<wchar_t> name(32768);
  const DWORD length = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
  return length > 0 && length < name.size() ? std::wstring(name.data(), length) : std::wstring();
}

std::wstring CommandLine(const std::wstring& probe, const ProbeRequest& request, HANDLE report) {
  std::wstring line = Quoted(probe) + L" --report " +
                      std::to_wstring(static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(report))) +
                      (request.apartment == COINIT_MULTITHREADED ? L" --mta" : L" --sta");
  const std::wstring program = HostProgram();
  if (!program.empty()) line += L" --application " + Quoted(program);
  if (!request.modulePath.empty()) line += L" --module " + Quoted(request.modulePath);
  for (int i = 0; i < request.count; ++i) line += L" " + GuidText(request.clsids[i]);
  return line;
}

// A job that kills what it holds when its last handle closes (the host's,
// when the host ends however it ends), with no box for an unhandled fault.
HRESULT MakeJob(UniqueHandle& job) {
  job.Reset(CreateJobObjectW(nullptr, nullptr));
  if (!job) return LastError();
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
  if (SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    return S_OK;
  }
  // A system that knows no unhandled-exception limit still kills on close.
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    return LastError();
  }
  return S_OK;
}

// Probes start one at a time: the report's pipe end is inheritable only
// while its own probe is created, so no other probe holds it.
SRWLOCK g_starting = SRWLOCK_INIT;

struct Started {
  UniqueHandle process;
  UniqueHandle report;  // the host's end of the report pipe
};

HRESULT StartProbe(const std::wstring& probe, const ProbeRequest& request, const UniqueHandle& job,
                   Started& started) {
  UniqueHandle writer;
  if (!CreatePipe(started.report.Put(), writer.Put(), nullptr, 64 * 1024)) return LastError();
  UniqueFile nothing(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr));
  if (!nothing) return LastError();
  std::wstring line = CommandLine(probe, request, writer.Get());
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  // What a package writes to its standard handles goes nowhere.
  startup.hStdInput = startup.hStdOutput = startup.hStdError = nothing.Get();
  PROCESS_INFORMATION created = {};
  AcquireSRWLockExclusive(&g_starting);
  const HANDLE inherited[2] = {writer.Get(), nothing.Get()};
  BOOL ok = TRUE;
  for (HANDLE handle : inherited)
    ok = ok && SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  ok = ok && CreateProcessW(probe.c_str(), &line[0], nullptr, nullptr, TRUE,
                            CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_DEFAULT_ERROR_MODE, nullptr, nullptr,
                            &startup, &created);
  const HRESULT result = ok ? S_OK : LastError();
  for (HANDLE handle : inherited) SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
  ReleaseSRWLockExclusive(&g_starting);
  if (FAILED(result)) return result;
  InterlockedIncrement(&g_probes);
  started.process.Reset(created.hProcess);
  UniqueHandle thread(created.hThread);
  // Never a probe outside its job: one that cannot be put there is ended.
  if (!AssignProcessToJobObject(job.Get(), created.hProcess)) {
    const HRESULT error = LastError();
    TerminateProcess(created.hProcess, 1);
    return error;
  }
  ResumeThread(thread.Get());
  return S_OK;
}

// Waits for the probe to end, serving COM's calls into a single-threaded
// caller's apartment meanwhile; false when the limit ran out.
bool AwaitProbe(HANDLE process, DWORD limit) {
  DWORD index = 0;
  HANDLE handles[1] = {process};
  const HRESULT waited = CoWaitForMultipleHandles(0, limit, 1, handles, &index);
  if (waited == CO_E_NOTINITIALIZED) return WaitForSingleObject(process, limit) == WAIT_OBJECT_0;
  return waited == S_OK;
}

// What is in the pipe now, up to one byte more than a report may hold;
// never waits.
std::string ReadReport(HANDLE pipe) {
  std::string bytes;
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available == 0) break;
    const DWORD room = kReportLimit + 1 - static_cast<DWORD>(bytes.size());
    if (room == 0) break;
    std::string chunk(available < room ? available : room, '\0');
    DWORD got = 0;
    if (!ReadFile(pipe, &chunk[0], static_cast<DWORD>(chunk.size()), &got, nullptr) || got == 0) break;
    bytes.append(chunk, 0, got);
  }
  return bytes;
}

}  // namespace

void JudgeProbe(const ProbeReport& report, const ProbeEnd& end, const ProbeRequest& request,
                ClassVerdict (&verdicts)[2]) {
  for (int i = 0; i < request.count; ++i) verdicts[i] = ClassVerdict();
  if (!report.trusted) {
    for (int i = 0; i < request.count; ++i) {
      verdicts[i].state = State::ProbeFailed;
      verdicts[i].result = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
      verdicts[i].path = report.problem;
    }
    return;
  }
  // The classes the probe reported, then what its end says of the first it
  // did not: the package's doing stops every class after it too.
  ClassVerdict fate;
  bool decided = false;
  for (int i = 0; i < request.count; ++i) {
    const ProbeRecord& record = report.records[i];
    ClassVerdict& verdict = verdicts[i];
    if (decided) {
      verdict = fate;
      continue;
    }
    if (record.kind == ProbeRecord::Kind::Created) {
      verdict.state = SUCCEEDED(record.result) ? State::Working : State::CreateFailed;
      verdict.result = record.result;
      verdict.milliseconds = record.milliseconds;
      verdict.receivedPath = record.path;
      continue;
    }
    if (record.kind == ProbeRecord::Kind::Crashed) {
      fate.state = State::Crashed;
      fate.result = record.result;
      fate.path = record.path;
    } else if (end.killed) {
      fate.state = State::TimedOut;
      fate.milliseconds = request.timeLimit;
    } else if (end.exitCode == kProbeRefused) {
      fate.state = State::ProbeFailed;
      fate.result = E_INVALIDARG;
      fate.path = L"the probe refused its command line";
    } else if (end.exitCode >= 0xC0000000) {
      // An end by an exception the probe could not report (a stack overflow,
      // a fault in its filter): the exit code is the exception's.
      fate.state = State::Crashed;
      fate.result = static_cast<HRESULT>(end.exitCode);
    } else {
      fate.state = State::Exited;
      fate.result = static_cast<HRESULT>(end.exitCode);
    }
    verdict = fate;
    decided = true;
  }
}

HRESULT RunProbe(const ProbeRequest& request, const std::wstring& probeFolder, ClassVerdict (&verdicts)[2]) {
  const std::wstring probe = ProbeFor(request.machine, probeFolder);
  if (probe.empty()) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  UniqueHandle job;
  HRESULT result = MakeJob(job);
  Started started;
  if (SUCCEEDED(result)) result = StartProbe(probe, request, job, started);
  if (FAILED(result)) return result;
  ProbeEnd end;
  const DWORD limit = request.timeLimit == 0 ? INFINITE : request.timeLimit;
  if (!AwaitProbe(started.process.Get(), limit)) {
    end.killed = true;
    TerminateJobObject(job.Get(), ERROR_TIMEOUT);
    WaitForSingleObject(started.process.Get(), 5000);
  }
  if (!end.killed && !GetExitCodeProcess(started.process.Get(), &end.exitCode)) return LastError();
  const ProbeReport report = ReadProbeReport(ReadReport(started.report.Get()), request.count);
  JudgeProbe(report, end, request, verdicts);
  return S_OK;
}

LONG ProbeCount() { return InterlockedCompareExchange(&g_probes, 0, 0); }

}  // namespace detail
}  // namespace host
}  // namespace stub
