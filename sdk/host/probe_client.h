// Inside the host library: trying a package's classes in StubProbe.exe, a
// process of the module's own architecture, and what came of it.
#ifndef STUB_SDK_HOST_PROBE_CLIENT_H
#define STUB_SDK_HOST_PROBE_CLIENT_H

#include <windows.h>

#include <string>

#include "probe_report.h"
#include "stub/stub_host.h"

namespace stub {
namespace host {
namespace detail {

// What a probe found of one class (and what the memory of verdicts keeps).
struct ClassVerdict {
  State state = State::Unchecked;
  HRESULT result = S_OK;
  DWORD milliseconds = 0;
  std::wstring path;          // Crashed: the faulting module; ProbeFailed: what went wrong
  std::wstring receivedPath;  // Working: the module path the engine received, where it tells
};

struct ProbeRequest {
  WORD machine = 0;  // the module's
  DWORD apartment = COINIT_APARTMENTTHREADED;
  int count = 0;
  CLSID clsids[2] = {};
  std::wstring modulePath;  // a package of a folder: its module, created from directly
  DWORD timeLimit = INFINITE;
};

// How a probe ended, as its host saw it.
struct ProbeEnd {
  bool killed = false;  // the time limit ran out
  DWORD exitCode = 0;
};

// Runs one probe and waits for it (at most the request's limit, then kills
// it). Answers the error of starting it (nothing in `verdicts` then), or S_OK.
HRESULT RunProbe(const ProbeRequest& request, const std::wstring& probeFolder, ClassVerdict (&verdicts)[2]);

// The verdicts a probe's report and its end give: a pure reading, kept apart
// from the process handling so that each way a probe can end is told alike.
void JudgeProbe(const ProbeReport& report, const ProbeEnd& end, const ProbeRequest& request,
                ClassVerdict (&verdicts)[2]);

// How many probes this process has started.
LONG ProbeCount();

}  // namespace detail
}  // namespace host
}  // namespace stub

#endif  // STUB_SDK_HOST_PROBE_CLIENT_H
