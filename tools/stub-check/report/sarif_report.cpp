// The findings as a SARIF 2.1.0 log: what CI systems and editors read to show
// them as they show a compiler's warnings.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "checker.h"

namespace check {
namespace {

using Json = nlohmann::ordered_json;

// A relative URI reference of a path: '\' as '/', and every byte outside the
// unreserved characters and '/' percent-encoded.
std::string UriOf(const std::string& path) {
  std::string out;
  for (char c : path) {
    const unsigned char b = static_cast<unsigned char>(c == '\\' ? '/' : c);
    char escaped[4];
    std::snprintf(escaped, sizeof escaped, "%%%02X", b);
    const bool plain = (b < 0x80 && std::isalnum(b)) || (b && std::strchr("-._~/", b));
    out += plain ? std::string(1, static_cast<char>(b)) : escaped;
  }
  return out;
}

// The message as a viewer shows it: the statement, then each note and the
// remedy on lines of their own. A SARIF fix must carry the edit itself (its
// artifactChanges), which a remedy said in words is not, so the remedy is
// part of the message, where every viewer shows it.
std::string MessageText(const Finding& f) {
  std::string text = f.message;
  for (const std::string& note : f.notes) text += "\nnote: " + note;
  if (!f.remedy.empty()) text += "\nremedy: " + f.remedy;
  return ShowBytes(text);
}

Json Result(const Report& report, const Finding& f, std::size_t ruleIndex) {
  Json result = {{"ruleId", f.code}, {"ruleIndex", ruleIndex}, {"level", SeverityName(f.severity)},
                 {"message", {{"text", MessageText(f)}}}};
  if (!f.file.empty()) {
    // A script is where the scripts were read from; anything else (a manifest) as it was given.
    const bool script = std::any_of(report.package->scripts.begin(), report.package->scripts.end(),
                                    [&](const ScriptFile& s) { return s.name == f.file; });
    const std::string path = script ? report.package->realFolder + f.file : f.file;
    Json physical = {{"artifactLocation", {{"uri", UriOf(path)}}}};
    const int column = std::max(f.column, 1);
    if (f.line > 0) physical["region"] = {{"startLine", f.line}, {"startColumn", column}};
    if (f.line > 0 && f.length > 0) physical["region"]["endColumn"] = column + f.length;
    result["locations"] = Json::array({Json{{"physicalLocation", std::move(physical)}}});
  }
  if (!f.arguments.empty()) {
    Json arguments = Json::object();
    for (const Argument& a : f.arguments) arguments[a.name] = ShowBytes(a.value);
    result["properties"] = {{"arguments", std::move(arguments)}};
  }
  return result;
}

}  // namespace

std::string SarifReport(const Report& report) {
  Json rules = Json::array(), results = Json::array();
  std::vector<std::string> ids;
  for (const Finding& f : report.findings) {
    const std::size_t index = std::find(ids.begin(), ids.end(), f.code) - ids.begin();
    if (index == ids.size()) {
      ids.push_back(f.code);
      rules.push_back({{"id", f.code}, {"defaultConfiguration", {{"level", SeverityName(f.severity)}}}});
    }
    results.push_back(Result(report, f, index));
  }
  Json run = {{"tool", {{"driver", {{"name", "stub-check"}, {"rules", std::move(rules)}}}}},
              {"results", std::move(results)}};
  Json log = {{"$schema", "https://json.schemastore.org/sarif-2.1.0.json"}, {"version", "2.1.0"}};
  log["runs"] = Json::array({std::move(run)});
  return log.dump(2) + "\n";
}

}  // namespace check
