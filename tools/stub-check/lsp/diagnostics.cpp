// The check of an edited script and its findings placed as the editor counts: lines from 0, columns in
// UTF-16 units.
#include "lsp/diagnostics.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "checks/check.h"
#include "checks/package.h"
#include "findings/finding_table.h"
#include "io/checked_files.h"
#include "io/file_system.h"
#include "package/package_classes.h"
#include "text/identifiers.h"
#include "text/text.h"

namespace check::lsp {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The row of PackageClasses whose script `name` is (file names compare as Windows compares them), or -1.
int ScriptIndex(const std::string& name) {
  for (std::size_t i = 0; i < std::size(PackageClasses); ++i) {
    if (Lower(Utf8(PackageClasses[i].scriptName)) == Lower(name)) return static_cast<int>(i);
  }
  return -1;
}

struct ScriptPlace {
  std::string folder;  // with its trailing '/'
  std::string name;
};

ScriptPlace PlaceOfPath(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return {"./", path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

// The buffer's text as the script of row `index`, as if read from `folder`.
ScriptFile ScriptOfText(const std::string& folder, int index, const std::string& text) {
  if (text.size() > kScriptSizeLimit) {
    ScriptFile script = PackageOfScripts("", {}).scripts[static_cast<std::size_t>(index)];
    script.realPath = folder + script.name;
    script.tooLarge = true;
    script.problem = "larger than " + std::to_string(kScriptSizeLimit >> 20) + " MiB";
    return script;
  }
  const std::size_t row = static_cast<std::size_t>(index);
  ScriptFile script = PackageOfScripts("", std::vector<std::string>(row + 1, text)).scripts[row];
  script.realPath = folder + script.name;
  return script;
}

std::string AsciiUpper(std::string text) {
  for (char& c : text) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  return text;
}

Finding Alone(const std::string& message, const std::string& remedy) {
  return {Severity::kError, FindingCode::kNotInPackage, "", 0, 0, message, remedy};
}

// A document holding `finding` alone.
Document Holding(const Finding& finding) {
  Document document;
  document.findings = {finding};
  return document;
}

// What a script's document keeps of a check: its findings, and the facts hovers tell.
Document Checked(const Report& report) {
  Document checked;
  checked.findings = report.findings;
  for (const Install& install : report.installs) checked.modulePaths.push_back(Utf8(install.modulePath));
  if (!report.installs.empty() && report.installs[0].idsRead) {
    for (const GUID& id : report.installs[0].ids) checked.classIds.push_back(AsciiUpper(GuidString(id)));
  }
  if (report.package) {
    for (const ScriptFile& script : report.package->scripts) checked.scripts.push_back(*script.bytes);
  }
  return checked;
}

// The check of `folder`'s package, the open buffers read in place of their files.
Document CheckFolder(const std::string& folder, const std::map<std::string, Document>& documents) {
  Package package;
  std::string problem;
  const std::string input = folder.size() > 1 ? folder.substr(0, folder.size() - 1) : folder;
  if (!LoadPackage(SystemFiles(), input, &package, &problem)) return Holding(Alone(problem, ""));
  for (const auto& [uri, document] : documents) {
    const ScriptPlace place = PlaceOfPath(document.path);
    const int index = ScriptIndex(place.name);
    if (document.path.empty() || place.folder != folder || index < 0) continue;
    package.scripts[static_cast<std::size_t>(index)] = ScriptOfText(folder, index, document.text);
  }
  CheckRequest request;
  request.input = input;
  request.package = std::make_shared<const Package>(std::move(package));
  try {
    const Report report = Check(request);
    if (!report.refused.empty()) return Holding(Alone(report.refused, ""));
    return Checked(report);
  } catch (const std::bad_alloc&) {
    return Holding(Alone("out of memory: the package needs more memory than the process may use", ""));
  }
}

}  // namespace

std::string PathOfUri(const std::string& uri) {
  static const std::string kScheme = "file://";
  if (uri.compare(0, kScheme.size(), kScheme) != 0) return "";
  std::string path;
  for (std::size_t i = kScheme.size(); i < uri.size(); ++i) {
    const int high = i + 2 < uri.size() ? HexValue(uri[i + 1]) : -1,
              low = high < 0 ? -1 : HexValue(uri[i + 2]);
    if (uri[i] == '%' && low >= 0) {
      path.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else {
      path.push_back(uri[i]);
    }
  }
  if (path.empty() || path[0] != '/') return "";  // file://host/...: no local path
#ifdef _WIN32
  if (path.size() > 2 && path[2] == ':') path.erase(0, 1);  // /C:/Packages/... is C:/Packages/...
#endif
  return path;
}

std::vector<std::string> CheckPackageOf(const std::string& uri, std::map<std::string, Document>* documents) {
  Document& document = documents->at(uri);
  const ScriptPlace place = PlaceOfPath(document.path);
  // A package folder has a name, the module copy's less its extension: a root folder ("/", "C:/") is none.
  const std::string folder = place.folder.substr(0, place.folder.size() - 1);
  const bool root = folder.empty() || folder.back() == ':';
  if (document.path.empty() || ScriptIndex(place.name) < 0 || root) {
    document.findings = {Alone(
        (document.path.empty() ? std::string("this document is no file on this machine")
         : root                ? "'" + place.name + "' stands in no package folder"
                               : "'" + place.name + "' is not a script of a package") +
            ": a package's scripts are " + ScriptNames() + ", in the folder named after the module copy",
        "open Packages/Aurora/Style.rgs beside Packages/Aurora.dll")};
    return {uri};
  }
  const Document result = CheckFolder(place.folder, *documents);
  std::vector<std::string> checked;
  for (auto& [other, open] : *documents) {
    const ScriptPlace at = PlaceOfPath(open.path);
    if (open.path.empty() || at.folder != place.folder || ScriptIndex(at.name) < 0) continue;
    open.findings.clear();
    open.modulePaths = result.modulePaths;
    open.classIds = result.classIds;
    open.scripts = result.scripts;
    for (const Finding& f : result.findings) {
      // The package's own findings (its name, its module file) stand at the top of each of its scripts.
      if (f.file.empty() || Lower(f.file) == Lower(at.name)) open.findings.push_back(f);
    }
    checked.push_back(other);
  }
  return checked;
}

}  // namespace check::lsp

namespace check::lsp {
namespace {

// The byte where the 1-based `line` of `text` starts, or npos past its last line.
std::size_t LineStart(const std::string& text, int line) {
  std::size_t at = 0;
  for (int n = 1; n < line; ++n) {
    at = text.find('\n', at);
    if (at == std::string::npos) return at;
    ++at;
  }
  return at;
}

Json Position(int line, int character) { return {{"line", line}, {"character", character}}; }

// The range of `f` in `text`: its line, from its column over its length (a place alone: one character).
Json RangeOf(const std::string& text, const Finding& f) {
  if (f.line <= 0) return {{"start", Position(0, 0)}, {"end", Position(0, 0)}};
  const int column = f.column > 0 ? f.column : 1;
  const int start = Utf16Column(text, f.line, column);
  const int end = Utf16Column(text, f.line, column + (f.length > 0 ? f.length : 1));
  return {{"start", Position(f.line - 1, start)}, {"end", Position(f.line - 1, end)}};
}

}  // namespace

int Utf16Column(const std::string& text, int line, int column) {
  std::size_t at = LineStart(text, line);
  int units = 0;
  for (int n = 1; n < column && at < text.size() && text[at] != '\n' && text[at] != '\r'; ++n) {
    const std::size_t length = Utf8Sequence(text, at);
    units += length == 4 ? 2 : 1;  // a byte that is no UTF-8 is one character, as the checker counts it
    at += length ? length : 1;
  }
  return units;
}

Json Diagnostics(const Document& document) {
  Json list = Json::array();
  for (const Finding& f : document.findings) {
    std::string message = f.message;
    for (const std::string& note : f.notes) message += "\nnote: " + note;
    if (!f.remedy.empty()) message += "\nremedy: " + f.remedy;
    list.push_back(
        {{"range", RangeOf(document.text, f)},
         {"severity", f.severity == Severity::kError ? 1 : 2},
         {"code", CodeName(f.code)},
         {"codeDescription", {{"href", std::string(STUB_CHECK_GUIDE_URL) + "#" + RowOf(f.code).anchor}}},
         {"source", "stub-check"},
         {"message", message}});
  }
  return list;
}

namespace {
Document WithText(const std::string& text, const Finding& finding) {
  Document document;
  document.text = text;
  document.findings = {finding};
  return document;
}
}  // namespace

Json QuickFixes(const std::string& uri, const Document& document, int first, int last) {
  static const std::string kModule = "%Module%";
  Json actions = Json::array();
  for (const Finding& f : document.findings) {
    if (f.code != FindingCode::kUnquotedModule || f.line - 1 < first || f.line - 1 > last) continue;
    const std::size_t lineStart = LineStart(document.text, f.line);
    if (lineStart == std::string::npos) continue;
    // The finding stands at the %Module% it is about; the text may have moved since, so it is looked for.
    const std::size_t lineEnd = document.text.find('\n', lineStart);
    const std::string line =
        document.text.substr(lineStart, lineEnd == std::string::npos ? lineEnd : lineEnd - lineStart);
    const std::size_t at = line.find(kModule);
    if (at == std::string::npos) continue;
    const int start = static_cast<int>(Utf16(line.substr(0, at)).size());
    const int end = start + static_cast<int>(kModule.size());
    const Json range = {{"start", Position(f.line - 1, start)}, {"end", Position(f.line - 1, end)}};
    actions.push_back(
        {{"title", "Write '%Module%' in apostrophes"},
         {"kind", "quickfix"},
         {"isPreferred", true},
         {"diagnostics", Json::array({Diagnostics(WithText(document.text, f))[0]})},
         {"edit", {{"changes", {{uri, Json::array({{{"range", range}, {"newText", "'%Module%'"}}})}}}}}});
  }
  return actions;
}

}  // namespace check::lsp

namespace check::lsp {
namespace {

// The byte of `text` at UTF-16 unit `character` of the line that starts at `start`; npos past its end.
std::size_t ByteOfUnit(const std::string& text, std::size_t start, int character) {
  std::size_t at = start;
  for (int units = 0; units < character;) {
    if (at >= text.size() || text[at] == '\n' || text[at] == '\r') return std::string::npos;
    const std::size_t length = Utf8Sequence(text, at);
    units += length == 4 ? 2 : 1;
    at += length ? length : 1;
  }
  return at;
}

// Whether `text` holds a braced identifier ({xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}) at `at`.
bool GuidAt(const std::string& text, std::size_t at) {
  if (at + 38 > text.size() || text[at] != '{' || text[at + 37] != '}') return false;
  for (std::size_t i = 1; i < 37; ++i) {
    const char c = text[at + i];
    if (i == 9 || i == 14 || i == 19 || i == 24 ? c != '-' : HexValue(c) < 0) return false;
  }
  return true;
}

std::string ModuleHover(const Document& document) {
  std::string text =
      "`%Module%` stands for the module copy's path, as the module finds it when it runs. "
      "This check installs the package at:\n";
  for (const std::string& path : document.modulePaths) text += "\n- `" + path + "`";
  return text;
}

std::string ClassHover(const Document& document, const std::string& id) {
  const int here = ScriptIndex(PlaceOfPath(document.path).name);
  std::string text = "`" + id + "`: ";
  std::size_t row = 0;
  while (row < document.classIds.size() && document.classIds[row] != id) ++row;
  if (row == document.classIds.size()) {
    text += "no class of the package; the module reads";
    for (std::size_t i = 0; i < document.classIds.size(); ++i) {
      text += std::string(i ? " and " : " ") + "`" + document.classIds[i] + "` for `" +
              Utf8(PackageClasses[i].className) + "` (" + Utf8(PackageClasses[i].scriptName) + ")";
    }
    return text;
  }
  text += "the class identifier of `" + Utf8(PackageClasses[row].className) +
          "`, which the module reads from " + Utf8(PackageClasses[row].scriptName) +
          (static_cast<int>(row) == here ? " (this script)." : ".");
  for (std::size_t other = 0; other < document.classIds.size(); ++other) {
    if (other == row) continue;
    const std::string name = Utf8(PackageClasses[other].scriptName);
    if (document.classIds[other] == id) {
      text += "\n\n" + name + " gives the same identifier: the two classes are one to COM.";
    } else {
      const bool named = other < document.scripts.size() &&
                         AsciiUpper(document.scripts[other]).find(id) != std::string::npos;
      text += "\n\n" + name +
              (named ? " names it too, but its own class is `" : " does not name it; its class is `") +
              document.classIds[other] + "`.";
    }
  }
  return text;
}

}  // namespace

bool Hover(const Document& document, int line, int character, Json* hover) {
  *hover = nullptr;
  const std::size_t start = line < 0 ? std::string::npos : LineStart(document.text, line + 1);
  const std::size_t at =
      start == std::string::npos || character < 0 ? start : ByteOfUnit(document.text, start, character);
  if (at == std::string::npos) return false;
  const std::size_t end = std::min(document.text.find('\n', start), document.text.size());
  const std::string text = document.text.substr(start, end - start), upper = AsciiUpper(text);
  const std::size_t offset = at - start;
  std::string value;
  for (std::size_t m = upper.find("%MODULE%"); m != std::string::npos && value.empty();
       m = upper.find("%MODULE%", m + 1)) {
    if (offset >= m && offset < m + 8 && !document.modulePaths.empty()) value = ModuleHover(document);
  }
  const std::size_t brace = upper.rfind('{', offset);
  if (value.empty() && brace != std::string::npos && offset < brace + 38 && GuidAt(upper, brace) &&
      !document.classIds.empty()) {
    value = ClassHover(document, upper.substr(brace, 38));
  }
  if (!value.empty()) *hover = {{"contents", {{"kind", "markdown"}, {"value", value}}}};
  return true;
}

}  // namespace check::lsp
