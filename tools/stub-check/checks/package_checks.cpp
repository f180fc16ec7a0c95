// Findings about the package as files: the module's name, the scripts'
// encoding, and the class identifiers the module read from them.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "checker.h"
#include "cli/command_line.h"
#include "io/files.h"
#include "package/module_path.h"
#include "package/message_captions.h"
#include "package/package_classes.h"
#include "io/checked_files.h"
#include "text/text.h"

namespace check {
namespace {

// The sample package's identifiers: a package that keeps them collides with
// the sample, and with every other package copied from it.
const char* const kSampleIds[] = {"{049E8873-D5B5-4B2A-853D-BB5599647387}",
                                   "{5703306D-8619-43E8-8C59-A0F2CC622E1E}"};

// "two", as a sentence counts.
std::string CountWord(std::size_t n) {
  static const char* const kWords[] = {"no", "one", "two", "three", "four", "five"};
  return n < std::size(kWords) ? kWords[n] : std::to_string(n);
}


bool StartsWithNoCase(const std::string& text, std::size_t at, const char* word) {
  const std::size_t n = std::strlen(word);
  if (at + n > text.size()) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if ((text[at + i] | 0x20) != (word[i] | 0x20)) return false;
  }
  return true;
}

std::string Excerpt(const std::string& bytes, std::size_t at) {
  std::string out;
  for (std::size_t i = at; i < bytes.size() && out.size() < 24 && bytes[i] != '\r' && bytes[i] != '\n'; ++i) {
    out += bytes[i];
  }
  return out;
}

// What is wrong with the identifier text `id` itself, as CLSIDFromString
// takes it: "{", groups of 8, 4, 4, 4 and 12 hexadecimal digits joined by
// hyphens, "}". `offset` receives where in `id` the fault is.
std::string IdentifierShape(const std::string& id, std::size_t* offset, std::string* remedy) {
  static const std::size_t kGroups[] = {8, 4, 4, 4, 12};
  static const char* const kOrdinals[] = {"first", "second", "third", "fourth", "fifth"};
  *offset = 0;
  *remedy = "write the identifier as {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}: groups of 8, 4, 4, 4 and 12 "
            "hexadecimal digits joined by hyphens, in braces";
  if (id[0] != '{') return "it does not start with '{'";
  const std::size_t close = id.find('}');
  std::vector<std::pair<std::size_t, std::size_t>> groups;  // start, length
  for (std::size_t start = 1;;) {
    const std::size_t end = std::min(id.find('-', start), close == std::string::npos ? id.size() : close);
    groups.push_back({start, end - start});
    if (end >= id.size() || id[end] != '-') break;
    start = end + 1;
  }
  if (groups.size() != std::size(kGroups)) {
    return "it has " + CountWord(groups.size()) + " group" + (groups.size() == 1 ? "" : "s") +
           " of digits, not five (8-4-4-4-12)";
  }
  for (std::size_t g = 0; g < groups.size(); ++g) {
    const std::size_t n = groups[g].second, want = kGroups[g];
    if (n == want) continue;
    *offset = groups[g].first;
    const std::size_t by = n < want ? want - n : n - want;
    *remedy = std::string("give the ") + kOrdinals[g] + " group its " + std::to_string(want) +
              " hexadecimal digits (" + (n < want ? "add the " : "remove the ") + CountWord(by) +
              (n < want ? " missing" : " extra") + "; take the identifier whole from where you made it)";
    return std::string("its ") + kOrdinals[g] + " group, '" + id.substr(groups[g].first, n) + "', has " +
           std::to_string(n) + " digit" + (n == 1 ? "" : "s") + ", " + CountWord(by) +
           (n < want ? " short of " : " more than ") + std::to_string(want);
  }
  *offset = close == std::string::npos ? id.size() : close + 1;
  if (close == std::string::npos) {
    *remedy = "end the identifier with '}' before its closing apostrophe";
    return "it does not end with '}'";
  }
  return close + 1 < id.size() ? "characters follow its '}'" : "CLSIDFromString refuses it";
}

// Why the module's scan read no identifier after CLSID: the character of
// CLSID = s ' it did not find at `at` (`expected`).
std::string ExplainPattern(const std::string& bytes, std::size_t at, char expected, std::string* remedy) {
  const std::string found = at < bytes.size() ? "'" + Excerpt(bytes, at).substr(0, 1) + "'" : "the end of the file";
  if (expected == 's' && found == "'S'") {
    *remedy = "write the type letter as a lower-case s: CLSID = s '{...}'";
    return "the type letter is 'S': the module reads only a lower-case s";
  }
  const std::string want = expected == '\'' ? std::string("an apostrophe") : std::string("'") + expected + "'";
  return "after CLSID the module expects " + want + " (CLSID = s '{...}') and finds " + found;
}

// Why the identifier the scan read, [start, end) of `bytes`, is none.
std::string ExplainRead(const std::string& bytes, std::size_t start, std::size_t end, Place* place,
                        std::string* remedy) {
  const std::string id = bytes.substr(start, end - start);
  const char stop = end < bytes.size() ? bytes[end] : '\'';
  if (id.empty() || (stop != '\'' && !std::strchr(" \t\r\n\v\f", stop))) {
    *place = PlaceOf(bytes, end);
    const std::size_t n = Utf8Sequence(bytes, end);
    *remedy = "write the identifier with hexadecimal digits (0-9, A-F), hyphens and braces only";
    return "the scan stops at '" + ShowBytes(bytes.substr(end, n ? n : 1)) +
           "': an identifier holds only hexadecimal digits, hyphens and braces, so the module reads '" + id +
           "' (" + std::to_string(id.size()) + " characters, of 38)";
  }
  std::size_t offset = 0;
  const std::string shape = IdentifierShape(id, &offset, remedy);
  *place = PlaceOf(bytes, start + offset);
  const std::size_t off = id.size() < 38 ? 38 - id.size() : id.size() - 38;
  const std::string length = id.size() == 38 ? "38 characters"
                                             : std::to_string(id.size()) + " characters, " + CountWord(off) +
                                                   (id.size() < 38 ? " short of 38" : " more than 38");
  return "the identifier '" + id + "' is " + length + ": " + shape;
}

// Why the module's identifier scan of `bytes` found no identifier, from where
// and why the module reported it stopped.
std::string ExplainIdentifier(const std::string& bytes, const std::string& name, const ClassIdScan& scan,
                              Place* place, std::string* remedy, std::vector<std::string>* notes) {
  if (scan.afterBraces < 0) {
    *place = {0, 0};
    return "the module reads the identifier right after the second '{' of the file, and " + name +
           " has fewer than two";
  }
  if (scan.identifierStart >= 0) {
    return ExplainRead(bytes, TextModeOffset(bytes, scan.identifierStart), TextModeOffset(bytes, scan.stop), place,
                       remedy);
  }
  const std::size_t at = TextModeOffset(bytes, scan.stop);
  const char* const word = "CLSID";
  const char* letter = scan.expected ? std::strchr(word, scan.expected) : nullptr;
  if (!letter) {
    *place = PlaceOf(bytes, at);
    return ExplainPattern(bytes, at, scan.expected, remedy);
  }
  // The word itself, from where it starts: the scan matched it up to `at`.
  const std::size_t start = at - static_cast<std::size_t>(letter - word);
  *place = PlaceOf(bytes, start);
  if (StartsWithNoCase(bytes, start, word)) {
    return "the word CLSID after the second '{' is written '" + bytes.substr(start, 5) +
           "': the module reads it only in upper case";
  }
  const std::size_t elsewhere = bytes.find("CLSID = s '{");
  if (elsewhere != std::string::npos) {
    notes->push_back("the identifier at line " + std::to_string(PlaceOf(bytes, elsewhere).line) +
                     " is not where the module looks: put the ProgID block, whose block holds the CLSID "
                     "value, first in the file");
  }
  return "right after the second '{' of the file the module finds '" + Excerpt(bytes, start) +
         "' instead of CLSID = s '{...}'";
}

// UTF-16 without a byte-order mark: most of the first pairs of bytes are a
// character and a NUL (or, big-endian, the other way round). UTF-8 text has no
// NUL bytes at all, so no script written as UTF-8 is taken for it.
bool LooksUtf16(const std::string& b) {
  const std::size_t pairs = std::min<std::size_t>(b.size(), 4096) / 2;
  if (pairs < 2) return false;
  std::size_t little = 0, big = 0;
  for (std::size_t i = 0; i < pairs; ++i) {
    const bool low = b[2 * i] != 0, high = b[2 * i + 1] != 0;
    little += low && !high;
    big += high && !low;
  }
  return 4 * little >= 3 * pairs || 4 * big >= 3 * pairs;
}

bool HasByteOrderMark16(const std::string& b) {
  return b.size() >= 2 && ((b[0] == '\xFF' && b[1] == '\xFE') || (b[0] == '\xFE' && b[1] == '\xFF'));
}

}  // namespace

