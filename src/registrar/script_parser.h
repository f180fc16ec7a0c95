// Parse state of one registry script run and the operations that read it:
// tokenizer, preparation pass, value writer and key-tree walk.
#pragma once

#include <cstddef>

#include "platform/platform.h"
#include "platform/unique_resource.h"
#include "registrar/script_grammar.h"

class CRegistrar;
class CKeyHandle;
class CBorrowedKey;
class TextBuffer;
struct BlockKeys;

/// What a script run does with the keys and values its script names.
enum class ScriptMode { kRemove, kRegister };

/// Where a block stands in the walk: what the walk does there, whether its keys
/// are only read through (their key is absent or cannot be opened in removal),
/// its nesting level (the root block being 1), in registration the length of
/// its key's path below the root (the walk notes the keys it creates by path),
/// and in removal whether its key was opened for writing (then its value
/// entries delete through that handle).
struct WalkLevel {
  ScriptMode mode;
  bool readThrough;
  int depth;
  int pathLength;
  bool keyWritable;
};

/// How one script run ended, for a caller that explains the run (the package
/// checker). The module's own runs ask for none; the run is the same either way.
struct ScriptOutcome {
  /// What RunScript answered.
  HRESULT result = S_OK;
  /// Preparation refused the text: nothing was interpreted, and `stop` and
  /// `tokenStart` are offsets in the script text as given.
  bool inPreparation = false;
  /// Where the run stopped, in code units from the start of the prepared text:
  /// the end of the text after a clean run; for a failure, the read position
  /// when the failure was decided (before any rollback). A removal refused for
  /// a block nested too deep stops where that block opens.
  std::size_t stop = 0;
  /// Start of the token read last before the stop (after its blanks): the token
  /// the failure is about. Equal to `stop` when the text ended there.
  std::size_t tokenStart = 0;
  /// Why the run stopped, and the slot of the token it stopped at (for a
  /// stop in preparation, kRootName). kNone for a failure the registry (or
  /// memory) decided, not the text.
  ScriptStop reason = ScriptStop::kNone;
  Slot expected = Slot::kRootName;
  /// Removal: the first failure of an inner block that the walk read past
  /// (kNone for none) and the start of its token. The stop that follows is
  /// often its consequence.
  ScriptStop firstDropped = ScriptStop::kNone;
  std::size_t firstDroppedToken = 0;
  /// Given by the caller: receives the run's tokens and entries as the walk
  /// meets them (the rollback walk of a failed block traces nothing). Null:
  /// nothing is traced.
  ScriptTrace* trace = nullptr;
  /// Registration: a root block failed and was walked again in removal.
  bool rolledBack = false;
  /// Whether that rollback walk reached the end of the block.
  bool rollbackFinished = false;
  /// The failed block's root key, and the paths below it of the keys its walk
  /// made anew, each terminated, in the order they were made (`createdLength`
  /// code units in all). The run deletes those still there without subkeys.
  HKEY failedRoot = nullptr;
  CTaskMemory<char16_t> createdKeys;
  int createdLength = 0;
};

/// Capacity of a token buffer in wide characters; a token holds at most
/// kTokenCapacity - 2 code units plus its terminator.
constexpr int kTokenCapacity = 4096;
/// A caller-owned buffer into which ReadToken copies one token.
using TokenBuffer = char16_t[kTokenCapacity];

/// Capacity of the value-name buffer of a Val entry (at most 258 code units).
constexpr int kValueNameCapacity = 260;

/// True for tab, line feed, carriage return and space; every other value is a
/// token character.
inline bool IsBlank(char16_t c) { return c == u'\t' || c == u'\n' || c == u'\r' || c == u' '; }

