// stub-check: checks a style package before it ships, by running the module's
// own code (folder derivation, identifier scan, script loading, interpreter)
// over the emulated platform, so the machine's registry is never touched.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "command_line.h"
#include "platform/platform.h"
#include "registrar/script_parser.h"

namespace check {

// ---- Findings ----------------------------------------------------------------------

enum class Severity { kError, kWarning };

/// One thing the author should know about. `file` is a script name or empty;
/// `line` and `column` are 1-based, 0 when there is no place in a file.
struct Finding {
  Severity severity;
  std::string code;  // stable identifier, e.g. "script-error"
  std::string file;
  int line = 0;
  int column = 0;
  std::string message;
  std::string remedy;
};

// ---- Text helpers --------------------------------------------------------------------

std::string Utf8(const std::u16string& text);
std::u16string Utf16(const std::string& text);
std::string Hex32(HRESULT value);  // "0x80020009"
/// The name of a result the module answers, e.g. "DISP_E_EXCEPTION"; empty if unknown.
std::string ResultName(HRESULT value);
/// "S_OK", or "DISP_E_EXCEPTION (0x80020009)".
std::string DescribeResult(HRESULT value);
std::string GuidString(const GUID& id);

/// A line and column (1-based; the column counts characters) in decoded text.
struct Place {
  int line = 0;
  int column = 0;
};
Place PlaceOf(const std::u16string& text, std::size_t offset);

// ---- Registry state ------------------------------------------------------------------

struct RegValue {
  std::u16string name;  // empty: the default value
  DWORD type = REG_SZ;
  std::vector<BYTE> data;
  bool operator==(const RegValue& o) const { return type == o.type && data == o.data; }
};
struct RegKey {
  std::u16string path;  // "HKEY_CLASSES_ROOT\CLSID\{...}", as stored
  std::map<std::u16string, RegValue> values;  // by case-folded name
};
/// Orders key paths as a tree: a key, then everything under it, then its next sibling.
struct PathOrder {
  bool operator()(const std::u16string& a, const std::u16string& b) const {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
      const unsigned ca = a[i] == u'\\' ? 1u : a[i], cb = b[i] == u'\\' ? 1u : b[i];
      if (ca != cb) return ca < cb;
    }
    return a.size() < b.size();
  }
};
/// The whole emulated registry, by case-folded path, in tree order.
using Snapshot = std::map<std::u16string, RegKey, PathOrder>;

std::u16string FoldCase(const std::u16string& text);
Snapshot TakeSnapshot();
/// Adds every key and value of `snapshot` to the emulated registry.
void Restore(const Snapshot& snapshot);
/// The changes from `before` to `after`, as .reg text: new and changed keys
/// with their new or changed values, "[-key]" for deleted keys and
/// "name"=- for deleted values. Empty when nothing changed.
std::string RegDiff(const Snapshot& before, const Snapshot& after);
/// A registry state as its difference from the state the emulated registry
/// was marked in (emu::MarkRegistry): the keys that are new or hold other
/// values (whole), the keys that are gone, and those keys as they were at the
/// mark (`was`). A large registry is held once, by the emulated machine.
struct Changes {
  Snapshot changed;
  std::set<std::u16string, PathOrder> deleted;  // case-folded paths
  Snapshot was;
};
/// The emulated registry now, as its changes since its mark.
Changes TakeChanges();
/// The key at the full path `path` ("HKEY_CLASSES_ROOT\a") in the emulated
/// registry now, as a snapshot lists it; false when it is not listed.
bool ReadRegKey(const std::u16string& path, RegKey* key);
/// How many keys a snapshot of the emulated registry would list now.
std::size_t CountKeys();
/// The key at case-folded `path` in the state `base` with `state` applied, or null.
const RegKey* FindKey(const Snapshot& base, const Changes& state, const std::u16string& path);
/// RegDiff from one state to another, each given as its changes from `base`.
std::string RegDiff(const Snapshot& base, const Changes& before, const Changes& after);
/// The bytes of a REG_SZ value holding `text`: UTF-16LE with its terminator.
std::vector<BYTE> TextData(const std::u16string& text);
/// The text of REG_SZ data: its UTF-16LE units less the one terminator; false
/// when the data is not exactly that (odd, unterminated, or a NUL inside).
bool StringData(const std::vector<BYTE>& data, std::u16string* text);
/// One value in .reg syntax: "name"="text", @=dword:0000002a, ...; a string
/// that cannot stand between quotes (a line break, a control character) as
/// hex(1):..., so that ParseRegFile reads every line back as the same value.
std::string RegValueLine(const RegValue& value);
/// Whether a key or value name can be written in .reg text and read back as it
/// is (no line break or control character but a tab, no half surrogate pair).
bool RegNameWritable(const std::u16string& name);