void FindScript(const std::string& folder, ScriptFile* script) {
  namespace fs = std::filesystem;
  std::error_code error;
  script->realPath = folder + script->name;
  fs::directory_iterator entries(io::PathOf(folder), error);
  if (error) {
    // No folder at all is a missing script (the module's box says so); a
    // folder that is there but cannot be listed, or a file in its place, is
    // told with the reason.
    std::error_code there;
    const std::string name = folder.substr(0, folder.size() - 1);
    if (fs::exists(fs::symlink_status(io::PathOf(name), there))) {
      script->problem = fs::is_directory(io::PathOf(name), there)
                            ? "the package folder " + name + " cannot be read: " + error.message()
                            : "the package folder " + name + " is not a folder (" + error.message() + ")";
    }
    return;
  }
  for (const auto& entry : entries) {
    const std::string entryName = io::TextOf(entry.path().filename());
    if (Lower(entryName) != Lower(script->name)) continue;
    script->realPath = folder + entryName;
    if (entry.is_directory(error)) {
      script->isFolder = true;
      return;
    }
    std::string bytes;
    script->found = ReadRegularFile(script->realPath, kScriptSizeLimit, &bytes, &script->problem,
                                    &script->tooLarge);
    if (script->found) script->encoding = DescribeEncoding(bytes);
    script->bytes = std::make_shared<const std::string>(std::move(bytes));
    return;
  }
}