/// The position of the character after the one at `p`, as the platform's
/// CharNextW answers it: a character takes the combining marks that follow it,
/// and every such mark, like the second half of a surrogate pair, lies at
/// U+0300 or above, so a next code unit below that begins the next character
/// and costs no call. At the terminator the position stays.
inline const char16_t* NextChar(const char16_t* p) {
  if (*p != 0 && p[1] < 0x0300) return p + 1;
  return sys::CharNextW(p);
}

/// Whether `token` is `keyword` (ASCII letters, digits, underscores and
/// blanks) without regard to case, as the platform's locale-aware comparison
/// decides. A token of ASCII letters and digits alone is compared here, where
/// that comparison can only agree, and costs no call; any other token goes to
/// the platform.
bool IsKeyword(const char16_t* token, const char16_t* keyword);

/// First position in `text`, stepping character by character, whose code unit
/// is `c`; null when the terminator comes first or `text` is null.
const char16_t* FindChar(const char16_t* text, char16_t c);

/// One script run: a read position that only moves forward through the script
/// text (owned by whoever runs the script) and the registrar whose
/// replacements the preparation pass applies.
class ScriptParser {
 public:
  /// Starts with no read position; `registrar` must outlive the parser.
  explicit ScriptParser(CRegistrar* registrar) : registrar_(registrar) {}

  ScriptParser(const ScriptParser&) = delete;
  ScriptParser& operator=(const ScriptParser&) = delete;

  // ---- Tokenizer ----------------------------------------------------------------

  /// Moves the read position past blanks; it may stop at the terminator.
  void SkipBlanks();
  /// True when the read position is at an apostrophe not followed by another.
  bool AtClosingQuote() const;
  /// Copies the next token (bare, or quoted with '' for an apostrophe) into
  /// `buffer` of `capacity` wide characters, at most capacity - 2 code units.
  /// DISP_E_EXCEPTION at the end of the text, for a token that does not fit
  /// (the buffer then holds an unterminated partial copy) or an unclosed quote.
  HRESULT ReadToken(char16_t* buffer, int capacity);
  HRESULT ReadToken(TokenBuffer& buffer) { return ReadToken(buffer, kTokenCapacity); }
  /// When `buffer` begins with "=", reads and drops the type and value tokens
  /// and leaves the token after them, read into slot `after`, in `buffer`;
  /// otherwise reads nothing.
  HRESULT DiscardAssignment(TokenBuffer& buffer, Slot after = Slot::kAfterKey);

  /// Current read position (for tests and diagnostics).
  const char16_t* Position() const { return position_; }
  /// Starts reading at `text`.
  void SetPosition(const char16_t* text) { position_ = text; }

  // ---- Preparation ----------------------------------------------------------------

  /// Copies `text` into a new task-memory block with each %name% replaced by
  /// the registrar's value and each %% by one percent sign; a value that lands
  /// inside a quoted token has its apostrophes doubled so the token receives it
  /// exactly. On success the caller owns *out (CoTaskMemFree); on failure *out
  /// is null. E_POINTER, E_OUTOFMEMORY, DISP_E_EXCEPTION (unclosed or unknown
  /// name) or E_FAIL (name longer than kMaxNameLength code units).
  HRESULT ExpandReplacements(const char16_t* text, char16_t** out);

  // ---- Values -----------------------------------------------------------------------

  /// Reads "type value" after the "=" in `buffer`, writes the value `name`
  /// (null: the default value) under `key`, then reads the following token
  /// into `buffer` (slot `after`). A value written before a missing next
  /// token stays written.
  HRESULT AssignValue(CBorrowedKey key, const char16_t* name, TokenBuffer& buffer,
                      Slot after = Slot::kAfterKey);

  // ---- Key tree -----------------------------------------------------------------------

