// One script as the module's interpreter reads it, traced: its tokens, keys,
// entries and replacements, and the warnings worked out over them.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "findings/finding.h"
#include "registrar/script_parser.h"
#include "registry/registry_state.h"
#include "text/text.h"

namespace check {

constexpr std::size_t kNoKey = static_cast<std::size_t>(-1);

/// A token as the walk read it; its text is read again on demand (TokenText).
struct Token {
  std::size_t start, end;  // prepared-text offsets
  Slot slot;
  bool failed;  // the read itself failed (end of text, open quote, too long)
};

/// A key the script names, once per path however often the script names it:
/// the keys form a tree under the root keys' nodes.
struct KeyNode {
  std::size_t parent = kNoKey;         // kNoKey for a root key
  std::u16string name;                 // as first written ("HKEY_CLASSES_ROOT" for a root)
  std::size_t entry = kNoKey;          // its first key entry (none when only a Delete names it)
  std::size_t noRemoveEntry = kNoKey;  // its first NoRemove key entry
  std::size_t valueToken = kNoKey;     // the token of its latest string (s) default value
};

/// An entry: its key's node (a Val's: its key's), kEntry... flags as the walk reported them, name token.
struct Entry {
  std::size_t key;
  unsigned flags;
  std::size_t token;
};

/// A %name% or %% (no name) of the original text and what preparation made of it.
struct Anchor {
  std::size_t originalStart, originalEnd, preparedStart, preparedEnd;
  bool quoted;  // it landed inside a quoted token
  std::u16string name;
};

struct ScriptReading {
  std::string name;         // "Style.rgs"
  std::u16string prepared;  // the text the walk reads, as preparation made it
  HRESULT prepareResult = S_OK;
  std::u16string stopText;  // where preparation failed, the %name% there (or its first characters)
  std::vector<Anchor> anchors;
  std::vector<Token> tokens;
  std::vector<Entry> entries;
  std::vector<KeyNode> keys;
  std::size_t openBlock = kNoKey;  // the "{" token of the innermost block open where the walk stopped
  // Indexes: the original's size, line starts and low surrogates; key nodes by parent and folded name.
  std::size_t originalSize = 0;
  std::vector<std::size_t> lineStarts, lowSurrogates;
  std::map<std::pair<std::size_t, std::u16string>, std::size_t> children;

  Place PlaceOfOriginal(std::size_t offset) const;
  Place PlaceOfPrepared(std::size_t prepared) const;  // inside a replacement's value: the replacement's
  std::u16string TokenText(std::size_t k) const;      // as the tokenizer reads it (quotes undone)
  /// The node of `parent`'s subkey `name` (of a root key: `parent` kNoKey), made when new.
  std::size_t Child(std::size_t parent, const std::u16string& name);
  std::size_t FindKey(const std::u16string& path) const;  // "HKEY_CLASSES_ROOT\a\b"; kNoKey: none such
  std::u16string KeyPath(std::size_t node) const;
  const Anchor* ReplacementAt(std::size_t p) const;  // the %name% whose value holds prepared offset `p`
};

/// Reads `original` (whose last unit must be followed by a NUL) with the module's own walk, %Module%
/// standing for `modulePath` (registration's grammar, touching no key), and adds its warnings to
/// `findings`: at most kWarningsPerCode of one kind, the last saying how many more there are.
ScriptReading ReadScript(const std::string& name, std::u16string_view original,
                         const std::u16string& modulePath, std::vector<Finding>* findings);

/// Warns about each class key's ProgID or VersionIndependentProgID that names a key none of
/// `readings` creates, or one whose CLSID is missing or names another class.
void CheckProgIds(const std::vector<ScriptReading>& readings, std::vector<Finding>* findings);

/// Where a run of `reading`'s script stopped, as the interpreter reported it.
Finding DescribeStop(const ScriptReading& reading, const ScriptOutcome& outcome, ScriptMode mode);

}  // namespace check