namespace {

// The UTF-16 units of `text` as the module counts them: a character beyond the
// Basic Multilingual Plane is two, a byte that is no UTF-8 one; `ends` (when
// given) receives the byte offset after each character.
std::size_t Utf16Units(const std::string& text, std::vector<std::pair<std::size_t, std::size_t>>* ends = nullptr) {
  std::size_t units = 0;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = Utf8Sequence(text, i);
    units += n == 4 ? 2 : 1;
    i += n ? n : 1;
    if (ends) ends->push_back({units, i});
  }
  return units;
}

}  // namespace

std::string PackageFolderOf(const std::string& modulePath) {
  std::vector<std::pair<std::size_t, std::size_t>> ends;  // (units, bytes) after each character
  const std::size_t keep = PackageFolderLength(Utf16Units(modulePath, &ends));
  std::size_t bytes = 0;
  for (const auto& [units, end] : ends) {
    if (units > keep) break;
    bytes = end;
  }
  return modulePath.substr(0, bytes) + "/";
}

std::string ScriptNames() {
  std::string names;
  for (std::size_t i = 0; i < std::size(PackageClasses); ++i) {
    names += i == 0 ? "" : i + 1 == std::size(PackageClasses) ? " and " : ", ";
    names += Utf8(PackageClasses[i].scriptName);
  }
  return names;
}