  /// Prepares `script` and registers or removes its root blocks in order. A
  /// root block that fails to register is walked again in removal mode
  /// (rollback); earlier blocks stay. After the rollback the keys the failed
  /// walk itself created and that are still there are deleted too, deepest
  /// first, each only while it has no subkeys: a failed block leaves no key it
  /// made, NoRemove keys included. The caller keeps `script`; `outcome`, when
  /// given, receives how the run ended.
  HRESULT RunScript(const char16_t* script, ScriptMode mode, ScriptOutcome* outcome = nullptr);
  /// Reads `script` as registration does, creating, writing and deleting
  /// nothing: the same grammar, tokens, entries and stops (a caller that
  /// explains scripts traces it through `outcome`). No rollback follows.
  HRESULT ReadScript(const char16_t* script, ScriptOutcome* outcome) {
    readOnly_ = true;
    const HRESULT hr = RunScript(script, ScriptMode::kRegister, outcome);
    readOnly_ = false;
    return hr;
  }
  /// Interprets one block at `level` from just after its "{" under `parent`
  /// (never closed here). On success the "}" that closed the block is in `token`.
  HRESULT WalkKeyBlock(TokenBuffer& token, HKEY parent, const WalkLevel& level);

 private:
  HRESULT CopyStep(char16_t* buffer, int capacity, int& written);
  HRESULT CutToken(char16_t* buffer, int capacity);
  HRESULT WalkEntry(TokenBuffer& token, BlockKeys& keys, const WalkLevel& level);
  HRESULT DeleteSubject(const char16_t* subject, CBorrowedKey parent);
  HRESULT ValueEntry(TokenBuffer& token, BlockKeys& keys, const WalkLevel& level, unsigned flags);
  HRESULT OpenOrCreateKey(const char16_t* name, BlockKeys& keys, DWORD* disposition);
  HRESULT NoteKey(const char16_t* name, const WalkLevel& level, DWORD disposition);
  HRESULT RegisterKeyEntry(TokenBuffer& token, BlockKeys& keys, const WalkLevel& level);
  HRESULT RemoveKeyEntry(TokenBuffer& token, BlockKeys& keys, const WalkLevel& level, bool removable);
  HRESULT NestedBlock(TokenBuffer& token, HKEY key, const WalkLevel& level);
  // Reads the next token into `slot`.
  HRESULT Read(TokenBuffer& token, Slot slot) {
    slot_ = slot;
    return ReadToken(token);
  }
  // Notes why the walk fails here; answers DISP_E_EXCEPTION.
  HRESULT Refuse(ScriptStop reason) {
    stopReason_ = reason;
    return DISP_E_EXCEPTION;
  }

  HRESULT RunRootBlocks(ScriptMode mode, ScriptOutcome* outcome);
  void NoteStop(const char16_t* prepared, HRESULT hr, ScriptOutcome* outcome) const;

  const char16_t* position_ = nullptr;
  const char16_t* tokenStart_ = nullptr;
  CRegistrar* registrar_;
  // While a root block registers: the path below the root of the key being
  // walked, and the paths of the keys the walk created, each with its
  // terminator, in the order they were made.
  TextBuffer* keyPath_ = nullptr;
  TextBuffer* createdKeys_ = nullptr;
  // Where removal first met a block nested deeper than kMaxNesting (just after
  // its "{", and that token), which it read through untouched: the run then
  // reports DISP_E_EXCEPTION there. Null when none was met.
  const char16_t* deepBlock_ = nullptr;
  const char16_t* deepBlockToken_ = nullptr;
  // Blocks still open in the read-through of a block nested too deep, which
  // counts its inner blocks rather than recursing into them.
  int deepOpen_ = 0;
  // The slot of the token read last, and why the walk failed last (kNone
  // once a removal read past the failure).
  Slot slot_ = Slot::kRootName;
  ScriptStop stopReason_ = ScriptStop::kNone;
  // The first failure that removal read past, and its token.
  ScriptStop firstDropped_ = ScriptStop::kNone;
  const char16_t* firstDroppedToken_ = nullptr;
  ScriptTrace* trace_ = nullptr;
  // Registration that touches no key (ReadScript).
  bool readOnly_ = false;
};
