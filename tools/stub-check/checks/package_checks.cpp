// The package as files (the module's name, the scripts and their encoding,
// the class identifiers the module read from them) and the findings about it.
#include <algorithm>
#include <cstring>
#include <filesystem>

#include "checks/package.h"
#include "findings/finding.h"
#include "io/checked_files.h"
#include "io/file_system.h"
#include "io/files.h"
#include "module/module_file.h"
#include "module/module_sources.h"
#include "package/message_captions.h"
#include "package/module_path.h"
#include "package/package_classes.h"
#include "stub/stub_script_values.h"
#include "text/identifiers.h"
#include "text/text.h"

namespace check {
namespace {
namespace fs = std::filesystem;

std::string CountWord(std::size_t n) {
  static const char* const kWords[] = {"no", "one", "two", "three", "four", "five"};
  return n < std::size(kWords) ? kWords[n] : std::to_string(n);
}

// "one short of 4", "89 more than 38": a count of `n` against the `want` it should be.
std::string Off(std::size_t n, std::size_t want) {
  return CountWord(n < want ? want - n : n - want) + (n < want ? " short of " : " more than ") +
         std::to_string(want);
}

// Why the identifier the scan read, [start, end) of `bytes`, is none: the character the scan
// stopped at, or its shape as CLSIDFromString takes it: "{", groups of 8, 4, 4, 4 and 12
// hexadecimal digits joined by hyphens, "}". Sets `f`'s message, remedy and notes; answers the place.
std::size_t ExplainRead(const std::string& bytes, std::size_t start, std::size_t end, Finding* f) {
  static const std::size_t kGroups[] = {8, 4, 4, 4, 12};
  static const char* const kOrdinals[] = {"first", "second", "third", "fourth", "fifth"};
  static_assert(std::size(kOrdinals) == std::size(kGroups), "an ordinal for each group");
  const std::string id = bytes.substr(start, end - start);
  // The scan stops at the closing apostrophe, at a blank, at a character no
  // identifier holds, or, past its capacity, inside the identifier.
  const char stop = end < bytes.size() ? bytes[end] : '\'';
  if (id.empty() || stop == 0 || !std::strchr("0123456789abcdefABCDEF-{}' \t\r\n\v\f", stop)) {
    const std::size_t n = Utf8Sequence(bytes, end);
    f->message = "the scan stops at '" + ShowBytes(bytes.substr(end, n ? n : 1)) +
                 "': not a hexadecimal digit, hyphen or brace";
    f->notes.push_back("the module reads '" + id + "' (" + std::to_string(id.size()) + " characters, of 38)");
    f->remedy = "write the identifier with hexadecimal digits (0-9, A-F), hyphens and braces only";
    return end;
  }
  f->notes.push_back("the identifier '" + id + "' is " + std::to_string(id.size()) + " characters" +
                     (id.size() == 38 ? "" : ", " + Off(id.size(), 38)));
  f->remedy =
      "write the identifier as {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}: groups of 8, 4, 4, 4 and 12 "
      "hexadecimal digits joined by hyphens, in braces";
  const std::size_t close = std::min(id.find('}'), id.size());
  std::vector<std::size_t> starts = {1};  // of each group, and one past the last group's end
  for (std::size_t dash; (dash = id.find('-', starts.back())) < close;) starts.push_back(dash + 1);
  starts.push_back(close + 1);
  const std::size_t count = starts.size() - 1;
  if (id[0] != '{' || count != std::size(kGroups)) {
    f->message = id[0] != '{' ? "the identifier does not start with '{'"
                              : "the identifier has " + CountWord(count) + " group" +
                                    (count == 1 ? "" : "s") + " of digits, not five (8-4-4-4-12)";
    return start;
  }
  for (std::size_t g = 0; g < count; ++g) {
    const std::size_t at = starts[g], n = starts[g + 1] - 1 - at, want = kGroups[g];
    if (n == want) continue;
    f->remedy = std::string("give the ") + kOrdinals[g] + " group its " + std::to_string(want) +
                " hexadecimal digits (" + (n < want ? "add the " : "remove the ") +
                CountWord(n < want ? want - n : n - want) + (n < want ? " missing" : " extra") +
                "; take the identifier whole from where you made it)";
    f->message = std::string("the identifier's ") + kOrdinals[g] + " group, '" + id.substr(at, n) +
                 "', has " + std::to_string(n) + " digit" + (n == 1 ? "" : "s") + ", " + Off(n, want);
    return start + at;
  }
  if (close == id.size()) {
    f->message = "the identifier does not end with '}'";
    f->remedy = "end the identifier with '}' before its closing apostrophe";
    return end;
  }
  f->message =
      close + 1 < id.size() ? "characters follow the identifier's '}'" : "CLSIDFromString refuses it";
  return start + close + 1;
}

// The finding of a script whose identifier the module could not read, explained from where and
// why its scan stopped: in the identifier it read, or at the character of CLSID = s ' it expected.
Finding IdentifierFinding(const ScriptFile& s, const ClassIdScan& scan) {
  static const char kWhere[] = "the module reads the identifier right after the second '{' of the file";
  // The module's lead without its leading blank ("CLSID = s '"), and its word.
  static const std::string kLead = std::string(STUB_SCRIPT_CLASSID_LEAD).substr(1);
  static const std::string kWord = kLead.substr(0, kLead.find(' '));
  Finding f = Noted(FindingCode::kIdentifier, s.name, {}, "", kIdentifierRemedy,
                    {"the module finds no class identifier where it reads one"});
  const std::string& bytes = *s.bytes;
  // The text from `at` to the end of its line, at most 24 bytes.
  auto excerpt = [&](std::size_t at) {
    return at < bytes.size() ? bytes.substr(at, std::min(bytes.find_first_of("\r\n", at), at + 24) - at) : "";
  };
  const std::size_t at = TextModeOffset(bytes, scan.stop), word = bytes.find(kLead + "{");
  const std::size_t letter = scan.expected ? kWord.find(scan.expected) : std::string::npos;
  // The word itself starts before the letter the scan stopped at.
  const std::size_t start = letter != std::string::npos ? at - letter : at;
  std::size_t place = start;
  if (scan.afterBraces < 0) {
    f.message = s.name + " has fewer than two '{'";
    f.notes.push_back(kWhere);
    return f;
  } else if (scan.identifierStart >= 0) {
    place = ExplainRead(bytes, TextModeOffset(bytes, scan.identifierStart), at, &f);
  } else if (letter == std::string::npos && scan.expected == 's' && at < bytes.size() && bytes[at] == 'S') {
    f.message = "the type letter is 'S': the module reads only a lower-case s";
    f.remedy = "write the type letter as a lower-case s: CLSID = s '{...}'";
  } else if (letter == std::string::npos) {
    f.message =
        "after CLSID the module expects " +
        (scan.expected == '\'' ? std::string("an apostrophe") : "'" + std::string(1, scan.expected) + "'") +
        " and finds " + (at < bytes.size() ? "'" + excerpt(at).substr(0, 1) + "'" : "the end of the file");
    f.notes.push_back("the module reads CLSID = s '{...}'");
  } else if (Lower(bytes.substr(start, kWord.size())) == Lower(kWord)) {
    f.message = "the word " + kWord + " is written '" + bytes.substr(start, kWord.size()) +
                "': the module reads it only in upper case";
  } else {
    f.message = "the module finds '" + excerpt(start) + "' instead of CLSID = s '{...}'";
    f.notes.push_back(kWhere);
    if (word != std::string::npos) {
      f.notes.push_back("the identifier at line " + std::to_string(PlaceOf(bytes, word).line) +
                        " is not where the module looks");
    }
  }
  const Place p = PlaceOf(bytes, place);
  f.line = p.line;
  f.column = p.column;
  return f;
}

// How a script is saved, for the report ("UTF-8 without a byte-order mark", "not UTF-8 (first at
// line 3, column 7)"), and with `findings`, what of it the module misreads: UTF-16, a byte-order
// mark, the first NUL byte (its text ends there), and up to three bytes that are no UTF-8 before it.
std::string Encoding(const std::string& name, const std::string& b, std::vector<Finding>* findings) {
  std::vector<Finding> unused;
  std::vector<Finding>& found = findings ? *findings : unused;
  const char* const utf8 = "save it as UTF-8 without a byte-order mark";
  // UTF-16 with a byte-order mark, or most of the first pairs of bytes a character and a NUL (or,
  // big-endian, the other way round), which no UTF-8 text is.
  const bool marked = b.compare(0, 2, "\xFF\xFE") == 0 || b.compare(0, 2, "\xFE\xFF") == 0;
  const std::size_t pairs = std::min<std::size_t>(b.size(), 4096) / 2;
  std::size_t little = 0, big = 0;
  for (std::size_t i = 0; i < pairs; ++i) {
    little += b[2 * i] != 0 && b[2 * i + 1] == 0;
    big += b[2 * i] == 0 && b[2 * i + 1] != 0;
  }
  if (marked || (pairs >= 2 && (4 * little >= 3 * pairs || 4 * big >= 3 * pairs))) {
    found.push_back(
        Noted(FindingCode::kUtf16, name, {1, 1},
              std::string("the script is saved as UTF-16") + (marked ? "" : " (without a byte-order mark)"),
              utf8, {"the module reads it as UTF-8, so nothing in it is understood"}));
    return std::string("UTF-16") + (marked ? "" : " without a byte-order mark") + " (the module reads UTF-8)";
  }
  const bool bom = b.compare(0, 3, "\xEF\xBB\xBF") == 0;
  if (bom) {
    found.push_back(Noted(FindingCode::kByteOrderMark, name, {1, 1},
                          "the script starts with a UTF-8 byte-order mark", utf8,
                          {"it stays as U+FEFF in front of the first root key name",
                           "Windows passes over it, other tools may not"}));
  }
  bool ascii = true, ended = false;
  std::string first;  // the first byte that is no UTF-8, for the report
  for (std::size_t i = 0, n = 0, reported = 0; i < b.size(); i += n ? n : 1) {
    n = Utf8Sequence(b, i);
    ascii = ascii && n == 1;
    const bool told = !ended && (b[i] == 0 || (!n && reported < 3));
    if (!told && (n || !first.empty())) continue;
    const Place p = PlaceOf(b, i);
    if (!n && first.empty())
      first = "not UTF-8 (first at line " + std::to_string(p.line) + ", column " + std::to_string(p.column);
    if (told && b[i] == 0) {
      ended = true;
      found.push_back(Noted(FindingCode::kNulByte, name, p, "a NUL byte: the module's text ends here",
                            "remove the NUL byte", {"nothing after it is run"}));
    } else if (told) {
      ++reported;
      found.push_back(
          Noted(FindingCode::kNotUtf8, name, p,
                "byte 0x" + ShowBytes(b.substr(i, 1)).substr(2) + " is not UTF-8 (Latin-1 or a code page?)",
                "save the script as UTF-8", {"the module reads it as U+FFFD, the replacement character"}));
    }
  }
  if (!first.empty()) return first + ")";
  if (bom) return "UTF-8 with a byte-order mark";
  return ascii ? "ASCII (UTF-8 without a byte-order mark)" : "UTF-8 without a byte-order mark";
}

// Finds `script` in `folder` (ending in a slash) whatever the letter case, as Windows does, and reads
// it if it is a regular file of at most kScriptSizeLimit bytes; otherwise `problem` says why.
void FindScript(const FileSystem& files, const std::string& folder, ScriptFile* script) {
  script->realPath = folder + script->name;
  std::vector<FolderEntry> entries;
  std::string error;
  if (!files.List(folder, &entries, &error)) {
    // No folder at all is a missing script (the module's box says so); a folder that
    // cannot be listed, or a file in its place, is told with the reason.
    const std::string name = folder.substr(0, folder.size() - 1);
    const PathStatus status = files.Status(name);
    if (status.there) {
      script->problem = status.kind == PathStatus::Kind::kFolder
                            ? "the package folder " + name + " cannot be read: " + error
                            : "the package folder " + name + " is not a folder (" + error + ")";
    }
    return;
  }
  for (const FolderEntry& entry : entries) {
    if (Lower(entry.name) != Lower(script->name)) continue;
    script->realPath = folder + entry.name;
    script->isFolder = entry.folder;
    if (script->isFolder) return;
    std::string bytes;
    script->found =
        files.Read(script->realPath, kScriptSizeLimit, &bytes, &script->problem, &script->tooLarge);
    if (script->found) script->encoding = Encoding(script->name, bytes, nullptr);
    script->bytes = std::make_shared<const std::string>(std::move(bytes));
    return;
  }
}

// Identifiers read: none where the module reads one, one shared by both scripts, or the sample's kept.
void CheckIdentifiers(const Package& package, const Install& first, std::vector<Finding>* findings) {
  const bool badId = FAILED(first.load.result) &&
                     std::any_of(first.load.boxes.begin(), first.load.boxes.end(),
                                 [](const Box& box) { return box.caption == Utf8(kBadIdentifierCaption); });
  // The box belongs to the script the module was reading.
  for (std::size_t row = 0; row < package.scripts.size() && badId; ++row) {
    const ScriptFile& s = package.scripts[row];
    if (s.found && s.name == first.load.lastScript)
      findings->push_back(IdentifierFinding(s, first.scans[row]));
  }
  for (std::size_t j = 0; j < first.ids.size(); ++j) {
    for (std::size_t i = 0; i < j; ++i) {
      if (GuidString(first.ids[i]) != GuidString(first.ids[j])) continue;
      findings->push_back(Noted(FindingCode::kSameIdentifier, Utf8(PackageClasses[j].scriptName), {},
                                "both scripts name the class identifier " + GuidString(first.ids[j]),
                                "give each script its own fresh identifier",
                                {"the " + Utf8(PackageClasses[i].className) + " and " +
                                 Utf8(PackageClasses[j].className) + " classes become one class"}));
      break;
    }
  }
  const bool sample = std::any_of(first.ids.begin(), first.ids.end(), [](const GUID& id) {
    return std::count(std::begin(kSampleIds), std::end(kSampleIds), GuidString(id)) > 0;
  });
  if (sample && Lower(package.moduleName.substr(0, package.moduleName.rfind('.'))) != "aurora") {
    findings->push_back(Noted(
        FindingCode::kSampleIdentifier, "", {}, "the package keeps the sample package's class identifiers",
        "make " + CountWord(std::size(PackageClasses)) +
            " fresh identifiers (cat /proc/sys/kernel/random/uuid on Linux, or [guid]::NewGuid() in "
            "PowerShell)",
        {"it and every package copied the same way register the same classes"}));
  }
}

}  // namespace

std::string ScriptNames() {
  std::string names;
  for (std::size_t i = 0; i < std::size(PackageClasses); ++i) {
    names += i == 0 ? "" : i + 1 == std::size(PackageClasses) ? " and " : ", ";
    names += Utf8(PackageClasses[i].scriptName);
  }
  return names;
}

// `path` as Windows names the file or folder it opens: without the dots and blanks after its last part's
// name, so that "Trail.dll." is the module copy Trail.dll and its package Trail. A part that is nothing but
// dots ("." or "..") is left as it is.
std::string WindowsName(std::string path) {
  const std::size_t start = path.find_last_of("/\\") + 1;  // 0 when there is no separator
  std::size_t end = path.size();
  while (end > start && (path[end - 1] == '.' || path[end - 1] == ' ')) --end;
  const bool dotsOnly = path.find_first_not_of('.', start) == std::string::npos;
  if (end > start && !dotsOnly) path.resize(end);
  return path;
}

bool LoadPackage(const FileSystem& files, const std::string& input, Package* package, std::string* problem) {
  package->input = input;
  std::string path = input, modulePath;
  while (path.size() > 1 && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  const PathStatus status = files.Status(path);
  if (status.kind == PathStatus::Kind::kFolder) {
    // The package folder: the module copy would stand beside it as <folder>.dll.
    // "." or "Aurora/." names the folder by where it is: its own name is the package's.
    const std::string name = io::FileName(path);
    fs::path whole = io::PathOf(WindowsName(path));
    if (name.empty() || name == "." || name == "..") {
      std::error_code error;
      whole = fs::absolute(whole, error).lexically_normal();
      if (!whole.has_filename()) whole = whole.parent_path();
    }
    modulePath = io::TextOf(whole) + ".dll";
    package->moduleName = io::FileName(modulePath);
    package->realFolder = path + "/";
  } else if (status.kind != PathStatus::Kind::kNone) {
    // The module copy: its folder is the one the module derives from its path, the path less the last
    // four UTF-16 units (a byte that is no UTF-8 counts one).
    const std::string named = WindowsName(path);
    package->moduleName = io::FileName(named);
    modulePath = path;
    std::vector<std::size_t> ends;  // where each unit ends; a high surrogate, where its character starts
    for (std::size_t i = 0, n = 0; i < named.size(); i += n ? n : 1) {
      if ((n = Utf8Sequence(named, i)) == 4) ends.push_back(i);
      ends.push_back(i + (n ? n : 1));
    }
    const std::size_t keep = PackageFolderLength(ends.size());
    package->realFolder = named.substr(0, keep ? ends[keep - 1] : 0) + "/";
  } else {
    *problem = Quoted(input) + ": " + (status.error.empty() ? "no such file or folder" : status.error) +
               "; name the module copy (Aurora.dll) or its package folder";
    return false;
  }
  package->scripts = PackageOfScripts("", {}).scripts;
  for (ScriptFile& script : package->scripts) FindScript(files, package->realFolder, &script);
  // The module copy itself; a folder checked alone may have none beside it yet.
  std::string bytes, reason;
  const bool there = files.Status(modulePath).kind != PathStatus::Kind::kNone;
  const bool found = there && files.Read(modulePath, kModuleSizeLimit, &bytes, &reason);
  package->moduleFile = ReadModuleFile(modulePath, found, bytes);
  if (there && !found) package->moduleFile.problem = reason;
  return true;
}

Package PackageOfScripts(const std::string& moduleName, const std::vector<std::string>& scripts) {
  Package package;
  package.input = package.moduleName = moduleName;
  package.scripts.resize(std::size(PackageClasses));
  for (std::size_t i = 0; i < package.scripts.size(); ++i) {
    ScriptFile& s = package.scripts[i];
    s.name = Utf8(PackageClasses[i].scriptName);
    if (!(s.found = i < scripts.size())) continue;
    s.bytes = std::make_shared<const std::string>(scripts[i]);
    s.encoding = Encoding(s.name, scripts[i], nullptr);
  }
  return package;
}

void CheckPackage(const Package& package, const Install& first, std::vector<Finding>* findings) {
  // The module's name decides its folder and whether Windows can load it at all.
  const std::string &name = package.moduleName, reads = Utf8(first.directory);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos) {
    findings->push_back(
        Noted(FindingCode::kNoExtension, "", {}, "the module's file name '" + name + "' has no extension",
              "name the copy <Package>.dll (a trailing point, regsvr32 " + name + "., also loads it)",
              {"Windows' loader adds .dll to a module name without one, and finds no such file",
               "regsvr32 exits 3 without any box"}));
  } else if (dot == 0 || Utf16(name.substr(dot)).size() != 4) {
    findings->push_back(Noted(
        dot ? FindingCode::kExtensionLength : FindingCode::kNameIsExtension, "", {},
        dot ? "the module's extension '" + name.substr(dot) + "' is not four characters"
            : "the module's file name '" + name + "' is all extension",
        "name the copy <Package>.dll",
        {dot ? "the folder is the whole path less its last four characters"
             : "the folder named after it is empty",
         (dot ? "so this copy reads " : "so this copy reads its scripts from its own folder, ") + reads}));
  }
  // Scripts that are there but cannot be read (the folder's problem once).
  std::string folderProblem;
  for (const ScriptFile& s : package.scripts) {
    if (s.problem.empty() || s.problem == folderProblem) continue;
    if (s.problem.rfind("the package folder ", 0) == 0) {
      folderProblem = s.problem;
      findings->push_back(Noted(FindingCode::kScriptUnreadable, "", {},
                                "no script of the package can be read",
                                "make " + package.realFolder + " the package folder, holding " +
                                    ScriptNames() + ", readable by the user",
                                {s.problem}));
    } else if (s.tooLarge) {
      findings->push_back(Noted(FindingCode::kScriptTooLarge, s.name, {}, "the script is too large to check",
                                "keep only the package's keys in the script; a script this large is "
                                "most probably another file saved under its name",
                                {s.realPath + ": " + s.problem, "a real script is a few KB"}));
    } else {
      findings->push_back(Noted(
          FindingCode::kScriptUnreadable, s.name, {}, "the script is there but cannot be read: " + s.problem,
          "make " + s.realPath + " a regular file the user can read", {"read at " + s.realPath}));
    }
  }
  for (const ScriptFile& s : package.scripts) {
    if (s.found) Encoding(s.name, *s.bytes, findings);
  }
  CheckIdentifiers(package, first, findings);
}

}  // namespace check
