// The checker's report for a person, as text: the package, its runs, and the findings as a compiler shows
// its diagnostics.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

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

// The widest source line shown whole; a longer one is shown around the column.
constexpr std::size_t kShownCharacters = 160;

// Line `line` (1-based) of the decoded `bytes`, without its line end; empty past the last line.
std::string SourceLine(const std::string& bytes, int line) {
  const std::string text = Decoded(bytes);
  std::size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  for (int n = 1; n < line; ++n) {
    if ((start = text.find('\n', start)) == std::string::npos) return "";
    ++start;
  }
  std::size_t end = std::min(text.find('\n', start), text.size());
  if (end > start && text[end - 1] == '\r') --end;
  return text.substr(start, end - start);
}

// The source line and the caret line under it, each after the gutter.
std::string SourceAndCaret(const std::string& line, int lineNumber, int column, int length) {
  // Where each character starts (a byte that is no UTF-8 counts as one), up to what is shown: a manifest
  // may be one line of megabytes, and each of its findings is shown on it.
  std::vector<std::size_t> starts;
  std::size_t end = 0;
  const std::size_t wanted = static_cast<std::size_t>(std::max(column, 1)) + kShownCharacters;
  while (end < line.size() && starts.size() < wanted) {
    starts.push_back(end);
    end += std::max<std::size_t>(Utf8Sequence(line, end), 1);
  }
  const bool more = end < line.size();  // characters past those walked
  const std::size_t characters = starts.size();
  starts.push_back(end);
  const std::size_t at = std::min<std::size_t>(column > 0 ? column - 1 : 0, characters);
  std::size_t first = 0, last = characters;
  if (more || characters > kShownCharacters) {
    first = at > kShownCharacters / 2 ? at - kShownCharacters / 2 : 0;
    last = std::min(characters, first + kShownCharacters);
  }
  std::string shown = first ? "..." : "", caret = first ? "   " : "";
  const std::size_t span = std::min<std::size_t>(std::max(length, 1), last > at ? last - at : 1);
  for (std::size_t i = first; i < last; ++i) {
    const std::string text = line.substr(starts[i], starts[i + 1] - starts[i]);
    // A control character other than a tab (a NUL of a UTF-16 file read as bytes, say) is shown escaped,
    // as every name and message is; a tab stays a tab, so that the caret line keeps the same columns.
    const std::string escaped = text == "\t" ? text : Escaped(text);
    shown += escaped;
    if (i >= at + span) continue;
    // Under each character as many marks as it takes columns (a tab stays a tab).
    const char mark = i < at ? ' ' : i == at ? '^' : '~';
    const char fill = mark == ' ' ? ' ' : '~';
    const std::size_t extra = escaped.size() > text.size() ? escaped.size() - 1 : 0;  // an escape's columns
    caret += text == "\t" && i < at ? std::string("\t") : mark + std::string(extra, fill);
  }
  if (at >= last) caret += '^';
  if (more || last < characters) shown += "...";
  char number[16];
  std::snprintf(number, sizeof number, "%5d", lineNumber);
  return number + (" | " + shown) + "\n" + std::string(std::strlen(number), ' ') + " | " + caret + "\n";
}

// The most of a run's changes the text report shows: a person reads no further, and a script whose keys
// nest deep repeats each key's whole path. Past it the rest is counted: lines, and keys ([...] lines).
constexpr std::size_t kShownChanges = 256 * 1024;

// A line of .reg text as shown: a name's control characters escaped, a tab in a string kept as .reg has it.
std::string ChangeLine(const std::string& line) {
  std::string out;
  for (std::size_t start = 0, tab; start <= line.size(); start = tab + 1) {
    tab = std::min(line.find('\t', start), line.size());
    out += (start ? "\t" : "") + Escaped(line.substr(start, tab - start));
  }
  return out;
}

std::string Changes(const std::string& text) {
  std::string out;
  std::size_t lines = 0, keys = 0;
  for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
    end = std::min(text.find('\n', start), text.size());
    if (start < kShownChanges)
      out += "    " + ChangeLine(text.substr(start, end - start)) + "\n";
    else
      ++lines, keys += text[start] == '[';
  }
  if (lines) {
    out += "    (" + std::to_string(lines) + " more lines, of " + std::to_string(keys) +
           " keys, not shown here; --format json gives them all)\n";
  }
  return out;
}

