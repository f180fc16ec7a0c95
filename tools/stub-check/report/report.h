// The checker's report of a package, as text, JSON or SARIF.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "checks/package.h"
#include "report/findings.h"

namespace check {

struct Report {
  std::shared_ptr<const Package> package;
  std::vector<Install> installs;
  std::vector<Finding> findings;
  /// Files findings are placed in besides the scripts (a manifest): name, bytes.
  std::vector<std::pair<std::string, std::string>> sources;
  std::string refused;  // why the check could not be made; then nothing else is set
  std::string text;     // the report in the format asked for
  int Count(Severity severity) const;
  int Errors() const { return Count(Severity::kError); }
  int Warnings() const { return Count(Severity::kWarning); }
  int ExitCode() const { return Errors() ? 2 : Warnings() ? 1 : 0; }
};

/// `finding` as a compiler shows a diagnostic: place, message, the line of `source` (a script's or manifest's
/// bytes; null for none) with a caret under the column, notes, remedy. `fallback` names a place with no file.
std::string TextDiagnostic(const Finding& finding, const std::string* source, const std::string& fallback);
std::string TextReport(const Report& report);
/// The report as JSON (schema 2; docs/package-authors.md describes it).
std::string JsonReport(const Report& report);
/// The findings as a SARIF 2.1.0 log, for CI systems and editors.
std::string SarifReport(const Report& report);
/// A check that could not be made (`error` says why; `input` the package as given, or empty), as a
/// document of `format`: JSON with `error` and exit code 2, or a SARIF log whose one run has no results
/// and an invocation that did not succeed, the error its notification. Empty for text.
std::string FailureReport(const std::string& format, const std::string& input, const std::string& error);

}  // namespace check
