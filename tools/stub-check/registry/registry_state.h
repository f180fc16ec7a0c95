// The registry the checker reads and compares: emulated registry snapshots, diffs as .reg text, exports.
#pragma once

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "text/text.h"

namespace check {

struct RegValue {
  std::u16string name;  // empty: the default value
  DWORD type = REG_SZ;
  std::vector<BYTE> data;
  bool operator==(const RegValue& o) const { return type == o.type && data == o.data; }
};
struct RegKey {
  std::u16string path;                        // "HKEY_CLASSES_ROOT\CLSID\{...}", as stored
  std::map<std::u16string, RegValue> values;  // by case-folded name
};
/// Orders key paths as a tree: a key, then everything under it, then its next sibling.
struct PathOrder {
  bool operator()(const std::u16string& a, const std::u16string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char16_t x, char16_t y) {
      return (x == u'\\' ? 1u : x) < (y == u'\\' ? 1u : y);
    });
  }
};
/// The whole emulated registry, by case-folded path, in tree order.
using Snapshot = std::map<std::u16string, RegKey, PathOrder>;

/// A root key's names, "HKEY_CLASSES_ROOT" and "HKCR"; empty for none.
const char16_t* LongRootName(HKEY root);
const char16_t* ShortRootName(HKEY root);
/// Splits "HKEY_...\rest" or "HKCR\rest" into its root and the path below it; false for no root that holds
/// keys.
bool SplitKeyPath(const std::u16string& path, HKEY* root, std::u16string* below);
/// Whether a root holds keys to list or export: all but the performance and dynamic data roots.
bool RootHoldsKeys(HKEY root);
/// The path of `below` under `parent`, either of which may be empty.
std::u16string JoinKeyPath(const std::u16string& parent, const std::u16string& below);
/// `before` to `after` as .reg text: new or changed keys and values, [-key] and "name"=- for deletions.
std::string RegDiff(const Snapshot& before, const Snapshot& after);
/// A registry state as its changes since the mark: new or changed keys whole, keys gone, both as they were.
struct Changes {
  Snapshot changed;
  std::set<std::u16string, PathOrder> deleted;  // case-folded paths
  Snapshot was;
};
/// RegDiff from one state to another, each given as its changes from `base`.
std::string RegDiff(const Snapshot& base, const Changes& before, const Changes& after);
/// The bytes of a REG_SZ value holding `text`: UTF-16LE with its terminator.
std::vector<BYTE> TextData(const std::u16string& text);
/// The text of REG_SZ data as a reader gets it: its UTF-16LE units up to a NUL.
std::u16string TextUpToNul(const std::vector<BYTE>& data);
/// One value in .reg syntax: "name"="text", @=dword:0000002a, ...; a string no quotes hold as hex(1):....
std::string RegValueLine(const RegValue& value);
/// Whether a name reads back from .reg text as it is: no control character but a tab, no half pair.
bool RegNameWritable(const std::u16string& name);

/// Reads a .reg export (UTF-16LE with its byte-order mark, or UTF-8/ANSI) into `snapshot` with its keys'
/// parents, as the registry would hold them. Deletions and lines not understood are skipped with a note.
bool ParseRegFile(std::string bytes, Snapshot* snapshot, std::vector<std::string>* notes, std::string* error);

/// One --registry file and what its keys fed.
struct RegistryExport {
  std::string file;
  Snapshot keys;  // as the file names them
  std::vector<std::string> notes;
  // Keys by where they came from: HKEY_CLASSES_ROOT, the machine's classes, the user's, and elsewhere.
  int classesRoot = 0, machineClasses = 0, userClasses = 0, elsewhere = 0;
};

class EmulatorSession;

/// Puts every export's keys into a new session's registry where they stand, but the machine's classes go to
/// HKEY_CLASSES_ROOT and the user's over them as Windows merges them (a key in both shows the user's values).
void CombineExports(EmulatorSession& session, std::vector<RegistryExport>* exports);

}  // namespace check
