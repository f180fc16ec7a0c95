// The checker's report, for a person (text) or for a build script (JSON).
#include <cstdint>
#include <cstdio>

#include "checker.h"
#include "report/diagnostic.h"
#include "io/checked_files.h"
#include "text/text.h"
#include "package/class_identity.h"
#include "package/package_classes.h"
#include "platform/emulated/emulator.h"

namespace check {

std::string ResultName(HRESULT value) {
  struct Row {
    HRESULT value;
    const char* name;
  };
  static const Row kNames[] = {
      {S_OK, "S_OK"},
      {S_FALSE, "S_FALSE"},
      {E_FAIL, "E_FAIL"},
      {E_INVALIDARG, "E_INVALIDARG"},
      {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
      {E_UNEXPECTED, "E_UNEXPECTED"},
      {DISP_E_EXCEPTION, "DISP_E_EXCEPTION"},
      {DISP_E_TYPEMISMATCH, "DISP_E_TYPEMISMATCH"},
      {DISP_E_OVERFLOW, "DISP_E_OVERFLOW"},
      {CO_E_CLASSSTRING, "CO_E_CLASSSTRING"},
      {static_cast<HRESULT>(0x80070005L), "E_ACCESSDENIED"},
      {static_cast<HRESULT>(0x8007007AL), "HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)"},
  };
  for (const Row& row : kNames) {
    if (row.value == value) return row.name;
  }
  return "";
}

std::string DescribeResult(HRESULT value) {
  const std::string name = ResultName(value);
  if (value == S_OK) return "S_OK";
  return name.empty() ? Hex32(value) : name + " (" + Hex32(value) + ")";
}

int Report::Errors() const {
  int n = 0;
  for (const Finding& f : findings) n += f.severity == Severity::kError;
  return n;
}

int Report::Warnings() const {
  int n = 0;
  for (const Finding& f : findings) n += f.severity == Severity::kWarning;
  return n;
}

namespace {

// `text`, each line after `prefix`. Past `limit` bytes the rest is counted,
// not shown: a note says how many lines and keys ([...] lines) it holds.
std::string Indent(const std::string& text, const std::string& prefix,
                   std::size_t limit = std::string::npos) {
  std::string out;
  std::size_t start = 0;
  while (start < text.size() && start < limit) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    out += prefix + text.substr(start, end - start) + "\n";
    start = end + 1;
  }
  if (start < text.size()) {
    std::size_t lines = 0, keys = 0;
    for (std::size_t i = start; i < text.size(); i = text.find('\n', i) + 1) {
      ++lines;
      keys += text[i] == '[';
      if (text.find('\n', i) == std::string::npos) break;
    }
    out += prefix + "(" + std::to_string(lines) + " more lines, of " + std::to_string(keys) +
           " keys, not shown here; --format json gives them all)\n";
  }
  return out;
}

// The most of a run's changes the text report shows: a person reads no
// further, and a script whose keys nest deep repeats each key's whole path.
constexpr std::size_t kShownChanges = 256 * 1024;

bool SameOutcome(const Install& a, const Install& b) {
  return a.load.result == b.load.result && a.registration.result == b.registration.result &&
         a.removal.result == b.removal.result && a.leftBehind.size() == b.leftBehind.size();
}

const char* RegisterProgram(const Package& package) {
  return package.perUser ? "regsvr32 /n /i:user" : "regsvr32";
}
const char* RemoveProgram(const Package& package) {
  return package.perUser ? "regsvr32 /u /n /i:user" : "regsvr32 /u";
}

// "3 keys of HKEY_CLASSES_ROOT, 1 elsewhere", what one export fed.
std::string Fed(const RegistryExport& e) {
  std::string out;
  auto part = [&](int n, const std::string& what) {
    if (n) out += (out.empty() ? "" : "; ") + std::to_string(n) + " key(s) " + what;
  };
  part(e.classesRoot, "of HKEY_CLASSES_ROOT");
  part(e.machineClasses,
       "of HKEY_LOCAL_MACHINE\\Software\\Classes, the machine's classes, read as HKEY_CLASSES_ROOT");
  part(e.userClasses,
       "of HKEY_CURRENT_USER\\Software\\Classes, the user's classes, kept there and read as "
       "HKEY_CLASSES_ROOT over the machine's (a key both have shows the user's values)");
  part(e.elsewhere, "elsewhere, read where they stand");
  return out.empty() ? "no keys" : out;
}

bool AnyUserClasses(const Package& package) {
  for (const RegistryExport& e : package.exports) {
    if (e.userClasses) return true;
  }
  return false;
}

constexpr char kWineClassesNote[] =
    "Wine differs: its HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\\Software\\Classes alone, with no "
    "per-user merge, so under Wine the user's classes are not part of it";
constexpr char kPerUserNote[] =
    "for the current user (DllInstall(TRUE, \"user\")): the scripts' HKCR and the category entries "
    "go to HKEY_CURRENT_USER\\Software\\Classes. Wine differs: its COM sees only "
    "HKEY_LOCAL_MACHINE\\Software\\Classes, so under Wine clients do not find a per-user "
    "registration";

// Exit codes regsvr32 gives before any script runs, or empty.
std::string ModuleExits(const Package& package) {
  const ModuleFile& m = package.moduleFile;
  const int reg = m.Exit(package.perUser ? "DllInstall" : "DllRegisterServer");
  const int rem = m.Exit(package.perUser ? "DllInstall" : "DllUnregisterServer");
  if (reg < 0 && rem < 0) return "";
  std::string out;
  if (reg >= 0) out += std::string(RegisterProgram(package)) + " exits " + std::to_string(reg);
  if (rem >= 0) {
    out += std::string(out.empty() ? "" : ", ") + RemoveProgram(package) + " exits " + std::to_string(rem);
  }
  return out + " before any script runs: the runs below are what a copy of Stub.dll would do "
               "with these scripts";
}

// `fileExit`: what regsvr32 gives for a module file that is not a loadable
// copy of Stub.dll (-1 for one that is).
void TextRun(std::string& out, const char* what, const RunResult& run, const char* program,
             int fileExit = -1) {
  if (fileExit >= 0) {
    out += std::string(what) + ": a copy of Stub.dll would answer " + DescribeResult(run.result) +
           "; with this file " + program + " exits " + std::to_string(run.exitCode) + "\n";
  } else {
    out += std::string(what) + ": " + DescribeResult(run.result) + "; " + program + " exits " +
           std::to_string(run.exitCode) + "\n";
  }
  for (const Box& box : run.boxes) {
    out += "  box \"" + box.caption + "\": " + box.text + "\n";
  }
  if (!run.changes.empty()) out += "  changes (.reg):\n" + Indent(run.changes, "    ", kShownChanges);
}

void TextInstall(std::string& out, const Package& package, const Install& in) {
  out += "Folder read: " + (in.directory.empty() ? std::string("(none can be named)") : Utf8(in.directory)) + "\n";
  if (!in.load.ran) return;
  if (package.moduleFile.Exit("DllGetClassObject") == 3) {
    out += "Load: a copy of Stub.dll would answer " + DescribeResult(in.load.result) +
           "; this file does not load\n";
  } else {
    out += "Load: " + DescribeResult(in.load.result) + "\n";
  }
  for (const Box& box : in.load.boxes) out += "  box \"" + box.caption + "\": " + box.text + "\n";
  if (in.idsRead) {
    out += "Class identifiers:\n";
    for (std::size_t i = 0; i < in.ids.size(); ++i) {
      const std::string id = GuidString(in.ids[i]);
      const Place p = i < package.scripts.size() ? IdentifierPlace(*package.scripts[i].bytes, in.scans[i]) : Place();
      const std::string className = Utf8(PackageClasses[i].className);
      out += "  " + className + std::string(className.size() < 10 ? 10 - className.size() : 1, ' ') + id + "  " +
             Utf8(PackageClasses[i].scriptName);
      if (p.line) out += " line " + std::to_string(p.line) + ", column " + std::to_string(p.column);
      out += "\n";
    }
  }
  if (!in.registration.ran) return;
  const ModuleFile& m = package.moduleFile;
  TextRun(out, "Registration", in.registration, RegisterProgram(package),
          m.Exit(package.perUser ? "DllInstall" : "DllRegisterServer"));
  TextRun(out, "Removal after it", in.removal, RemoveProgram(package),
          m.Exit(package.perUser ? "DllInstall" : "DllUnregisterServer"));
  if (!in.leftBehind.empty()) {
    out += "  left behind:\n";
    for (const LeftKey& k : in.leftBehind) out += "    " + Utf8(k.path) + ": " + k.reason + "\n";
  }
}

}  // namespace

std::string TextReport(const Report& report) {
  const Package& package = *report.package;
  std::string out = "stub-check: " + package.input + "\n";
  out += "Module: " + package.moduleName + "\n";
  const ModuleFile& m = package.moduleFile;
  out += "Module file: " + m.path + ": " +
         (m.found ? m.Summary()
                  : !m.problem.empty() ? "cannot be read: " + m.problem
                                       : std::string("none there (the folder was checked alone)")) +
         "\n";
  if (m.isPe) out += "  architecture: " + m.ArchitectureLine() + "\n";
  const std::string exits = ModuleExits(package);
  if (!exits.empty()) out += "  " + exits + "\n";
  out += "Scripts read from: " + package.realFolder + "\n";
  for (const ScriptFile& s : package.scripts) {
    out += "  " + s.name + (s.name.size() < 10 ? "      " : "  ");
    if (s.isFolder) out += "a folder, not a file\n";
    else if (!s.problem.empty()) out += "cannot be read: " + s.problem + "\n";
    else if (!s.found) out += "missing\n";
    else out += std::to_string(s.bytes->size()) + " bytes, " + s.encoding + "\n";
  }
  if (!package.exports.empty()) {
    out += "Registry to start from: ";
    for (std::size_t i = 0; i < package.exports.size(); ++i) out += (i ? ", " : "") + package.exports[i].file;
    out += " (" + std::to_string(package.baseKeys) + " keys)\n";
    for (const RegistryExport& e : package.exports) out += "  " + e.file + ": " + Fed(e) + "\n";
    if (AnyUserClasses(package)) out += std::string("  ") + kWineClassesNote + "\n";
    for (const RegistryExport& e : package.exports) {
      for (const std::string& note : e.notes) out += "  " + e.file + " " + note + "\n";
    }
  }
  if (package.perUser) out += std::string("Registration ") + kPerUserNote + "\n";
  for (std::size_t i = 0; i < report.installs.size(); ++i) {
    const Install& in = report.installs[i];
    out += "\n== Installed as " + Utf8(in.modulePath) + "\n";
    if (i > 0 && SameOutcome(in, report.installs[0])) {
      out += "Same results as above: load " + DescribeResult(in.load.result);
      if (in.registration.ran) {
        out += ", registration " + DescribeResult(in.registration.result) + ", removal " +
               DescribeResult(in.removal.result);
      }
      out += ".\n";
      continue;
    }
    TextInstall(out, package, in);
  }
  out += "\nFindings:\n";
  if (report.findings.empty()) out += "  none\n";
  for (const Finding& f : report.findings) out += TextDiagnostic(f, report.SourceOf(f.file), package.moduleName);
  out += "Result: " + std::to_string(report.Errors()) + " error(s), " +
         std::to_string(report.Warnings()) + " warning(s); exit code " +
         std::to_string(report.ExitCode()) + "\n";
  return ShowBytes(out);
}

const std::string* Report::SourceOf(const std::string& name) const {
  if (name.empty()) return nullptr;
  for (const SourceFile& source : sources) {
    if (source.file == name) return &source.bytes;
  }
  for (const ScriptFile& script : package->scripts) {
    if (script.name == name && script.found) return script.bytes.get();
  }
  return nullptr;
}

}  // namespace check
