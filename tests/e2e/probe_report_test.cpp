// What a host makes of a probe's report and of its memory of verdicts: both
// come from outside the host (a process running a package's code, a registry
// value any program may write), so anything malformed must be read as no
// answer at all, never as a wrong one.
#include <gtest/gtest.h>

#include <string>

#include "../../sdk/host/probe_client.h"
#include "../../sdk/host/verdicts.h"

namespace e2e {
namespace {

namespace detail = stub::host::detail;
using stub::host::State;

struct ReportCase {
  const char* name;
  const char* bytes;
  bool killed;
  DWORD exitCode;
  State states[2];
  HRESULT results[2];
};

// Two classes asked for in every row.
const ReportCase kReports[] = {
    {"BothCreated",
     "stub-probe 1\nclass 0 0x00000000 12 C:\\P\\A.dll\nclass 1 0x80040154 3 -\ndone\n",
     false,
     0,
     {State::Working, State::CreateFailed},
     {S_OK, REGDB_E_CLASSNOTREG}},
    {"CrashedInTheSecond",
     "stub-probe 1\nclass 0 0x00000000 1 -\ncrashed 1 0xC0000005 C:\\E.dll\n",
     false,
     0xC0000005,
     {State::Working, State::Crashed},
     {S_OK, static_cast<HRESULT>(0xC0000005)}},
    {"CrashedUnreported",
     "stub-probe 1\n",
     false,
     0xC00000FD,
     {State::Crashed, State::Crashed},
     {static_cast<HRESULT>(0xC00000FD), static_cast<HRESULT>(0xC00000FD)}},
    {"ExitedInTheFirst", "stub-probe 1\n", false, 3, {State::Exited, State::Exited}, {3, 3}},
    {"KilledMidLine",
     "stub-probe 1\nclass 0 0x00000000 5 C:\\P\\A.dll\nclass 1 0x0",
     true,
     0,
     {State::Working, State::TimedOut},
     {S_OK, S_OK}},
    {"NothingAtAll", "", true, 0, {State::TimedOut, State::TimedOut}, {S_OK, S_OK}},
    {"OtherHeader",
     "stub-probe 2\ndone\n",
     false,
     0,
     {State::ProbeFailed, State::ProbeFailed},
     {HRESULT_FROM_WIN32(ERROR_INVALID_DATA), HRESULT_FROM_WIN32(ERROR_INVALID_DATA)}},
    {"OutOfOrder",
     "stub-probe 1\nclass 1 0x00000000 1 -\nclass 0 0x00000000 1 -\ndone\n",
     false,
     0,
     {State::ProbeFailed, State::ProbeFailed},
     {HRESULT_FROM_WIN32(ERROR_INVALID_DATA), HRESULT_FROM_WIN32(ERROR_INVALID_DATA)}},
    {"LowerCaseHex",
     "stub-probe 1\nclass 0 0x8004015a 1 -\nclass 1 0x00000000 1 -\ndone\n",
     false,
     0,
     {State::ProbeFailed, State::ProbeFailed},
     {HRESULT_FROM_WIN32(ERROR_INVALID_DATA), HRESULT_FROM_WIN32(ERROR_INVALID_DATA)}},
    {"AfterDone",
     "stub-probe 1\nclass 0 0x00000000 1 -\nclass 1 0x00000000 1 -\ndone\ndone\n",
     false,
     0,
     {State::ProbeFailed, State::ProbeFailed},
     {HRESULT_FROM_WIN32(ERROR_INVALID_DATA), HRESULT_FROM_WIN32(ERROR_INVALID_DATA)}},
    {"DoneTooEarly",
     "stub-probe 1\nclass 0 0x00000000 1 -\ndone\n",
     false,
     0,
     {State::ProbeFailed, State::ProbeFailed},
     {HRESULT_FROM_WIN32(ERROR_INVALID_DATA), HRESULT_FROM_WIN32(ERROR_INVALID_DATA)}},
    {"BadUtf8Path",
     "stub-probe 1\nclass 0 0x00000000 1 \xC3\x28\nclass 1 0x00000000 1 -\ndone\n",
     false,
     0,
     {State::ProbeFailed, State::ProbeFailed},
     {HRESULT_FROM_WIN32(ERROR_INVALID_DATA), HRESULT_FROM_WIN32(ERROR_INVALID_DATA)}},
    {"RefusedCommandLine",
     "",
     false,
     detail::kProbeRefused,
     {State::ProbeFailed, State::ProbeFailed},
     {E_INVALIDARG, E_INVALIDARG}},
};

TEST(E2EProbeReport, EveryWayAProbeEndsIsJudgedAndNothingMalformedIsTrusted) {
  detail::ProbeRequest request;
  request.count = 2;
  request.timeLimit = 4000;
  for (const ReportCase& row : kReports) {
    SCOPED_TRACE(row.name);
    detail::ProbeEnd end;
    end.killed = row.killed;
    end.exitCode = row.exitCode;
    detail::ClassVerdict verdicts[2];
    detail::JudgeProbe(detail::ReadProbeReport(row.bytes, 2), end, request, verdicts);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(stub::host::StateName(verdicts[i].state), std::string(stub::host::StateName(row.states[i])));
      EXPECT_EQ(verdicts[i].result, row.results[i]);
    }
  }
  // A report longer than any probe writes is refused whole.
  std::string flood = "stub-probe 1\n" + std::string(detail::kReportLimit, 'x');
  EXPECT_FALSE(detail::ReadProbeReport(flood, 2).trusted);
}

TEST(E2EProbeReport, AVerdictIsReadBackOnlyForTheSameFileEngineAndClasses) {
  detail::ModuleIdentity identity;
  identity.path = L"C:\\P\\Aurora.dll";
  identity.size = 37376;
  identity.lastWrite = {0x11111111, 0x01DB0000};
  identity.count = 2;
  identity.clsids[0] = {0x049E8873, 0xD5B5, 0x4B2A, {0x85, 0x3D, 0xBB, 0x55, 0x99, 0x64, 0x73, 0x87}};
  identity.clsids[1] = {0x5703306D, 0x8619, 0x43E8, {0x8C, 0x59, 0xA0, 0xF2, 0xCC, 0x62, 0x2E, 0x1E}};
  identity.engines = 0x1234;
  detail::Verdict verdict;
  verdict.timeLimit = 4000;
  verdict.classes[0].state = State::Working;
  verdict.classes[0].milliseconds = 9;
  verdict.classes[0].receivedPath = identity.path;
  verdict.classes[1].state = State::Crashed;
  verdict.classes[1].result = static_cast<HRESULT>(0xC0000005);
  verdict.classes[1].path = L"C:\\Engine\\engine.dll";
  const std::string stored = detail::EncodeVerdict(identity, verdict);

  detail::Verdict read;
  ASSERT_TRUE(detail::DecodeVerdict(stored, identity, read));
  EXPECT_EQ(read.timeLimit, 4000u);
  EXPECT_EQ(read.classes[0].receivedPath, identity.path);
  EXPECT_EQ(read.classes[1].state, State::Crashed);
  EXPECT_EQ(read.classes[1].path, L"C:\\Engine\\engine.dll");

  // Another file, engine or class makes it no verdict; so does any cut or
  // any extra byte, and a state no probe gives.
  detail::ModuleIdentity other = identity;
  other.size += 1;
  EXPECT_FALSE(detail::DecodeVerdict(stored, other, read));
  other = identity;
  other.engines = 0x4321;
  EXPECT_FALSE(detail::DecodeVerdict(stored, other, read));
  other = identity;
  other.clsids[1].Data1 ^= 1;
  EXPECT_FALSE(detail::DecodeVerdict(stored, other, read));
  for (std::size_t cut = 0; cut < stored.size(); ++cut) {
    ASSERT_FALSE(detail::DecodeVerdict(stored.substr(0, cut), identity, read)) << cut;
  }
  EXPECT_FALSE(detail::DecodeVerdict(stored + "x", identity, read));
  std::string unknownState = stored;
  unknownState.replace(unknownState.find("working"), 7, "ready\0\0", 7);
  EXPECT_FALSE(detail::DecodeVerdict(unknownState, identity, read));
}

}  // namespace
}  // namespace e2e
