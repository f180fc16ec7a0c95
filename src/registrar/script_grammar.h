// The registry-script grammar in one place: its entry keywords, root-key
// names and value type letters, the nesting bound, the slots a token fills
// and the reasons a run stops. The interpreter walks by these; the package
// checker words its findings and its warnings from the same tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "platform/platform.h"

/// Deepest block nesting a script may use, its root block counting as 1. A
/// deeper block is refused with DISP_E_EXCEPTION so that a hostile script
/// cannot exhaust the stack of the (recursive) walk.
constexpr int kMaxNesting = 128;

/// Longest %name% a script may use, in code units; a longer one is refused
/// with E_FAIL.
constexpr int kMaxNameLength = 31;

/// The entry keywords, in the order of KeywordTable.
enum class Keyword : unsigned char { kForceRemove, kNoRemove, kDelete, kVal };
/// Their spellings (any letter case matches), indexed by Keyword.
inline constexpr const char16_t* KeywordTable[] = {u"ForceRemove", u"NoRemove", u"Delete", u"Val"};
static_assert(std::size(KeywordTable) == static_cast<std::size_t>(Keyword::kVal) + 1,
              "one spelling for each Keyword (kVal is the last)");
constexpr const char16_t* KeywordText(Keyword k) { return KeywordTable[static_cast<int>(k)]; }

struct RootKeyRow {
  const char16_t* name;
  HKEY key;
};

/// Root-key names a script block may start with, searched in order: the
/// short forms first, then the HKEY_ forms.
extern const RootKeyRow RootKeyTable[14];

/// Conversion codes of the type letters (the automation variant-type numbers
/// VT_BSTR, VT_BYREF | VT_BSTR, VT_UI4 and VT_UI1).
constexpr std::uint16_t kValueTypeString = 8;            // "S": REG_SZ
constexpr std::uint16_t kValueTypeMultiString = 0x4008;  // "M": REG_MULTI_SZ
constexpr std::uint16_t kValueTypeNumber = 19;           // "D": REG_DWORD
constexpr std::uint16_t kValueTypeBytes = 17;            // "B": REG_BINARY

struct ValueTypeRow {
  const char16_t* letter;
  std::uint16_t code;
};

/// The type letters of a value assignment ("= S 'text'", "= D 1", ...).
inline constexpr ValueTypeRow ValueTypeTable[] = {
    {u"S", kValueTypeString},
    {u"M", kValueTypeMultiString},
    {u"D", kValueTypeNumber},
    {u"B", kValueTypeBytes},
};

/// What belongs where a token is read: each token of a run is read into one
/// slot, and a run that stops names the slot of the token it stopped at.
enum class Slot : unsigned char {
  kRootName,     // a root-key name, or the end of the script
  kRootOpen,     // "{" after the root-key name
  kEntry,        // a key name, a keyword, or "}"
  kSubject,      // the key ForceRemove or Delete names
  kAfterDelete,  // after Delete's subject: "=", "{", the next entry or "}"
  kValueName,    // the name after Val
  kEquals,       // "=" after a value name
  kType,         // a type letter
  kValue,        // the value after the type letter
  kAfterKey,     // after a key name: "=", "{", the next entry or "}"
  kAfterValue,   // after a value: "{", the next entry or "}"
};
/// How many slots there are, for tables indexed by Slot (kAfterValue is the last).
inline constexpr std::size_t kSlotCount = static_cast<std::size_t>(Slot::kAfterValue) + 1;

/// Why a script run stopped, as far as its text tells. kNone: it did not
/// stop early, or the registry (or memory) failed it rather than the text.
enum class ScriptStop : unsigned char {
  kNone,
  kEndOfText,    // the text ended where a token belonged
  kOpenQuote,    // a quotation is never closed
  kLongToken,    // a token longer than its buffer
  kNoRoot,       // no root-key name where a root block begins
  kNoRootBlock,  // no "{" after the root-key name
  kNotOneLevel,  // a key name that is empty or holds a backslash
  kNoEquals,     // no "=" after a value name
  kUnknownType,  // no type letter after "="
  kBadNumber,    // a "D" value that is no number from 0 to 4294967295
  kOddDigits,    // a "B" value with an odd count of digits
  kTooDeep,      // a block nested deeper than kMaxNesting
  kUnknownName,  // preparation: a %name% with no value, or a % never paired
  kLongName,     // preparation: a %name% longer than kMaxNameLength characters
};
/// How many stop reasons there are, for tables that word each (kLongName is the last).
inline constexpr std::size_t kScriptStopCount = static_cast<std::size_t>(ScriptStop::kLongName) + 1;

/// Kinds of entry a traced run reports (flags; a key entry has none of
/// kEntryValue and kEntryDelete).
enum : unsigned {
  kEntryValue = 1,
  kEntryNoRemove = 2,
  kEntryForceRemove = 4,
  kEntryDelete = 8,
};

/// What a traced run reports as it goes, for a caller that explains scripts
/// (the package checker). The module's own runs trace nothing. Positions lie
/// in the prepared text that Begin gives.
class ScriptTrace {
 public:
  /// A run starts over `prepared`, after preparation.
  virtual void Begin(const char16_t* prepared) = 0;
  /// A token read into `slot` from `start` (after its blanks) to `end`;
  /// `failed` when the read itself failed (see ScriptStop).
  virtual void Token(Slot slot, const char16_t* start, const char16_t* end, bool failed) = 0;
  /// An entry (kEntry... flags) whose name token starts at `name`, in a block
  /// at `depth` (the root block being 1): it belongs to the latest key entry
  /// at depth - 1.
  virtual void Entry(unsigned flags, const char16_t* name, int depth) = 0;
  /// A block at `depth` opens (its "{" was the token read last) or closes
  /// at its "}" (read last). Blocks that removal only counts, inside one
  /// nested too deep, are not reported.
  virtual void Block(int depth, bool opens) = 0;
  /// Preparation replaced the %name% or %% at [originalStart, originalEnd) of
  /// the script as given with [preparedStart, preparedEnd) of the prepared
  /// text; `quoted` when that landed inside a quoted token (the value's
  /// apostrophes are then doubled). Reported before Begin, in text order.
  virtual void Replacement(std::size_t /*originalStart*/, std::size_t /*originalEnd*/,
                           std::size_t /*preparedStart*/, std::size_t /*preparedEnd*/, bool /*quoted*/) {}

 protected:
  ~ScriptTrace() = default;
};
