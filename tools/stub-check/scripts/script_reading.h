// One script as the module's interpreter reads it, traced: its tokens, keys,
// entries and replacements, and the warnings worked out over them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "registrar/script_parser.h"
#include "registry/registry_state.h"
#include "report/findings.h"

namespace check {

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
  /// The blocks as the walk reported them opening and closing, in order.
  struct BlockMark {
    std::size_t token;  // its "{" or "}"
    int depth;          // the root block being 1
    bool opens;
  };
  std::vector<BlockMark> blocks;

  /// Original offset of a prepared-text offset; one inside a replacement maps
  /// to the replacement's start.
  std::size_t OriginalOffset(std::size_t prepared) const;
  /// PlaceOf(original, offset), from an index of the original's lines.
  Place PlaceOfOriginal(std::size_t offset) const;
  Place PlaceOfPrepared(std::size_t prepared) const { return PlaceOfOriginal(OriginalOffset(prepared)); }
  /// The "{" token of the innermost block the walk had open before prepared
  /// offset `at`, or kNoKey.
  std::size_t OpenBlockAt(std::size_t at) const;
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

}  // namespace check
