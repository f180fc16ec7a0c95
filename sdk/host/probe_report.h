// Inside the host library: the report StubProbe.exe writes to its host, and
// the host's reading of it. Both sides build from this one definition.
//
// The report is UTF-8 text, one record a line, each ended by "\n":
//
//   stub-probe 1                          the first line, always
//   class INDEX RESULT MS PATH            a creation ended: INDEX 0 or 1 (in
//                                         the order asked), RESULT 0x%08X, MS
//                                         decimal milliseconds, PATH the module
//                                         path the engine received, or "-"
//   crashed INDEX CODE MODULE             the probe died of exception CODE
//                                         (0x%08X) while creating INDEX;
//                                         MODULE the faulting module, or "-"
//   done                                  every class asked for was reported
//
// Anything else (another first line, a record out of order, a field that
// does not parse, text after "done", more than kReportLimit bytes) makes the
// whole report untrusted.
#ifndef STUB_SDK_HOST_PROBE_REPORT_H
#define STUB_SDK_HOST_PROBE_REPORT_H

#include <windows.h>

#include <string>

namespace stub {
namespace host {
namespace detail {

constexpr char kReportHeader[] = "stub-probe 1";
// The most a report can hold: two records with paths of 259 characters in
// UTF-8 fit many times over.
constexpr DWORD kReportLimit = 8192;
// The probe's exit code when its command line cannot be followed.
constexpr DWORD kProbeRefused = 0x5354;

// What a report says of one class.
struct ProbeRecord {
  enum class Kind { Missing, Created, Crashed };
  Kind kind = Kind::Missing;
  HRESULT result = S_OK;   // Created: what the creation answered; Crashed: the exception code
  DWORD milliseconds = 0;  // Created
  std::wstring path;       // Created: the path the engine received; Crashed: the faulting module
};

// A report read: `trusted` is false for a malformed one, with `problem`
// saying what was wrong; `done` whether it ended with "done".
struct ProbeReport {
  bool trusted = false;
  bool done = false;
  std::wstring problem;
  ProbeRecord records[2];
};

// Reads `count` classes' records out of the report's bytes.
ProbeReport ReadProbeReport(const std::string& bytes, int count);

}  // namespace detail
}  // namespace host
}  // namespace stub

#endif  // STUB_SDK_HOST_PROBE_REPORT_H
