// One script as the module's interpreter reads it, traced: its tokens, keys,
// entries and replacements, and the warnings worked out over them.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "registrar/script_parser.h"
#include "registry/registry_state.h"
#include "report/findings.h"

namespace check {

/// One token; its text is read again from the prepared text on demand
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
  std::size_t parent = kNoKey;         // kNoKey for a root key
  std::u16string name;                 // as first written ("HKEY_CLASSES_ROOT" for a root)
  std::size_t noRemoveEntry = kNoKey;  // the first NoRemove key entry of this key
  bool written = false;                // a key entry names it (not only a Delete)
  std::size_t valueToken = kNoKey;     // the token of its latest string (s) default value
};

/// A key or value the script names.
struct Entry {
  std::size_t key = kNoKey;  // the key's node (the value's key for a Val)
  unsigned flags = 0;        // as the walk reported them (kEntryValue, kEntryDelete, ...)
  std::size_t token = 0;     // index of its name token
};

/// A %name% or %% of the original text and what preparation made of it.
struct Anchor {
  std::size_t originalStart, originalEnd;
  std::size_t preparedStart, preparedEnd;
  bool quoted;          // it landed inside a quoted token
  std::u16string name;  // a replacement's name as written ("Module"); empty for %%
};

struct ScriptReading {
  std::string name;              // "Style.rgs"
  std::size_t originalSize = 0;  // in UTF-16 units, decoded as the module decodes it
  // Where preparation refused the text, the %name% there (or its first
  // characters): the original text itself is not kept.
  std::u16string stopText;
  CTaskMemory<char16_t> preparedText;  // the module's own block, not copied
  std::u16string_view prepared;
  HRESULT prepareResult = S_OK;
  std::vector<Anchor> anchors;
  std::vector<Token> tokens;
  std::vector<Entry> entries;
  std::vector<KeyNode> keys;
  /// The "{" token of the innermost block still open where the walk stopped, or kNoKey.
  std::size_t openBlock = kNoKey;

  /// Original offset of a prepared-text offset; one inside a replacement maps
  /// to the replacement's start.
  std::size_t OriginalOffset(std::size_t prepared) const;
  Place PlaceOfOriginal(std::size_t offset) const;
  Place PlaceOfPrepared(std::size_t prepared) const { return PlaceOfOriginal(OriginalOffset(prepared)); }
  /// The text of the token at prepared offset `at` (of token `k`) as the
  /// tokenizer reads it, quotes undone; false (empty) when none can be read.
  bool TextAt(std::size_t at, std::u16string* text) const;
  std::u16string TokenText(std::size_t k) const;
  /// The node of `parent`'s subkey `name` (a root key's when `parent` is kNoKey), made when new.
  std::size_t Child(std::size_t parent, const std::u16string& name);
  /// The node of a full key path ("HKEY_CLASSES_ROOT\a\b"), kNoKey when the script names no such key.
  std::size_t FindKey(const std::u16string& path) const;
  std::u16string KeyPath(std::size_t node) const;
  /// The %name% anchor whose value holds prepared offset `p`, or null.
  const Anchor* ReplacementAt(std::size_t p) const;

  // Indexes: line starts and low surrogates of the original; each key node by
  // its parent and case-folded name.
  std::vector<std::size_t> lineStarts;
  std::vector<std::size_t> lowSurrogates;
  std::map<std::pair<std::size_t, std::u16string>, std::size_t> children;
};

/// Prepares `original` (whose last unit must be followed by a NUL) with
/// %Module% = `modulePath` and reads it with the module's own walk
/// (registration's grammar, touching no key), recording what the walk meets
/// and warnings into `findings`: at most kWarningsPerCode of one kind per
/// script, the last one listed saying how many more there are.
constexpr int kWarningsPerCode = 20;
ScriptReading ReadScript(const std::string& name, std::u16string_view original,
                         const std::u16string& modulePath, std::vector<Finding>* findings);

/// Warns about each class key's ProgID or VersionIndependentProgID that names
/// a key none of `readings` creates, or a key whose CLSID is missing or names
/// another class.
void CheckProgIds(const std::vector<ScriptReading>& readings, std::vector<Finding>* findings);

/// Where a run of `reading`'s script stopped, as the interpreter reported it.
Finding DescribeStop(const ScriptReading& reading, const ScriptOutcome& outcome, ScriptMode mode);

}  // namespace check