namespace {

// One script of each row of PackageClasses, named, not yet read.
std::vector<ScriptFile> NamedScripts() {
  std::vector<ScriptFile> scripts(std::size(PackageClasses));
  for (std::size_t i = 0; i < scripts.size(); ++i) scripts[i].name = Utf8(PackageClasses[i].scriptName);
  return scripts;
}

// The module's name decides its folder and whether Windows can load it at all.
void CheckModuleName(const Package& package, const Install& first, std::vector<Finding>* findings) {
  const std::string& name = package.moduleName;
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos) {
    findings->push_back(
        {Severity::kError, "no-extension", "", 0, 0,
         "the module's file name '" + name + "' has no extension: Windows' loader adds .dll to a "
         "module name without one, finds no such file, and regsvr32 exits 3 without any box",
         "name the copy <Package>.dll (a trailing point, regsvr32 " + name + "., also loads it)"});
  } else if (dot == 0) {
    findings->push_back(
        {Severity::kWarning, "name-is-extension", "", 0, 0,
         "the module's file name '" + name + "' is all extension: the folder named after it is "
         "empty, so this copy reads its scripts from its own folder, " + Utf8(first.directory),
         "name the copy <Package>.dll"});
  } else if (Utf16Units(name.substr(dot)) != 4) {
    findings->push_back(
        {Severity::kWarning, "extension-length", "", 0, 0,
         "the module's extension '" + name.substr(dot) + "' is not four characters: the folder is "
         "the whole path less its last four characters, so this copy reads " +
             Utf8(first.directory),
         "name the copy <Package>.dll"});
  }

}

// Scripts that are there but cannot be read (the folder's problem once).
void CheckScriptsReadable(const Package& package, std::vector<Finding>* findings) {
  std::string folderProblem;
  for (const ScriptFile& s : package.scripts) {
    if (s.problem.empty() || s.problem == folderProblem) continue;
    if (s.problem.rfind("the package folder ", 0) == 0) {
      folderProblem = s.problem;
      findings->push_back({Severity::kError, "script-unreadable", "", 0, 0,
                           s.problem + ": no script of the package can be read",
                           "make " + package.realFolder + " the package folder, holding " + ScriptNames() +
                               ", readable by the user"});
    } else if (s.tooLarge) {
      findings->push_back({Severity::kError, "script-too-large", s.name, 0, 0,
                           s.realPath + " is not checked: " + s.problem + " (a real script is a few KB)",
                           "keep only the package's keys in the script; a script this large is "
                           "most probably another file saved under its name"});
    } else {
      findings->push_back({Severity::kError, "script-unreadable", s.name, 0, 0,
                           s.realPath + " is there but cannot be read: " + s.problem,
                           "make " + s.realPath + " a regular file the user can read"});
    }
  }
}

// How each script is saved: UTF-16, a byte-order mark, NUL bytes, bytes that are no UTF-8.
void CheckEncodings(const Package& package, std::vector<Finding>* findings) {
  for (const ScriptFile& s : package.scripts) {
    if (!s.found) continue;
    const std::string& b = *s.bytes;
    if (HasByteOrderMark16(b) || LooksUtf16(b)) {
      findings->push_back({Severity::kError, "utf16", s.name, 1, 1,
                           std::string("the script is saved as UTF-16") +
                               (HasByteOrderMark16(b) ? "" : " (without a byte-order mark)") +
                               ": the module reads it as UTF-8, so nothing in it is understood",
                           "save it as UTF-8 without a byte-order mark"});
      continue;
    }
    if (b.compare(0, 3, "\xEF\xBB\xBF") == 0) {
      findings->push_back({Severity::kWarning, "byte-order-mark", s.name, 1, 1,
                           "the script starts with a UTF-8 byte-order mark: it stays as U+FEFF in "
                           "front of the first root key name; Windows passes over it, other tools may not",
                           "save it as UTF-8 without a byte-order mark"});
    }
    int reported = 0;
    for (std::size_t i = 0; i < b.size();) {
      if (b[i] == 0) {
        const Place p = PlaceOf(b, i);
        findings->push_back({Severity::kWarning, "nul-byte", s.name, p.line, p.column,
                             "a NUL byte: the module's text ends here, and nothing after it is run",
                             "remove the NUL byte"});
        break;
      }
      const std::size_t n = Utf8Sequence(b, i);
      if (n) {
        i += n;
        continue;
      }
      if (reported++ < 3) {
        const Place p = PlaceOf(b, i);
        char hex[8];
        std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned char>(b[i]));
        findings->push_back({Severity::kWarning, "not-utf8", s.name, p.line, p.column,
                             std::string("byte 0x") + hex + " is not UTF-8 (Latin-1 or a code page?): the "
                             "module reads it as U+FFFD, the replacement character",
                             "save the script as UTF-8"});
      }
      ++i;
    }
  }

}

