// The report for programs, as JSON built as a tree: the checker's own document
// (its fields described in docs/package-authors.md) for build scripts, and the
// findings as a SARIF 2.1.0 log for CI systems and editors.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "checks/check.h"
#include "checks/package.h"
#include "findings/finding.h"
#include "module/module_file.h"
#include "package/package_classes.h"
#include "registry/registry_state.h"
#include "report/report.h"
#include "text/identifiers.h"
#include "text/text.h"

namespace check {
namespace {

using Json = nlohmann::ordered_json;

// Text for the document, always valid UTF-8: bytes that are not (a Latin-1 file name) shown as \xHH.
Json Text(const std::string& raw) { return ShowBytes(raw); }

// An array of `toJson` of each of `items`.
template <class T, class F>
Json Each(const std::vector<T>& items, F toJson) {
  Json list = Json::array();
  for (const T& item : items) list.push_back(toJson(item));
  return list;
}

Json Arguments(const Finding& f) {
  Json arguments = Json::object();
  for (const Argument& a : f.arguments) arguments[a.name] = Text(a.value);
  return arguments;
}

Json Run(const RunResult& run) {
  auto box = [](const Box& b) { return Json{{"caption", Text(b.caption)}, {"text", Text(b.text)}}; };
  return {{"result", Hex32(run.result)}, {"resultName", ResultName(run.result)}, {"exitCode", run.exitCode},
          {"fileStops", run.fileStops}, {"boxes", Each(run.boxes, box)}, {"changes", Text(run.changes)}};
}

Json ModuleFileJson(const ModuleFile& m) {
  const Json pe = {{"machine", m.architecture}, {"bits", m.bits}, {"loadedBy", Text(m.ArchitectureLine())}};
  return {{"path", Text(m.path)}, {"found", m.found}, {"format", m.found ? Text(m.format) : Json()},
          {"architecture", m.isPe ? pe : Json()}, {"exports", Each(m.exports, Text)},
          {"missingExports", Each(m.missing, Text)}, {"thisModule", m.IsThisModule()},
          {"version", m.hasVersion ? Text(m.version) : Json()}};
}

// How regsvr32 registers the package and removes it, and its exit code before any script runs (null: none).
Json Regsvr32Json(const Report& report) {
  return Each(std::vector<Regsvr32>{report.registering, report.removing}, [](const Regsvr32& p) {
    return Json{{"command", p.command}, {"entry", p.entry},
                {"exitCodeBeforeScripts", p.fileExit >= 0 ? Json(p.fileExit) : Json()}};
  });
}

Json InstallJson(const Install& in) {
  Json ids = in.idsRead ? Json::object() : Json();
  Json places = ids;
  for (std::size_t k = 0; in.idsRead && k < in.ids.size(); ++k) {
    const std::string name = Utf8(PackageClasses[k].className);
    ids[name] = GuidString(in.ids[k]);
    const Place p = k < in.idPlaces.size() ? in.idPlaces[k] : Place();
    places[name] = p.line ? Json{{"file", Utf8(PackageClasses[k].scriptName)}, {"line", p.line},
                                 {"column", p.column}}
                          : Json();
  }
  Json removal = in.removal.ran ? Run(in.removal) : Json();
  if (in.removal.ran) {
    removal["leftBehind"] = Each(in.leftBehind, [](const LeftKey& k) {
      return Json{{"key", Text(Utf8(k.path))}, {"reason", Text(k.reason)}};
    });
  }
  return {{"modulePath", Text(Utf8(in.modulePath))}, {"folder", Text(Utf8(in.directory))},
          {"load", Run(in.load)}, {"classIds", ids}, {"classIdPlaces", places},
          {"registration", in.registration.ran ? Run(in.registration) : Json()}, {"removal", removal}};
}

Json FindingJson(const Finding& f) {
  return {{"severity", SeverityName(f.severity)}, {"code", f.code}, {"file", Text(f.file)},
          {"line", f.line}, {"column", f.column}, {"length", f.length}, {"message", Text(f.message)},
          {"notes", Each(f.notes, Text)}, {"remedy", Text(f.remedy)}, {"arguments", Arguments(f)}};
}

Json ScriptJson(const ScriptFile& s) {
  Json script = {{"name", Text(s.name)}, {"found", s.found}, {"isFolder", s.isFolder},
                 {"bytes", s.bytes->size()}, {"encoding", Text(s.encoding)}};
  if (!s.problem.empty()) script["problem"] = Text(s.problem);
  return script;
}

// A relative URI reference of a path: '\' as '/', and every byte outside the
// unreserved characters and '/' percent-encoded.
std::string UriOf(const std::string& path) {
  std::string out;
  for (char c : path) {
    const unsigned char b = static_cast<unsigned char>(c == '\\' ? '/' : c);
    const bool unreserved = (b < 0x80 && std::isalnum(b)) || (b != 0 && std::strchr("-._~/", b));
    char escaped[4] = {static_cast<char>(b)};
    if (!unreserved) std::snprintf(escaped, sizeof escaped, "%%%02X", b);
    out += escaped;
  }
  return out;
}

// A SARIF result. Its message is the statement, then each note and the remedy on lines of their own: a SARIF
// fix must carry the edit itself (its artifactChanges), which a remedy said in words is not, and every viewer
// shows the message.
Json Result(const Report& report, const Finding& f, std::size_t ruleIndex) {
  std::string text = f.message;
  for (const std::string& note : f.notes) text += "\nnote: " + note;
  if (!f.remedy.empty()) text += "\nremedy: " + f.remedy;
  Json result = {{"ruleId", f.code}, {"ruleIndex", ruleIndex}, {"level", SeverityName(f.severity)},
                 {"message", {{"text", Text(text)}}}};
  if (!f.file.empty()) {
    // A script is where the scripts were read from; anything else (a manifest) as it was given.
    const std::vector<ScriptFile>& scripts = report.package->scripts;
    const bool script =
        std::any_of(scripts.begin(), scripts.end(), [&](const ScriptFile& s) { return s.name == f.file; });
    const std::string path = script ? report.package->realFolder + f.file : f.file;
    Json physical = {{"artifactLocation", {{"uri", UriOf(path)}}}};
    const int column = std::max(f.column, 1);
    if (f.line > 0) physical["region"] = {{"startLine", f.line}, {"startColumn", column}};
    if (f.line > 0 && f.length > 0) physical["region"]["endColumn"] = column + f.length;
    result["locations"] = Json::array({Json{{"physicalLocation", std::move(physical)}}});
  }
  if (!f.arguments.empty()) result["properties"] = {{"arguments", Arguments(f)}};
  return result;
}

}  // namespace

std::string JsonReport(const Report& report) {
  const Package& package = *report.package;
  Json notes = Json::array();
  for (const RegistryExport& e : package.exports) {
    for (const std::string& note : e.notes) notes.push_back(Text(e.file + " " + note));
  }
  const Json files = Each(package.exports, [](const RegistryExport& e) {
    return Json{{"file", Text(e.file)}, {"classesRoot", e.classesRoot}, {"machineClasses", e.machineClasses},
                {"userClasses", e.userClasses}, {"elsewhere", e.elsewhere}};
  });
  const Json doc = {{"tool", "stub-check"}, {"schema", 2}, {"input", Text(package.input)},
                    {"module", Text(package.moduleName)}, {"moduleFile", ModuleFileJson(package.moduleFile)},
                    {"scriptsFolder", Text(package.realFolder)}, {"perUser", package.perUser},
                    {"regsvr32", Regsvr32Json(report)},
                    {"registryFile", package.exports.empty() ? Json() : Text(package.exports[0].file)},
                    {"registryFiles", files}, {"registryNotes", notes},
                    {"scripts", Each(package.scripts, ScriptJson)},
                    {"installs", Each(report.installs, InstallJson)},
                    {"findings", Each(report.findings, FindingJson)}, {"errors", report.Errors()},
                    {"warnings", report.Warnings()}, {"exitCode", report.ExitCode()}};
  return doc.dump(2) + "\n";
}

std::string FailureReport(const std::string& format, const std::string& input, const std::string& error) {
  if (format == "json") {
    const Json doc = {{"tool", "stub-check"}, {"schema", 2}, {"input", input.empty() ? Json() : Text(input)},
                      {"error", Text(error)}, {"exitCode", 2}};
    return doc.dump(2) + "\n";
  }
  if (format != "sarif") return "";
  // No results: the run did not get as far; its invocation says why, as a tool's own notification.
  const Json notification = {{"level", "error"}, {"message", {{"text", Text(error)}}}};
  const Json invocation = {{"executionSuccessful", false}, {"exitCode", 2},
                           {"toolExecutionNotifications", Json::array({notification})}};
  const Json run = {{"tool", {{"driver", {{"name", "stub-check"}, {"rules", Json::array()}}}}},
                    {"invocations", Json::array({invocation})}, {"results", Json::array()}};
  const Json log = {{"$schema", "https://json.schemastore.org/sarif-2.1.0.json"}, {"version", "2.1.0"},
                    {"runs", Json::array({run})}};
  return log.dump(2) + "\n";
}

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
  // The invocation: the exit code, and regsvr32's before any script runs; the class identifiers each install
  // read, with where each script holds it.
  const Json invocation = {{"executionSuccessful", true}, {"exitCode", report.ExitCode()},
                           {"properties", {{"regsvr32", Regsvr32Json(report)}}}};
  const Json installs = Each(report.installs, [&](const Install& in) {
    Json classes = Json::array();
    for (std::size_t k = 0; in.idsRead && k < in.ids.size(); ++k) {
      const Place p = k < in.idPlaces.size() ? in.idPlaces[k] : Place();
      const std::string script = Utf8(PackageClasses[k].scriptName);
      Json physical = {{"artifactLocation", {{"uri", UriOf(report.package->realFolder + script)}}}};
      if (p.line) physical["region"] = {{"startLine", p.line}, {"startColumn", p.column}};
      classes.push_back({{"class", Utf8(PackageClasses[k].className)}, {"id", GuidString(in.ids[k])},
                         {"location", {{"physicalLocation", std::move(physical)}}}});
    }
    return Json{{"modulePath", Text(Utf8(in.modulePath))}, {"classIds", std::move(classes)}};
  });
  const Json run = {{"tool", {{"driver", {{"name", "stub-check"}, {"rules", std::move(rules)}}}}},
                    {"invocations", Json::array({invocation})}, {"results", std::move(results)},
                    {"properties", {{"installs", installs}}}};
  const Json log = {{"$schema", "https://json.schemastore.org/sarif-2.1.0.json"}, {"version", "2.1.0"},
                    {"runs", Json::array({run})}};
  return log.dump(2) + "\n";
}

}  // namespace check
