// The checker's report of a package rendered three ways: text for a person, JSON for build scripts, SARIF for
// CI systems and editors. Each renders the same value, a Report; none works out a fact of its own.
#pragma once

#include <string>

#include "checks/check.h"
#include "findings/finding.h"

namespace check {

/// `finding` as a compiler shows a diagnostic: place, message, the line of `source` (a script's or manifest's
/// bytes; null for none) with a caret under the column, notes, remedy. `fallback` names a place with no file.
std::string TextDiagnostic(const Finding& finding, const std::string* source, const std::string& fallback);
std::string TextReport(const Report& report);
/// The report as JSON (schema 2; docs/package-authors.md describes it).
std::string JsonReport(const Report& report);
/// The findings as a SARIF 2.1.0 log, for CI systems and editors; file URIs relative to the folder `root`
/// (the run's SRCROOT), or absolute where a file lies outside it.
std::string SarifReport(const Report& report, const std::string& root);
/// A check that could not be made (`error` says why; `input` the package as given, or empty), as a
/// document of `format`: JSON with `error` and exit code 2, or a SARIF log whose one run has no results
/// and an invocation that did not succeed, the error its notification. Empty for text.
std::string FailureReport(const std::string& format, const std::string& input, const std::string& error);

}  // namespace check