// One run: its answer (a copy of Stub.dll's, when the file stops it first), `after` it (regsvr32's exit),
// the boxes it shows, its changes.
void TextRun(std::string& out, const char* what, const RunResult& run, bool fileStops,
             const std::string& after) {
  out += std::string(what) + ": " + (fileStops ? "a copy of Stub.dll would answer " : "") +
         DescribeResult(run.result) + after + "\n";
  for (const Box& box : run.boxes) {
    out += "  box \"" + Escaped(box.caption) + "\": " + Escaped(box.text) + "\n";
  }
  if (!run.changes.empty()) out += "  changes (.reg):\n" + Changes(run.changes);
}

void TextInstall(std::string& out, const Report& report, const Install& in) {
  out +=
      "Folder read: " + (in.directory.empty() ? "(none can be named)" : Escaped(Utf8(in.directory))) + "\n";
  if (!in.load.ran) return;
  TextRun(out, "Load", in.load, in.load.fileStops, in.load.fileStops ? "; this file does not load" : "");
  if (in.idsRead) out += "Class identifiers:\n";
  for (std::size_t i = 0; in.idsRead && i < in.ids.size(); ++i) {
    const Place p = i < in.idPlaces.size() ? in.idPlaces[i] : Place();
    const std::string className = Utf8(PackageClasses[i].className);
    out += "  " + className + std::string(className.size() < 10 ? 10 - className.size() : 1, ' ') +
           GuidString(in.ids[i]) + "  " + Utf8(PackageClasses[i].scriptName);
    if (p.line) out += " line " + std::to_string(p.line) + ", column " + std::to_string(p.column);
    out += "\n";
  }
  if (!in.registration.ran) return;
  for (const bool removal : {false, true}) {
    const Regsvr32& p = removal ? report.removing : report.registering;
    const RunResult& run = removal ? in.removal : in.registration;
    const std::string exits = p.command + " exits " + std::to_string(run.exitCode);
    TextRun(out, removal ? "Removal after it" : "Registration", run, run.fileStops,
            (run.fileStops ? "; with this file " : "; ") + exits);
  }
  if (!in.leftBehind.empty()) out += "  left behind:\n";
  for (const LeftKey& k : in.leftBehind) {
    out += "    " + Escaped(Utf8(k.path)) + ": " + Escaped(k.reason) + "\n";
  }
}

// "3 key(s) of HKEY_CLASSES_ROOT; 1 key(s) elsewhere ...", what one export fed.
std::string Fed(const RegistryExport& e) {
  const std::pair<int, const char*> parts[] = {
      {e.classesRoot, "of HKEY_CLASSES_ROOT"},
      {e.machineClasses,
       "of HKEY_LOCAL_MACHINE\\Software\\Classes, the machine's classes, read as HKEY_CLASSES_ROOT"},
      {e.userClasses,
       "of HKEY_CURRENT_USER\\Software\\Classes, the user's classes, kept there and read as "
       "HKEY_CLASSES_ROOT over the machine's (a key both have shows the user's values)"},
      {e.elsewhere, "elsewhere, read where they stand"}};
  std::string out;
  for (const auto& [keys, where] : parts) {
    if (keys) out += (out.empty() ? "" : "; ") + std::to_string(keys) + " key(s) " + where;
  }
  return out.empty() ? "no keys" : out;
}