/// Reads a .reg export (UTF-16LE with its byte-order mark, or UTF-8/ANSI,
/// "Windows Registry Editor Version 5.00" or "REGEDIT4") into `snapshot`, with
/// the parents of its keys, as the registry would hold them (the emulated
/// registry is not touched).
/// Deletions are skipped with a note in `notes`. False with `error` set when
/// the file is not a registry export at all.
bool ParseRegFile(std::string bytes, Snapshot* snapshot, std::vector<std::string>* notes,
                  std::string* error);

/// One --registry file and what its keys fed.
struct RegistryExport {
  std::string file;
  Snapshot keys;  // as the file names them
  std::vector<std::string> notes;
  // Keys by where they went: HKEY_CLASSES_ROOT as exported, the machine's
  // classes (HKLM\Software\Classes, read as HKCR), the user's classes
  // (HKCU\Software\Classes, kept there and read as HKCR over the machine's),
  // and every other key where it stands.
  int classesRoot = 0, machineClasses = 0, userClasses = 0, elsewhere = 0;
};

/// Puts the registry to start from into the emulated registry, which is
/// emptied first: every export's keys where they stand, except that the
/// machine's classes are read as HKEY_CLASSES_ROOT, and the user's classes
/// stay where they are and show in HKEY_CLASSES_ROOT over the machine's as
/// Windows merges them (a key both have shows the user's values). Counts what
/// fed each root. Each export's keys are let go as they are merged.
void CombineExports(std::vector<RegistryExport>* exports);

// ---- One script, read the way the interpreter reads it ---------------------------

/// One token; its text is the prepared text from `start`, read again on demand
/// (ScriptReading::TokenText), so a large script costs no copy of every token.
struct Token {
  std::size_t start = 0;  // prepared-text offsets
  std::size_t end = 0;
  Slot slot = Slot::kEntry;
  bool failed = false;  // the read itself failed (end of text, open quote, too long)
};

constexpr std::size_t kNoKey = static_cast<std::size_t>(-1);

/// A key the script names, once per path however often the script names it:
/// the keys form a tree under the root keys' nodes.
struct KeyNode {
  std::size_t parent = kNoKey;  // kNoKey for a root key
  std::u16string name;          // as first written ("HKEY_CLASSES_ROOT" for a root)
  std::size_t noRemoveEntry = kNoKey;  // the first NoRemove key entry of this key
  bool written = false;  // a key entry names it (not only a Delete)
  std::size_t valueToken = kNoKey;  // the token of its latest string (s) default value
};

/// A key or value the script names, with what it says about removal.
struct Entry {
  std::size_t key = kNoKey;  // the key's node (the value's key for a Val)
  std::u16string valueName;
  bool isValue = false;
  bool noRemove = false;
  bool forceRemove = false;
  bool isDelete = false;
  std::size_t token = 0;  // index of its name token
};

/// A class key's ProgID or VersionIndependentProgID value, and where it stands.
struct ProgIdValue {
  std::u16string progId;
  std::size_t classKey = kNoKey;  // CLSID\{...}
  std::size_t token = 0;          // the value's token
  bool versionIndependent = false;  // VersionIndependentProgID rather than ProgID
};

/// A %name% or %% of the original text and what it became in the prepared text.
struct Anchor {
  std::size_t originalStart, originalEnd;
  std::size_t preparedStart, preparedEnd;
  bool isModule;  // %Module%
  bool quoted;    // it landed inside a quoted token
  std::u16string name = u"";  // a replacement's name as written ("Module")
};

struct ScriptReading {
  std::string name;  // "Style.rgs"
  std::size_t originalSize = 0;  // in UTF-16 units, decoded as the module decodes it
  // Where preparation refused the text, the %name% there (or its first
  // characters). The original text itself is not kept, and the prepared text
  // stays in the module's own block.
  std::u16string stopText;
  CTaskMemory<char16_t> preparedText;
  std::u16string_view prepared;
  HRESULT prepareResult = S_OK;
  std::size_t prepareStop = 0;  // original offset where preparation failed
  std::vector<Anchor> anchors;
  std::vector<Token> tokens;
  std::vector<Entry> entries;
  std::vector<KeyNode> keys;
  std::vector<ProgIdValue> progIds;

