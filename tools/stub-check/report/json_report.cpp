// The report for a build script: a JSON document built as a tree, its fields
// described in docs/package-authors.md.
#include <nlohmann/json.hpp>

#include "checker.h"
#include "package/package_classes.h"

namespace check {
namespace {

using Json = nlohmann::ordered_json;

// Text for the document: bytes that are not UTF-8 (a Latin-1 file name,
// script text quoted in a message) shown as \xHH, so it is always valid UTF-8.
Json Text(const std::string& raw) { return ShowBytes(raw); }

Json TextList(const std::vector<std::string>& items) {
  Json list = Json::array();
  for (const std::string& item : items) list.push_back(Text(item));
  return list;
}

Json Run(const RunResult& run) {
  Json boxes = Json::array();
  for (const Box& box : run.boxes) {
    boxes.push_back({{"caption", Text(box.caption)}, {"text", Text(box.text)}});
  }
  return {{"result", Hex32(run.result)},
          {"resultName", ResultName(run.result)},
          {"exitCode", run.exitCode},
          {"boxes", std::move(boxes)},
          {"changes", Text(run.changes)}};
}

Json ModuleFileJson(const ModuleFile& m) {
  Json out = {{"path", Text(m.path)}, {"found", m.found}, {"format", m.found ? Text(m.format) : Json()}};
  out["architecture"] = m.isPe ? Json{{"machine", m.architecture}, {"bits", m.bits},
                                      {"loadedBy", Text(m.ArchitectureLine())}}
                               : Json();
  out["exports"] = TextList(m.exports);
  out["missingExports"] = TextList(m.missing);
  out["thisModule"] = m.IsThisModule();
  out["version"] = m.hasVersion ? Text(m.version) : Json();
  return out;
}

Json InstallJson(const Install& in) {
  Json out = {{"modulePath", Text(Utf8(in.modulePath))}, {"folder", Text(Utf8(in.directory))}};
  out["load"] = Run(in.load);
  Json& ids = out["classIds"] = in.idsRead ? Json::object() : Json();
  for (std::size_t k = 0; in.idsRead && k < in.ids.size(); ++k) {
    ids[Utf8(PackageClasses[k].className)] = GuidString(in.ids[k]);
  }
  out["registration"] = in.registration.ran ? Run(in.registration) : Json();
  Json& removal = out["removal"] = in.removal.ran ? Run(in.removal) : Json();
  if (!in.removal.ran) return out;
  removal["leftBehind"] = Json::array();
  for (const LeftKey& k : in.leftBehind) {
    removal["leftBehind"].push_back({{"key", Text(Utf8(k.path))}, {"reason", Text(k.reason)}});
  }
  return out;
}

Json FindingJson(const Finding& f) {
  Json arguments = Json::object();
  for (const Argument& a : f.arguments) arguments[a.name] = Text(a.value);
  return {{"severity", SeverityName(f.severity)},
          {"code", f.code},
          {"file", Text(f.file)},
          {"line", f.line},
          {"column", f.column},
          {"length", f.length},
          {"message", Text(f.message)},
          {"notes", TextList(f.notes)},
          {"remedy", Text(f.remedy)},
          {"arguments", std::move(arguments)}};
}

}  // namespace

std::string JsonReport(const Report& report) {
  const Package& package = *report.package;
  Json doc = {{"tool", "stub-check"}, {"schema", 2}, {"input", Text(package.input)},
              {"module", Text(package.moduleName)}};
  doc["moduleFile"] = ModuleFileJson(package.moduleFile);
  doc["scriptsFolder"] = Text(package.realFolder);
  doc["perUser"] = package.perUser;
  doc["registryFile"] = package.exports.empty() ? Json() : Text(package.exports[0].file);
  Json files = Json::array(), notes = Json::array();
  for (const RegistryExport& e : package.exports) {
    files.push_back({{"file", Text(e.file)}, {"classesRoot", e.classesRoot},
                     {"machineClasses", e.machineClasses}, {"userClasses", e.userClasses},
                     {"elsewhere", e.elsewhere}});
    for (const std::string& note : e.notes) notes.push_back(Text(e.file + " " + note));
  }
  doc["registryFiles"] = std::move(files);
  doc["registryNotes"] = std::move(notes);
  Json scripts = Json::array();
  for (const ScriptFile& s : package.scripts) {
    Json script = {{"name", Text(s.name)}, {"found", s.found}, {"isFolder", s.isFolder},
                   {"bytes", s.bytes->size()}, {"encoding", Text(s.encoding)}};
    if (!s.problem.empty()) script["problem"] = Text(s.problem);
    scripts.push_back(std::move(script));
  }
  doc["scripts"] = std::move(scripts);
  doc["installs"] = Json::array();
  for (const Install& in : report.installs) doc["installs"].push_back(InstallJson(in));
  doc["findings"] = Json::array();
  for (const Finding& f : report.findings) doc["findings"].push_back(FindingJson(f));
  doc["errors"] = report.Errors();
  doc["warnings"] = report.Warnings();
  doc["exitCode"] = report.ExitCode();
  return doc.dump(2) + "\n";
}

}  // namespace check