// What the package is made of: the module file, the scripts, the registry
// the runs start from, and how registration is made.
void TextPackage(std::string& out, const Report& report) {
  const Package& package = *report.package;
  const ModuleFile& m = package.moduleFile;
  out += "Module file: " + Escaped(m.path) + ": " +
         (m.found              ? m.Summary()
          : !m.problem.empty() ? "cannot be read: " + Escaped(m.problem)
                               : std::string("none there (the folder was checked alone)")) +
         "\n";
  if (m.isPe) out += "  architecture: " + m.ArchitectureLine() + "\n";
  std::string exits;
  for (const Regsvr32* p : {&report.registering, &report.removing}) {
    if (p->fileExit < 0) continue;
    exits += (exits.empty() ? "" : ", ") + p->command + " exits " + std::to_string(p->fileExit);
  }
  if (!exits.empty()) {
    out += "  " + exits +
           " before any script runs: the runs below are what a copy of Stub.dll would do "
           "with these scripts\n";
  }
  out += "Scripts read from: " + Escaped(package.realFolder) + "\n";
  for (const ScriptFile& s : package.scripts) {
    out += "  " + s.name + (s.name.size() < 10 ? "      " : "  ");
    if (s.isFolder)
      out += "a folder, not a file\n";
    else if (!s.problem.empty())
      out += "cannot be read: " + Escaped(s.problem) + "\n";
    else if (!s.found)
      out += "missing\n";
    else
      out += std::to_string(s.bytes->size()) + " bytes, " + s.encoding + "\n";
  }
  if (!package.exports.empty()) {
    out += "Registry to start from: ";
    for (std::size_t i = 0; i < package.exports.size(); ++i) {
      out += (i ? ", " : "") + Escaped(package.exports[i].file);
    }
    out += " (" + std::to_string(package.baseKeys) + " keys)\n";
    for (const RegistryExport& e : package.exports) out += "  " + Escaped(e.file) + ": " + Fed(e) + "\n";
    if (std::any_of(package.exports.begin(), package.exports.end(), [](auto& e) { return e.userClasses; })) {
      out +=
          "  Wine differs: its HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\\Software\\Classes alone, with no "
          "per-user merge, so under Wine the user's classes are not part of it\n";
    }
    for (const RegistryExport& e : package.exports) {
      for (const std::string& note : e.notes) out += "  " + Escaped(e.file) + " " + Escaped(note) + "\n";
    }
  }
  if (package.perUser) {
    out +=
        "Registration for the current user (DllInstall(TRUE, \"user\")): the scripts' HKCR and the "
        "category entries go to HKEY_CURRENT_USER\\Software\\Classes. Wine differs: its COM sees only "
        "HKEY_LOCAL_MACHINE\\Software\\Classes, so under Wine clients do not find a per-user "
        "registration\n";
  }
}

}  // namespace

std::string TextDiagnostic(const Finding& f, const std::string* source, const std::string& fallback) {
  // Each part one line, whatever names or script text it holds.
  std::string out = Escaped(f.file.empty() ? fallback : f.file);
  if (f.line) out += ":" + std::to_string(f.line) + ":" + std::to_string(f.column);
  out += std::string(": ") + SeverityName(f.severity) + ": " + Escaped(f.message) + " [" + CodeName(f.code) +
         "]\n";
  const std::string line = source && f.line > 0 ? SourceLine(*source, f.line) : "";
  if (!line.empty()) out += SourceAndCaret(line, f.line, f.column, f.length);
  for (const std::string& note : f.notes) out += "  note: " + Escaped(note) + "\n";
  if (!f.remedy.empty()) out += "  remedy: " + Escaped(f.remedy) + "\n";
  return out;
}

std::string TextReport(const Report& report) {
  const Package& package = *report.package;
  std::string out =
      "stub-check: " + Escaped(package.input) + "\nModule: " + Escaped(package.moduleName) + "\n";
  TextPackage(out, report);
  for (std::size_t i = 0; i < report.installs.size(); ++i) {
    const Install &in = report.installs[i], &first = report.installs[0];
    out += "\n== Installed as " + Escaped(Utf8(in.modulePath)) + "\n";
    const bool same =
        in.load.result == first.load.result && in.registration.result == first.registration.result &&
        in.removal.result == first.removal.result && in.leftBehind.size() == first.leftBehind.size();
    if (i == 0 || !same) {
      TextInstall(out, report, in);
      continue;
    }
    const std::string runs = ", registration " + DescribeResult(in.registration.result) + ", removal " +
                             DescribeResult(in.removal.result);
    out += "Same results as above: load " + DescribeResult(in.load.result) +
           (in.registration.ran ? runs : "") + ".\n";
  }
  out += "\nFindings:\n";
  if (report.findings.empty()) out += "  none\n";
  for (const Finding& f : report.findings) {
    // The finding's file: a script of the package, or one of the report's sources.
    const std::string* source = nullptr;
    for (const ScriptFile& s : package.scripts) source = s.name == f.file && s.found ? s.bytes.get() : source;
    for (const auto& [file, bytes] : report.sources) source = file == f.file ? &bytes : source;
    out += TextDiagnostic(f, f.file.empty() ? nullptr : source, package.moduleName);
  }
  out += "Result: " + std::to_string(report.Errors()) + " error(s), " + std::to_string(report.Warnings()) +
         " warning(s); exit code " + std::to_string(report.ExitCode()) + "\n";
  return ShowBytes(out);
}

}  // namespace check