// The identifier the module could not read, explained from its scan.
void CheckIdentifierRead(const Package& package, const Install& first, std::vector<Finding>* findings) {
  if (first.load.ran && FAILED(first.load.result)) {
    for (const Box& box : first.load.boxes) {
      if (box.caption != Utf8(kBadIdentifierCaption)) continue;
      for (const ScriptFile& s : package.scripts) {
        // The box belongs to the script the module was reading.
        if (!s.found || s.name != first.load.lastScript) continue;
        Place p;
        std::string remedy = kIdentifierRemedy;
        const std::size_t row = static_cast<std::size_t>(&s - package.scripts.data());
        std::vector<std::string> notes;
        const std::string why = ExplainIdentifier(*s.bytes, s.name, first.scans[row], &p, &remedy, &notes);
        findings->push_back({Severity::kError, "identifier", s.name, p.line, p.column,
                             "no class identifier where the module reads it: " + why, remedy});
        findings->back().notes = std::move(notes);
        break;
      }
    }
  }
}

// Identifiers read: one shared by both scripts, or the sample's kept.
void CheckIdentifiersRead(const Package& package, const Install& first, std::vector<Finding>* findings) {
  const std::string& name = package.moduleName;
  const std::size_t dot = name.rfind('.');
  if (first.idsRead) {
    for (std::size_t j = 0; j < first.ids.size(); ++j) {
      for (std::size_t i = 0; i < j; ++i) {
        if (GuidString(first.ids[i]) != GuidString(first.ids[j])) continue;
        findings->push_back({Severity::kError, "same-identifier", Utf8(PackageClasses[j].scriptName), 0, 0,
                             "both scripts name the class identifier " + GuidString(first.ids[j]) + ": the " +
                                 Utf8(PackageClasses[i].className) + " and " +
                                 Utf8(PackageClasses[j].className) + " classes become one class",
                             "give each script its own fresh identifier"});
        break;
      }
    }
    const std::string stem = Lower(name.substr(0, dot == std::string::npos ? name.size() : dot));
    bool sample = false;
    for (const GUID& id : first.ids) {
      for (const char* sampleId : kSampleIds) sample = sample || GuidString(id) == sampleId;
    }
    if (stem != "aurora" && sample) {
      findings->push_back({Severity::kError, "sample-identifier", "", 0, 0,
                           "the package keeps the sample package's class identifiers: it and "
                           "every package copied the same way register the same classes",
                           "make " + CountWord(std::size(PackageClasses)) +
                               " fresh identifiers (cat /proc/sys/kernel/random/uuid on Linux, or [guid]::NewGuid() in PowerShell)"});
    }
  }
}

}  // namespace

