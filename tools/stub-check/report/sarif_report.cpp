// The findings as a SARIF 2.1.0 log: what CI systems and editors read to show
// them as they show a compiler's warnings.
#include <cstdio>
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
    if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-' || b == '.' ||
        b == '_' || b == '~' || b == '/') {
      out += static_cast<char>(b);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", b);
      out += escaped;
    }
  }
  return out;
}

// Where a finding's file is on this machine: a script in the folder the
// scripts were read from, anything else (a manifest) as it was given.
std::string PathOf(const Report& report, const Finding& f) {
  for (const ScriptFile& s : report.package->scripts) {
    if (s.name == f.file) return report.package->realFolder + f.file;
  }
  return f.file;
}

const char* Level(const Finding& f) { return f.severity == Severity::kError ? "error" : "warning"; }

Json Result(const Report& report, const Finding& f, std::size_t ruleIndex) {
  std::string text = f.message;
  for (const std::string& note : f.notes) text += "\nnote: " + note;
  Json result = {{"ruleId", f.code}, {"ruleIndex", ruleIndex}, {"level", Level(f)},
                 {"message", {{"text", ShowBytes(text)}}}};
  if (!f.file.empty()) {
    Json physical = {{"artifactLocation", {{"uri", UriOf(PathOf(report, f))}}}};
    if (f.line > 0) {
      Json region = {{"startLine", f.line}, {"startColumn", f.column > 0 ? f.column : 1}};
      if (f.length > 0) region["endColumn"] = (f.column > 0 ? f.column : 1) + f.length;
      physical["region"] = std::move(region);
    }
    Json location = Json::object();
    location["physicalLocation"] = std::move(physical);
    result["locations"] = Json::array({std::move(location)});
  }
  if (!f.remedy.empty()) {
    Json fix = Json::object();
    fix["description"] = {{"text", ShowBytes(f.remedy)}};
    result["fixes"] = Json::array({std::move(fix)});
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
    std::size_t index = 0;
    while (index < ids.size() && ids[index] != f.code) ++index;
    if (index == ids.size()) {
      ids.push_back(f.code);
      rules.push_back({{"id", f.code}, {"defaultConfiguration", {{"level", Level(f)}}}});
    }
    results.push_back(Result(report, f, index));
  }
  Json driver = {{"name", "stub-check"}, {"rules", std::move(rules)}};
  Json run = Json::object();
  run["tool"] = {{"driver", std::move(driver)}};
  run["results"] = std::move(results);
  Json log = Json::object();
  log["$schema"] = "https://json.schemastore.org/sarif-2.1.0.json";
  log["version"] = "2.1.0";
  log["runs"] = Json::array({std::move(run)});
  return log.dump(2) + "\n";
}

}  // namespace check