  /// Original offset of a prepared-text offset; one inside a replacement maps
  /// to the replacement's start.
  std::size_t OriginalOffset(std::size_t prepared) const;
  /// PlaceOf(original, offset), from an index of the original's lines.
  Place PlaceOfOriginal(std::size_t offset) const;
  Place PlaceOfPrepared(std::size_t prepared) const { return PlaceOfOriginal(OriginalOffset(prepared)); }
  /// The text of token `k` as the tokenizer reads it (quotes undone).
  std::u16string TokenText(std::size_t k) const;
  /// The node of `parent`'s subkey `name` (a root key's when `parent` is kNoKey), made when new.
  std::size_t Child(std::size_t parent, const std::u16string& name);
  /// The node of a full key path ("HKEY_CLASSES_ROOT\a\b"), kNoKey when the script names no such key.
  std::size_t FindKey(const std::u16string& path) const;
  /// "HKEY_CLASSES_ROOT\a\b" of a node.
  std::u16string KeyPath(std::size_t node) const;

  // Indexes: line starts and low surrogates of `original`; each key node by
  // its parent and case-folded name.
  std::vector<std::size_t> lineStarts;
  std::vector<std::size_t> lowSurrogates;
  std::map<std::pair<std::size_t, std::u16string>, std::size_t> children;
  /// The anchor whose replacement holds prepared offset `p`, or null.
  const Anchor* ReplacementAt(std::size_t p) const;
};

/// Prepares `original` (whose last unit must be followed by a NUL, as in a
/// std::u16string or the module's loaded text) with %Module% = `modulePath`
/// and reads it through with the module's own walk (registration's grammar,
/// touching no key), recording tokens, entries and the key tree as far as the
/// walk gets, and warnings into `findings`.
/// At most kWarningsPerCode warnings of one kind are listed per script; the
/// last one listed says how many more there are.
constexpr int kWarningsPerCode = 20;
ScriptReading ReadScript(const std::string& name, std::u16string_view original,
                         const std::u16string& modulePath, std::vector<Finding>* findings);

/// Warns about each class key's ProgID or VersionIndependentProgID that names
/// a key none of `readings` creates, or a key whose CLSID is missing or names
/// another class.
void CheckProgIds(const std::vector<ScriptReading>& readings, std::vector<Finding>* findings);

/// Describes where a run of `reading`'s script stopped, as the interpreter
/// reported it: script, line, column, token, what was expected there.
Finding DescribeStop(const ScriptReading& reading, const ScriptOutcome& outcome, ScriptMode mode);

// ---- The module file -------------------------------------------------------------------

/// The module file as Windows' loader sees it.
struct ModuleFile {
  std::string path;  // as the check names it
  bool found = false;
  std::string format;  // "a PE DLL", "an empty file", ...
  bool isPe = false;
  bool isDll = false;
  unsigned machine = 0;      // the PE header's machine field
  std::string architecture;  // "x86", "x64", "ARM64", ...
  int bits = 0;              // 32 or 64 for x86 and x64, else 0
  std::vector<std::string> exports;  // those of Stub.dll's five it has
  std::vector<std::string> missing;  // those of the five it lacks
  bool hasVersion = false;
  std::string version;  // FileVersion of the fixed version information, "1.2.3.4"
  std::string problem;  // why a file that is there could not be read ("Permission denied")

  /// A DLL for x86 or x64 with all five exports of Stub.dll.
  bool IsThisModule() const;
  bool Exports(const char* name) const;
  /// The exit code regsvr32 gives before any script runs when it is asked to
  /// call `entry` (DllRegisterServer, DllUnregisterServer, DllInstall): 3 the
  /// file does not load, 4 the entry is missing; -1 when it calls the entry.
  int Exit(const char* entry) const;
  /// One phrase: format, exports, version.
  std::string Summary() const;
  /// Architecture, the hosts that load it and the regsvr32 that registers it.
  std::string ArchitectureLine() const;
};

/// Reads `bytes`, the file at `path` (`found` false when there is none).
ModuleFile ReadModuleFile(const std::string& path, bool found, const std::string& bytes);
/// Errors about a module file that is not a loadable copy of Stub.dll.
void CheckModuleFile(const ModuleFile& file, const std::string& moduleName,
                     std::vector<Finding>* findings);

// ---- The package and its runs ---------------------------------------------------------

struct ScriptFile {
  std::string name;       // "Style.rgs"
  std::string realPath;   // where it was read on this machine
  bool found = false;
  bool isFolder = false;
  // Why a script that is there, or its folder, cannot be read: the system's
  // words, "a FIFO (named pipe), not a file", or its size past the limit.
  std::string problem;
  bool tooLarge = false;
  // Shared with the emulated machine's file, so that a large script is held once.
  std::shared_ptr<const std::string> bytes = std::make_shared<const std::string>();
  std::string encoding;   // for the report
};

