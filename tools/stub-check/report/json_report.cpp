// The report for programs, as JSON built as a tree: the checker's own document
// (its fields described in docs/package-authors.md) for build scripts, and the
// findings as a SARIF 2.1.0 log for CI systems and editors.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "checks/check.h"
#include "checks/package.h"
#include "findings/finding.h"
#include "io/files.h"
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
  return {{"result", Hex32(run.result)},   {"resultName", ResultName(run.result)},
          {"exitCode", run.exitCode},      {"fileStops", run.fileStops},
          {"boxes", Each(run.boxes, box)}, {"changes", Text(run.changes)}};
}

Json ModuleFileJson(const ModuleFile& m) {
  const Json pe = {{"machine", m.architecture}, {"bits", m.bits}, {"loadedBy", Text(m.ArchitectureLine())}};
  return {{"path", Text(m.path)},
          {"found", m.found},
          {"format", m.found ? Text(m.format) : Json()},
          {"architecture", m.isPe ? pe : Json()},
          {"exports", Each(m.exports, Text)},
          {"missingExports", Each(m.missing, Text)},
          {"thisModule", m.IsThisModule()},
          {"version", m.hasVersion ? Text(m.version) : Json()}};
}

// How regsvr32 registers the package and removes it, and its exit code before any script runs (null: none).
Json Regsvr32Json(const Report& report) {
  return Each(std::vector<Regsvr32>{report.registering, report.removing}, [](const Regsvr32& p) {
    return Json{{"command", p.command},
                {"entry", p.entry},
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
    places[name] =
        p.line ? Json{{"file", Utf8(PackageClasses[k].scriptName)}, {"line", p.line}, {"column", p.column}}
               : Json();
  }
  Json removal = in.removal.ran ? Run(in.removal) : Json();
  if (in.removal.ran) {
    removal["leftBehind"] = Each(in.leftBehind, [](const LeftKey& k) {
      return Json{{"key", Text(Utf8(k.path))}, {"reason", Text(k.reason)}};
    });
  }
  return {{"modulePath", Text(Utf8(in.modulePath))},
          {"folder", Text(Utf8(in.directory))},
          {"load", Run(in.load)},
          {"classIds", ids},
          {"classIdPlaces", places},
          {"registration", in.registration.ran ? Run(in.registration) : Json()},
          {"removal", removal}};
}

Json FindingJson(const Finding& f) {
  return {{"severity", SeverityName(f.severity)},
          {"code", CodeName(f.code)},
          {"file", Text(f.file)},
          {"line", f.line},
          {"column", f.column},
          {"length", f.length},
          {"message", Text(f.message)},
          {"notes", Each(f.notes, Text)},
          {"remedy", Text(f.remedy)},
          {"arguments", Arguments(f)}};
}

Json ScriptJson(const ScriptFile& s) {
  Json script = {{"name", Text(s.name)},
                 {"found", s.found},
                 {"isFolder", s.isFolder},
                 {"bytes", s.bytes->size()},
                 {"encoding", Text(s.encoding)}};
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

// Where the SARIF log places files: relative to `root` (the run's SRCROOT) where they lie under it, else as
// absolute file URIs.
struct SarifPlaces {
  const Report& report;
  std::filesystem::path root;  // absolute

  // A file URI of the absolute `path`: file:///tmp/x, file:///C:/x.
  static std::string FileUri(const std::filesystem::path& path) {
    const std::string text = io::TextOf(path);
    const bool drive = text.size() >= 2 && text[1] == ':';
    return std::string("file://") + (drive ? "/" + text.substr(0, 2) + UriOf(text.substr(2)) : UriOf(text));
  }
  Json Artifact(const std::string& path) const {
    std::error_code error;
    const std::filesystem::path whole = std::filesystem::absolute(io::PathOf(path), error).lexically_normal();
    const std::filesystem::path relative = whole.lexically_relative(root);
    if (!error && !relative.empty() && *relative.begin() != "..") {
      return {{"uri", UriOf(io::TextOf(relative))}, {"uriBaseId", "SRCROOT"}};
    }
    return {{"uri", FileUri(whole)}};
  }
  // The file a finding is about: a script where the scripts were read from, a manifest as it was given;
  // one about the module or the package as a whole, the module file.
  std::string PathOf(const Finding& f) const {
    const Package& package = *report.package;
    if (f.file.empty()) return package.moduleFile.path.empty() ? package.input : package.moduleFile.path;
    const std::vector<ScriptFile>& scripts = package.scripts;
    const bool script =
        std::any_of(scripts.begin(), scripts.end(), [&](const ScriptFile& s) { return s.name == f.file; });
    return script ? package.realFolder + f.file : f.file;
  }
  // The bytes of the finding's file, when the report holds them.
  const std::string* SourceOf(const Finding& f) const {
    for (const ScriptFile& s : report.package->scripts) {
      if (s.name == f.file && s.bytes) return s.bytes.get();
    }
    for (const auto& [file, bytes] : report.sources) {
      if (file == f.file) return &bytes;
    }
    return nullptr;
  }
};

// A physical location: `path`'s artifact, and the region at `place` when it has a line.
Json PhysicalLocation(const SarifPlaces& places, const std::string& path, Place place, int length = 0) {
  Json physical = {{"artifactLocation", places.Artifact(path)}};
  const int column = std::max(place.column, 1);
  if (place.line > 0) physical["region"] = {{"startLine", place.line}, {"startColumn", column}};
  if (place.line > 0 && length > 0) physical["region"]["endColumn"] = column + length;
  return physical;
}

// A finding about the package's class identifiers (two scripts naming one, the sample's kept) stands at the
// identifiers the module read: the primary location at the finding's script (the first script for one
// about the package), the other scripts' identifiers as related locations. False when the load read none.
bool IdentifierLocations(const SarifPlaces& places, const Finding& f, Json* primary, Json* related,
                         std::size_t* script) {
  if (f.code != FindingCode::kSameIdentifier && f.code != FindingCode::kSampleIdentifier) return false;
  if (places.report.installs.empty() || !places.report.installs[0].idsRead) return false;
  const Install& first = places.report.installs[0];
  std::size_t at = 0;
  for (std::size_t k = 0; k < std::size(PackageClasses); ++k) {
    if (Utf8(PackageClasses[k].scriptName) == f.file) at = k;
  }
  for (std::size_t k = 0; k < std::size(PackageClasses) && k < first.idPlaces.size(); ++k) {
    const std::string name = Utf8(PackageClasses[k].scriptName);
    Json physical = PhysicalLocation(places, places.report.package->realFolder + name, first.idPlaces[k]);
    if (k == at) {
      *primary = std::move(physical);
      *script = k;
      continue;
    }
    related->push_back({{"id", related->size()},
                        {"physicalLocation", std::move(physical)},
                        {"message",
                         {{"text", "the " + Utf8(PackageClasses[k].className) + " class's identifier " +
                                       GuidString(first.ids[k])}}}});
  }
  return !primary->is_null();
}

// Line `line` (1-based) of `bytes` without its blanks, as a code scanning service hashes it: a finding keeps
// its identity when lines above it come and go.
std::string LineWithoutBlanks(const std::string& bytes, int line) {
  std::size_t start = 0;
  for (int n = 1; n < line && start != std::string::npos; ++n) {
    start = bytes.find('\n', start);
    if (start != std::string::npos) ++start;
  }
  std::string out;
  for (std::size_t i = start; i < bytes.size() && bytes[i] != '\n'; ++i) {
    if (!std::isspace(static_cast<unsigned char>(bytes[i]))) out += bytes[i];
  }
  return out;
}

// FNV-1a, 64 bits, as 16 hexadecimal digits.
std::string Hash64(const std::string& text) {
  std::uint64_t h = 14695981039346656037ull;
  for (char c : text) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  char out[17];
  std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
  return out;
}

// A SARIF result. Its message is the statement, then each note and the remedy on lines of their own: a SARIF
// fix must carry the edit itself (its artifactChanges), which a remedy said in words is not, and every viewer
// shows the message. `seen` counts the results of each fingerprint so far, which numbers the repeats.
Json Result(const SarifPlaces& places, const Finding& f, std::size_t ruleIndex,
            std::map<std::string, int>* seen) {
  std::string text = f.message;
  for (const std::string& note : f.notes) text += "\nnote: " + note;
  if (!f.remedy.empty()) text += "\nremedy: " + f.remedy;
  Json result = {{"ruleId", CodeName(f.code)},
                 {"ruleIndex", ruleIndex},
                 {"level", SeverityName(f.severity)},
                 {"message", {{"text", Text(text)}}}};
  Json physical, related = Json::array();
  std::size_t script = 0;
  const std::string* source = places.SourceOf(f);
  int line = f.line;
  if (IdentifierLocations(places, f, &physical, &related, &script)) {
    source = places.report.package->scripts[script].bytes.get();
    line = places.report.installs[0].idPlaces[script].line;
  } else {
    physical = PhysicalLocation(places, places.PathOf(f), {f.line, f.column}, f.length);
  }
  result["locations"] = Json::array({Json{{"physicalLocation", std::move(physical)}}});
  if (!related.empty()) result["relatedLocations"] = std::move(related);
  // The fingerprint: the code and the text of the line the result stands at, or its message without one.
  const std::string hash = Hash64(std::string(CodeName(f.code)) + "\n" +
                                  (source && line > 0 ? LineWithoutBlanks(*source, line) : f.message));
  result["partialFingerprints"] = {{"primaryLocationLineHash", hash + ":" + std::to_string(++(*seen)[hash])}};
  if (!f.arguments.empty()) result["properties"] = {{"arguments", Arguments(f)}};
  return result;
}

// A rule: the row of a finding code, its help as text and as Markdown with the wrong and the right line.
Json Rule(FindingCode code) {
  const FindingRow& row = RowOf(code);
  const std::string help = std::string(row.help) + "\nwrong: " + row.wrong + "\nright: " + row.right;
  const std::string markdown = std::string(row.help) + "\n\nWrong:\n\n```\n" + row.wrong +
                               "\n```\n\nRight:\n\n```\n" + row.right + "\n```\n";
  return {{"id", row.code},
          {"shortDescription", {{"text", row.shortDescription}}},
          {"fullDescription", {{"text", row.fullDescription}}},
          {"help", {{"text", help}, {"markdown", markdown}}},
          {"helpUri", std::string(STUB_CHECK_GUIDE_URL) + "#" + row.anchor},
          {"defaultConfiguration", {{"level", SeverityName(row.severity)}}}};
}

// The checker as a SARIF tool, with the rules the run uses.
Json Driver(Json rules) {
  return {{"name", "stub-check"},
          {"version", STUB_CHECK_VERSION},
          {"informationUri", STUB_CHECK_GUIDE_URL},
          {"rules", std::move(rules)}};
}

}  // namespace

std::string JsonReport(const Report& report) {
  const Package& package = *report.package;
  Json notes = Json::array();
  for (const RegistryExport& e : package.exports) {
    for (const std::string& note : e.notes) notes.push_back(Text(e.file + " " + note));
  }
  const Json files = Each(package.exports, [](const RegistryExport& e) {
    return Json{{"file", Text(e.file)},
                {"classesRoot", e.classesRoot},
                {"machineClasses", e.machineClasses},
                {"userClasses", e.userClasses},
                {"elsewhere", e.elsewhere}};
  });
  const Json doc = {{"tool", "stub-check"},
                    {"schema", 2},
                    {"input", Text(package.input)},
                    {"module", Text(package.moduleName)},
                    {"moduleFile", ModuleFileJson(package.moduleFile)},
                    {"scriptsFolder", Text(package.realFolder)},
                    {"perUser", package.perUser},
                    {"regsvr32", Regsvr32Json(report)},
                    {"registryFile", package.exports.empty() ? Json() : Text(package.exports[0].file)},
                    {"registryFiles", files},
                    {"registryNotes", notes},
                    {"scripts", Each(package.scripts, ScriptJson)},
                    {"installs", Each(report.installs, InstallJson)},
                    {"findings", Each(report.findings, FindingJson)},
                    {"errors", report.Errors()},
                    {"warnings", report.Warnings()},
                    {"exitCode", report.ExitCode()}};
  return doc.dump(2) + "\n";
}

std::string FailureReport(const std::string& format, const std::string& input, const std::string& error) {
  if (format == "json") {
    const Json doc = {{"tool", "stub-check"},
                      {"schema", 2},
                      {"input", input.empty() ? Json() : Text(input)},
                      {"error", Text(error)},
                      {"exitCode", 2}};
    return doc.dump(2) + "\n";
  }
  if (format != "sarif") return "";
  // No results: the run did not get as far; its invocation says why, as a tool's own notification.
  const Json notification = {{"level", "error"}, {"message", {{"text", Text(error)}}}};
  const Json invocation = {{"executionSuccessful", false},
                           {"exitCode", 2},
                           {"toolExecutionNotifications", Json::array({notification})}};
  const Json run = {{"tool", {{"driver", Driver(Json::array())}}},
                    {"invocations", Json::array({invocation})},
                    {"results", Json::array()}};
  const Json log = {{"$schema", "https://json.schemastore.org/sarif-2.1.0.json"},
                    {"version", "2.1.0"},
                    {"runs", Json::array({run})}};
  return log.dump(2) + "\n";
}

std::string SarifReport(const Report& report, const std::string& root) {
  std::error_code error;
  const SarifPlaces places{report, std::filesystem::absolute(io::PathOf(root), error).lexically_normal()};
  Json rules = Json::array(), results = Json::array();
  std::vector<FindingCode> ids;
  std::map<std::string, int> seen;
  for (const Finding& f : report.findings) {
    const std::size_t index = std::find(ids.begin(), ids.end(), f.code) - ids.begin();
    if (index == ids.size()) {
      ids.push_back(f.code);
      rules.push_back(Rule(f.code));
    }
    results.push_back(Result(places, f, index, &seen));
  }
  // The invocation: the exit code, and regsvr32's before any script runs; the class identifiers each install
  // read, with where each script holds it.
  const Json invocation = {{"executionSuccessful", true},
                           {"exitCode", report.ExitCode()},
                           {"properties", {{"regsvr32", Regsvr32Json(report)}}}};
  const Json installs = Each(report.installs, [&](const Install& in) {
    Json classes = Json::array();
    for (std::size_t k = 0; in.idsRead && k < in.ids.size(); ++k) {
      const Place p = k < in.idPlaces.size() ? in.idPlaces[k] : Place();
      const std::string script = Utf8(PackageClasses[k].scriptName);
      Json physical = {{"artifactLocation", places.Artifact(report.package->realFolder + script)}};
      if (p.line) physical["region"] = {{"startLine", p.line}, {"startColumn", p.column}};
      classes.push_back({{"class", Utf8(PackageClasses[k].className)},
                         {"id", GuidString(in.ids[k])},
                         {"location", {{"physicalLocation", std::move(physical)}}}});
    }
    return Json{{"modulePath", Text(Utf8(in.modulePath))}, {"classIds", std::move(classes)}};
  });
  // SRCROOT ends in '/', as a base URI must.
  std::string rootUri = SarifPlaces::FileUri(places.root);
  if (rootUri.back() != '/') rootUri += '/';
  const Json run = {{"tool", {{"driver", Driver(std::move(rules))}}},
                    {"originalUriBaseIds", {{"SRCROOT", {{"uri", rootUri}}}}},
                    {"invocations", Json::array({invocation})},
                    {"results", std::move(results)},
                    {"properties", {{"installs", installs}}}};
  const Json log = {{"$schema", "https://json.schemastore.org/sarif-2.1.0.json"},
                    {"version", "2.1.0"},
                    {"runs", Json::array({run})}};
  return log.dump(2) + "\n";
}

}  // namespace check
