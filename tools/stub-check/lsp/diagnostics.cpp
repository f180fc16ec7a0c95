// The check of an edited script and its findings placed as the editor counts: lines from 0, columns in
// UTF-16 units.
#include "lsp/diagnostics.h"

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "checks/check.h"
#include "checks/package.h"
#include "io/checked_files.h"
#include "package/package_classes.h"
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

Finding Alone(const std::string& message, const std::string& remedy) {
  return {Severity::kError, "not-in-package", "", 0, 0, message, remedy};
}

// The findings of the check of `folder`'s package, the open buffers read in place of their files.
std::vector<Finding> CheckFolder(const std::string& folder, const std::map<std::string, Document>& documents) {
  Package package;
  std::string problem;
  const std::string input = folder.size() > 1 ? folder.substr(0, folder.size() - 1) : folder;
  if (!LoadPackage(input, &package, &problem)) return {Alone(problem, "")};
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
    Report report = Check(request);
    if (!report.refused.empty()) return {Alone(report.refused, "")};
    return report.findings;
  } catch (const std::bad_alloc&) {
    return {Alone("out of memory: the package needs more memory than the process may use", "")};
  }
}

}  // namespace

std::string PathOfUri(const std::string& uri) {
  static const std::string kScheme = "file://";
  if (uri.compare(0, kScheme.size(), kScheme) != 0) return "";
  std::string path;
  for (std::size_t i = kScheme.size(); i < uri.size(); ++i) {
    const int high = i + 2 < uri.size() ? HexValue(uri[i + 1]) : -1, low = high < 0 ? -1 : HexValue(uri[i + 2]);
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
  if (document.path.empty() || ScriptIndex(place.name) < 0) {
    document.findings = {Alone(
        (document.path.empty() ? std::string("this document is no file on this machine")
                               : "'" + place.name + "' is not a script of a package") +
            ": a package's scripts are " + ScriptNames() + ", in the folder named after the module copy",
        "open Packages/Aurora/Style.rgs beside Packages/Aurora.dll")};
    return {uri};
  }
  const std::vector<Finding> findings = CheckFolder(place.folder, *documents);
  std::vector<std::string> checked;
  for (auto& [other, open] : *documents) {
    const ScriptPlace at = PlaceOfPath(open.path);
    if (open.path.empty() || at.folder != place.folder || ScriptIndex(at.name) < 0) continue;
    open.findings.clear();
    for (const Finding& f : findings) {
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
    list.push_back({{"range", RangeOf(document.text, f)},
                    {"severity", f.severity == Severity::kError ? 1 : 2},
                    {"code", f.code},
                    {"source", "stub-check"},
                    {"message", message}});
  }
  return list;
}

Json QuickFixes(const std::string& uri, const Document& document, int first, int last) {
  static const std::string kModule = "%Module%";
  Json actions = Json::array();
  for (const Finding& f : document.findings) {
    if (f.code != "unquoted-module" || f.line - 1 < first || f.line - 1 > last) continue;
    const std::size_t lineStart = LineStart(document.text, f.line);
    if (lineStart == std::string::npos) continue;
    // The finding stands at the %Module% it is about; the text may have moved since, so it is looked for.
    const std::size_t lineEnd = document.text.find('\n', lineStart);
    const std::string line = document.text.substr(lineStart, lineEnd == std::string::npos ? lineEnd : lineEnd - lineStart);
    const std::size_t at = line.find(kModule);
    if (at == std::string::npos) continue;
    const int start = static_cast<int>(Utf16(line.substr(0, at)).size());
    const int end = start + static_cast<int>(kModule.size());
    const Json range = {{"start", Position(f.line - 1, start)}, {"end", Position(f.line - 1, end)}};
    actions.push_back({{"title", "Write '%Module%' in apostrophes"},
                       {"kind", "quickfix"},
                       {"isPreferred", true},
                       {"diagnostics", Json::array({Diagnostics(Document{"", document.text, {f}})[0]})},
                       {"edit", {{"changes", {{uri, Json::array({{{"range", range}, {"newText", "'%Module%'"}}})}}}}}});
  }
  return actions;
}

}  // namespace check::lsp