struct Box {
  std::string caption;
  std::string text;
};

struct RunResult {
  HRESULT result = S_OK;
  std::vector<Box> boxes;
  std::string changes;  // .reg text
  int exitCode = 0;     // what regsvr32 would exit with
  bool ran = false;
  std::string lastScript;  // the script the run opened last ("Style.rgs")
};

struct LeftKey {
  std::u16string path;
  std::string reason;
};

struct Install {
  std::u16string modulePath;
  std::u16string classesKey;  // where the scripts' HKCR lands: HKCR, or the user's classes key
  std::u16string directory;  // empty when none can be named
  RunResult load;
  std::vector<GUID> ids;  // the class identifiers the load read, one per row of PackageClasses
  bool idsRead = false;
  RunResult registration;
  // The keys registration made or changed, whole, as it left them (what an
  // installer writes instead, when the check started from an empty registry).
  Snapshot registered;
  RunResult removal;
  std::vector<LeftKey> leftBehind;
  std::vector<Finding> findings;
};

struct Package {
  std::string input;          // as given
  std::string moduleName;     // "Aurora.dll"
  std::string realFolder;     // the folder the scripts were read from
  std::vector<ScriptFile> scripts;  // one per row of PackageClasses, in its order
  std::size_t baseKeys = 0;   // keys of the registry to start from (the emulated one)
  std::vector<RegistryExport> exports;  // the --registry files it was made of
  ModuleFile moduleFile;      // the module copy itself (not found when checked by folder)
  bool perUser = false;       // registration for one user: regsvr32 /n /i:user
};

/// The package of `input`, a module copy (Aurora.dll) or its package folder
/// (Aurora), as the check reads it: the module copy's file (not found when a
/// folder stands alone), the folder the module derives from the copy's path,
/// and each script of PackageClasses found there as Windows finds it (FindScript).
/// False with `problem` set when `input` is neither file nor folder.
bool LoadPackage(const std::string& input, Package* package, std::string* problem);
/// A package whose scripts are given as bytes, one per row of PackageClasses
/// (missing ones empty), with no files behind them: for the checker's own tests.
Package PackageOfScripts(const std::string& moduleName, const std::vector<std::string>& scripts);
/// The folder the module derives from the module copy at `modulePath` on this
/// machine (its path less the extension's four characters, counted as the
/// module counts them, in UTF-16 units), with a slash after it.
std::string PackageFolderOf(const std::string& modulePath);
/// The scripts' names as a list for a sentence: "Style.rgs and StyleText.rgs".
std::string ScriptNames();

/// Runs load, registration and removal of `package` installed as `modulePath`
/// over the emulated platform, and collects what they did and the findings.
/// The check starts from the registry the emulated machine holds, and gives
/// it back so.
Install RunInstall(const Package& package, const std::u16string& modulePath);

/// Sets the exit codes of `install`'s runs to what regsvr32 gives for a module
/// file that does not load or lacks the export it calls.
void ApplyModuleFile(const ModuleFile& file, bool perUser, Install* install);

/// How to write a class identifier where the module reads it.
extern const char kIdentifierRemedy[];

/// Finds `script`'s file in `folder` (ending in a slash) as Windows finds it,
/// whatever the letter case, and reads it with its encoding: only a regular
/// file of at most kScriptSizeLimit bytes; anything else is recorded in
/// `script->problem` with the reason.
void FindScript(const std::string& folder, ScriptFile* script);

/// Whether `f` is the load failure of a script that is there but could not be
/// read here (a FIFO, a file too large): the script's own finding says why.
bool ToldByScriptProblem(const Package& package, const Finding& f);
/// Findings about the package itself: name, scripts, encoding, identifiers.
void CheckPackage(const Package& package, const Install& first, std::vector<Finding>* findings);
/// "UTF-8 without a byte-order mark", "not UTF-8 (first at line 3, column 7)", ...
std::string DescribeEncoding(const std::string& bytes);
/// Where the identifier `id` stands in a script: after the second "{", where the module read it.
Place IdentifierPlace(const std::string& bytes, const std::string& id);

// ---- Report -----------------------------------------------------------------------------

struct Report {
  const Package* package;
  std::vector<Install> installs;
  std::vector<Finding> findings;
  int Errors() const;
  int Warnings() const;
  int ExitCode() const { return Errors() ? 2 : Warnings() ? 1 : 0; }
};

std::string TextReport(const Report& report);
std::string JsonReport(const Report& report);

}  // namespace check
