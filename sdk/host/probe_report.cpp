// Reading the report StubProbe.exe writes (the format is in probe_report.h).
// Nothing in it is trusted until the whole report has been read as valid.
#include "probe_report.h"

#include <cstdlib>
#include <vector>

namespace stub {
namespace host {
namespace detail {
namespace {

std::vector<std::string> SplitLines(const std::string& bytes, bool& ended) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t at = bytes.find('\n'); at != std::string::npos; at = bytes.find('\n', start)) {
    lines.push_back(bytes.substr(start, at - start));
    start = at + 1;
  }
  ended = start == bytes.size();
  if (!ended) lines.push_back(bytes.substr(start));
  return lines;
}

// "0x" and exactly eight hexadecimal digits.
bool ParseHex(const std::string& text, DWORD& value) {
  if (text.size() != 10 || text[0] != '0' || text[1] != 'x') return false;
  value = 0;
  for (std::size_t i = 2; i < text.size(); ++i) {
    const char c = text[i];
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (digit < 0) return false;
    value = value << 4 | static_cast<DWORD>(digit);
  }
  return true;
}

bool ParseDecimal(const std::string& text, DWORD& value) {
  if (text.empty() || text.size() > 9) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<DWORD>(c - '0');
  }
  return true;
}

// A path field: "-" for none, else UTF-8 text that converts whole.
bool ParsePath(const std::string& text, std::wstring& path) {
  path.clear();
  if (text == "-") return true;
  if (text.empty() || text.size() > 4 * MAX_PATH) return false;
  const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                        static_cast<int>(text.size()), nullptr, 0);
  if (units <= 0) return false;
  path.assign(static_cast<std::size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), &path[0],
                      units);
  return path.find(L'\0') == std::wstring::npos;
}

// Splits "WORD A B C REST": the first `fields` blank-separated fields and the rest of the line.
bool SplitRecord(const std::string& line, int fields, std::vector<std::string>& parts) {
  parts.clear();
  std::size_t start = 0;
  for (int i = 0; i < fields; ++i) {
    const std::size_t blank = line.find(' ', start);
    if (blank == std::string::npos || blank == start) return false;
    parts.push_back(line.substr(start, blank - start));
    start = blank + 1;
  }
  parts.push_back(line.substr(start));
  return true;
}

// One "class" or "crashed" record for the class at `index`.
bool ReadRecord(const std::string& line, int index, ProbeRecord& record) {
  std::vector<std::string> parts;
  const bool created = line.compare(0, 6, "class ") == 0;
  const bool crashed = line.compare(0, 8, "crashed ") == 0;
  DWORD value = 0, code = 0;
  if ((!created && !crashed) || !SplitRecord(line, created ? 4 : 3, parts) ||
      parts[1] != std::to_string(index) || !ParseHex(parts[2], code)) {
    return false;
  }
  record.result = static_cast<HRESULT>(code);
  if (created) {
    record.kind = ProbeRecord::Kind::Created;
    return ParseDecimal(parts[3], value) && (record.milliseconds = value, true) &&
           ParsePath(parts[4], record.path);
  }
  record.kind = ProbeRecord::Kind::Crashed;
  return ParsePath(parts[3], record.path);
}

}  // namespace

ProbeReport ReadProbeReport(const std::string& bytes, int count) {
  ProbeReport report;
  const auto refuse = [](const std::wstring& problem) {
    ProbeReport refused;
    refused.problem = problem;
    return refused;
  };
  if (bytes.size() > kReportLimit) return refuse(L"the report is longer than a report can be");
  bool ended = false;
  const std::vector<std::string> lines = SplitLines(bytes, ended);
  // A probe that ends in the middle of a line (killed, or ended by its
  // package) leaves that line unread; everything before it counts.
  const std::size_t complete = ended ? lines.size() : lines.size() - 1;
  if (complete == 0) {
    report.trusted = true;  // nothing was reported
    return report;
  }
  if (lines[0] != kReportHeader) return refuse(L"the report does not begin as a probe's report");
  int next = 0;
  for (std::size_t i = 1; i < complete; ++i) {
    const std::string& line = lines[i];
    if (report.done) return refuse(L"the report goes on after its end");
    if (line == "done") {
      if (next != count) return refuse(L"the report ends before every class was reported");
      report.done = true;
      continue;
    }
    const bool crash = line.compare(0, 8, "crashed ") == 0;
    if (next >= count || !ReadRecord(line, next, report.records[next])) {
      return refuse(L"line " + std::to_wstring(i + 1) + L" of the report is no record of the class expected");
    }
    ++next;
    if (crash && i + 1 < complete) return refuse(L"the report goes on after a crash");
  }
  report.trusted = true;
  return report;
}

}  // namespace detail
}  // namespace host
}  // namespace stub