bool LoadPackage(const std::string& input, Package* package, std::string* problem) {
  namespace fs = std::filesystem;
  package->input = input;
  std::error_code error;
  std::string path = input, modulePath;
  while (path.size() > 1 && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  const fs::file_status status = fs::status(io::PathOf(path), error);
  if (fs::is_directory(status)) {
    // The package folder: the module copy would stand beside it as <folder>.dll.
    // "." or "Aurora/." names the folder by where it is: its own name is the package's.
    std::string name = io::FileName(path);
    std::string beside = path;
    if (name.empty() || name == "." || name == "..") {
      fs::path whole = fs::absolute(io::PathOf(path), error).lexically_normal();
      if (!whole.has_filename()) whole = whole.parent_path();
      name = io::TextOf(whole.filename());
      beside = io::TextOf(whole);
    }
    package->moduleName = name + ".dll";
    package->realFolder = path + "/";
    modulePath = beside + ".dll";
  } else if (fs::exists(status)) {
    // The module copy: its folder is the one the module derives from its path.
    package->moduleName = io::FileName(path);
    modulePath = path;
    package->realFolder = PackageFolderOf(path);
  } else {
    *problem = Quoted(input) + ": " +
               (error && error != std::errc::no_such_file_or_directory ? error.message()
                                                                       : std::string("no such file or folder")) +
               "; name the module copy (Aurora.dll) or its package folder";
    return false;
  }
  package->scripts = NamedScripts();
  for (ScriptFile& script : package->scripts) FindScript(package->realFolder, &script);

  // The module copy itself; a folder checked alone may have none beside it yet.
  std::string bytes, reason;
  const bool there = fs::exists(io::PathOf(modulePath), error);
  const bool found = there && ReadRegularFile(modulePath, kModuleSizeLimit, &bytes, &reason);
  package->moduleFile = ReadModuleFile(modulePath, found, bytes);
  if (there && !found) package->moduleFile.problem = reason;
  return true;
}

Package PackageOfScripts(const std::string& moduleName, const std::vector<std::string>& scripts) {
  Package package;
  package.input = moduleName;
  package.moduleName = moduleName;
  package.scripts = NamedScripts();
  for (std::size_t i = 0; i < package.scripts.size() && i < scripts.size(); ++i) {
    ScriptFile& s = package.scripts[i];
    s.found = true;
    s.bytes = std::make_shared<const std::string>(scripts[i]);
    s.encoding = DescribeEncoding(scripts[i]);
  }
  return package;
}


const char kIdentifierRemedy[] =
    "write CLSID = s '{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}' (CLSID in upper case, a lower-case "
    "s, a braced identifier of 38 characters) right after the file's second '{': the ProgID "
    "block, whose block holds that CLSID value, comes first in the file";

bool ToldByScriptProblem(const Package& package, const Finding& f) {
  if (f.code != "load-fails") return false;
  for (const ScriptFile& s : package.scripts) {
    if (!s.problem.empty() && f.Arg("script") == s.name) return true;
  }
  return false;
}

void CheckPackage(const Package& package, const Install& first, std::vector<Finding>* findings) {
  CheckModuleName(package, first, findings);
  CheckScriptsReadable(package, findings);
  CheckEncodings(package, findings);
  CheckIdentifierRead(package, first, findings);
  CheckIdentifiersRead(package, first, findings);
}

std::string DescribeEncoding(const std::string& b) {
  if (HasByteOrderMark16(b)) return "UTF-16 (the module reads UTF-8)";
  if (LooksUtf16(b)) return "UTF-16 without a byte-order mark (the module reads UTF-8)";
  const bool bom = b.compare(0, 3, "\xEF\xBB\xBF") == 0;
  bool ascii = true;
  for (std::size_t i = 0; i < b.size();) {
    const std::size_t n = Utf8Sequence(b, i);
    if (n == 0) {
      const Place p = PlaceOf(b, i);
      return "not UTF-8 (first at line " + std::to_string(p.line) + ", column " +
             std::to_string(p.column) + ")";
    }
    ascii = ascii && n == 1;
    i += n;
  }
  if (bom) return "UTF-8 with a byte-order mark";
  return ascii ? "ASCII (UTF-8 without a byte-order mark)" : "UTF-8 without a byte-order mark";
}

Place IdentifierPlace(const std::string& bytes, const ClassIdScan& scan) {
  if (scan.identifierStart < 0) return {};
  return PlaceOf(bytes, TextModeOffset(bytes, scan.identifierStart));
}

}  // namespace check
