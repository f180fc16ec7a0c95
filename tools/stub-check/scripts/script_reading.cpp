// One script read the way the interpreter reads it, from the trace of the
// module's own preparation, tokenizer and registration walk: every token has a
// place in the original file and a slot that says what belonged there.
#include <algorithm>
#include <iterator>
#include <utility>

#include "findings/finding.h"
#include "registrar/key_tree.h"
#include "registrar/registrar.h"
#include "registry/registry_state.h"
#include "scripts/script_reading.h"
#include "text/identifiers.h"
#include "text/text.h"

namespace check {
namespace {

// The token at prepared offset `at` as the tokenizer reads it (quotes undone); false for none.
bool TextAt(const ScriptReading& r, std::size_t at, std::u16string* text) {
  if (at >= r.prepared.size()) return false;
  ScriptParser parser(nullptr);
  parser.SetPosition(r.prepared.data() + at);
  TokenBuffer token;
  if (FAILED(parser.ReadToken(token))) return false;
  *text = token;
  return true;
}

// "a, b, c or d"
std::string Listing(const std::vector<std::string>& words) {
  std::string text;
  for (std::size_t i = 0; i < words.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
  }
  return text;
}

// Edit distance between folded names, a swap of two neighbours counting as
// one edit (NoRemvoe is one edit from NoRemove), counted up to limit + 1.
int Distance(std::u16string_view a, std::u16string_view b, int limit) {
  const int gap = static_cast<int>(a.size() > b.size() ? a.size() - b.size() : b.size() - a.size());
  if (gap > limit || a.empty() || b.empty()) return std::min(gap, limit + 1);
  if (a[0] == b[0]) return Distance(a.substr(1), b.substr(1), limit);
  if (limit == 0) return 1;
  int d = 1 + std::min({Distance(a.substr(1), b, limit - 1), Distance(a, b.substr(1), limit - 1),
                        Distance(a.substr(1), b.substr(1), limit - 1)});
  if (a.size() > 1 && b.size() > 1 && a[0] == b[1] && a[1] == b[0]) {
    d = std::min(d, 1 + Distance(a.substr(2), b.substr(2), limit - 1));
  }
  return std::min(d, limit + 1);
}

// The words nearest `name` without being it, without regard to case (as the registry folds names):
// within one edit of a word of at most `shortLength` units (a key named Var or Deleted is plausible),
// two of a longer one; of equally near words, those with the same letters (HKCR for HKRC).
std::vector<const char16_t*> Nearest(const std::u16string& name, const std::vector<const char16_t*>& words,
                                     std::size_t shortLength) {
  std::vector<const char16_t*> nearest;
  const std::u16string folded = FoldCase(name);
  int best = 99;
  for (const char16_t* word : words) {
    const std::u16string w = FoldCase(word);
    const int limit = w.size() > shortLength ? 2 : 1;
    const int d = Distance(folded, w, limit);
    const int rank = 2 * d - (std::is_permutation(folded.begin(), folded.end(), w.begin(), w.end()) ? 1 : 0);
    if (d == 0 || d > limit || rank > best) continue;
    if (rank < best) nearest.clear();
    best = rank;
    nearest.push_back(word);
  }
  return nearest;
}

// "; did you mean HKCR?" for a near root name; empty otherwise.
std::string NearRootNames(const std::u16string& name) {
  std::vector<const char16_t*> roots;
  for (const RootKeyRow& row : RootKeyTable) roots.push_back(row.name);
  std::vector<std::string> words;
  for (const char16_t* root : Nearest(name, roots, 4)) words.push_back(Utf8(root));
  return words.empty() ? "" : "; did you mean " + Listing(words) + "?";
}

// The warnings of one script, each placed at its prepared offset.
struct CWarnings : CappedFindings {
  explicit CWarnings(std::vector<Finding>* findings) : CappedFindings{findings, "script"} {}
  void Add(FindingCode code, const ScriptReading& file, std::size_t at, std::string message,
           std::vector<std::string> notes, std::string remedy) {
    const Place p = file.PlaceOfPrepared(at);
    findings->push_back(
        Raise(code, file.name, p.line, p.column, std::move(message), std::move(remedy), std::move(notes)));
  }
};

// Builds a script's reading from the trace of the module's own walk, and
// warns where the walk does what the author probably did not mean.
class CTraceReader : public ScriptTrace {
 public:
  CTraceReader(ScriptReading& reading, std::vector<Finding>* findings, std::u16string_view original)
      : r_(reading), warnings_(findings), original_(original) {}

  // Where each %name% (or %%, no name) stood and what it became.
  void Replacement(std::size_t originalStart, std::size_t originalEnd, std::size_t preparedStart,
                   std::size_t preparedEnd, bool quoted) override {
    const std::u16string name(original_.substr(originalStart + 1, originalEnd - originalStart - 2));
    r_.anchors.push_back({originalStart, originalEnd, preparedStart, preparedEnd, quoted, name});
  }

  // Preparation succeeded. An unquoted %Module% breaks under a path with a blank.
  void Begin(const char16_t* prepared) override {
    r_.prepared = base_ = prepared;
    for (const Anchor& a : r_.anchors) {
      if (a.name.empty() || a.quoted || !warnings_.Listed(FindingCode::kUnquotedModule)) continue;
      warnings_.Add(FindingCode::kUnquotedModule, r_, a.preparedStart, "%Module% is not quoted",
                    {"installed under a path with a blank (C:\\Program Files\\...) the path splits into "
                     "several tokens and the script fails"},
                    "write '%Module%' in apostrophes");
    }
  }

  void Token(Slot slot, const char16_t* start, const char16_t* end, bool failed) override {
    r_.tokens.push_back(
        {static_cast<std::size_t>(start - base_), static_cast<std::size_t>(end - base_), slot, failed});
    const bool afterName = std::exchange(afterName_, false);
    if (failed) return;
    const std::u16string text = r_.TokenText(Last());
    if (afterName) CheckNameEnd(text);
    if (slot == Slot::kAfterValue || slot == Slot::kAfterKey) CheckValueEnd(text);
    if (slot == Slot::kRootName) {
      root_ = FindRootKey(text.c_str());
      if (root_ && root_ != HKEY_CLASSES_ROOT) {
        Warn(Last(), FindingCode::kOutsideClassesRoot, "a root block under " + Utf8(LongRootName(root_)),
             {"its keys need an administrator to register",
              "a per-user install (regsvr32 /n /i:user) still writes them there for every user"},
             "keep a package's keys under HKCR");
      }
    } else if (slot == Slot::kRootOpen && text[0] == u'{' && text.size() > 1) {
      Warn(Last(), FindingCode::kBraceToken, "'" + Utf8(text) + "' is read as '{'",
           {"the rest of the token is ignored"}, "put blanks around every brace");
    } else if (slot == Slot::kValue && !r_.entries.empty() && !(r_.entries.back().flags & kEntryDelete)) {
      // The value of an assignment, after its type letter.
      const check::Entry& owner = r_.entries.back();
      const char16_t letter = static_cast<char16_t>(r_.TokenText(Last() - 1)[0] | 0x20);
      if (letter == u'b' && text.find_first_not_of(u"0123456789abcdefABCDEF") != std::u16string::npos) {
        Warn(Last(), FindingCode::kBinaryDigit,
             "'" + Utf8(text) + "' holds characters that are no hexadecimal digits", {"each counts as 0"},
             "write binary values as hexadecimal digits only");
      }
      if (letter == u's' && !(owner.flags & kEntryValue)) r_.keys[owner.key].valueToken = Last();
    }
  }

  void Entry(unsigned flags, const char16_t* /*name*/, int depth) override {
    const std::u16string text = r_.TokenText(Last());
    Level& level = levels_[depth];
    level.lastKind = flags & (kEntryValue | kEntryDelete);
    const std::size_t key = flags & kEntryValue ? level.key : r_.Child(level.key, text);
    r_.entries.push_back({key, flags, Last()});
    if (flags & kEntryValue) return;
    afterName_ = true;
    // ForceRemove and Delete of a protected name, read as the subject right after the keyword.
    const bool isDelete = (flags & kEntryDelete) != 0;
    if (r_.tokens[Last()].slot == Slot::kSubject && !MayDeleteKey(text.c_str())) {
      Warn(Last(), FindingCode::kProtectedName,
           std::string(isDelete ? "Delete" : "ForceRemove") + " of '" + Utf8(text) + "' is silently skipped",
           {"keys of this name are never deleted"},
           isDelete ? "remove the entry"
                    : "write the key without ForceRemove (use NoRemove for a shared key)");
    }
    if (isDelete) return;
    KeyNode& node = r_.keys[key];
    if (node.entry == kNoKey) node.entry = r_.entries.size() - 1;
    if ((flags & kEntryNoRemove) && node.noRemoveEntry == kNoKey) node.noRemoveEntry = r_.entries.size() - 1;
    level.lastKey = key;
  }

  void Block(int depth, bool opens) override {
    if (!opens) {
      r_.openBlock = depth > 1 ? levels_[depth - 1].brace : kNoKey;
      const std::u16string text = r_.TokenText(Last());
      if (text.size() > 1) {
        Warn(Last(), FindingCode::kBraceToken, "'" + Utf8(text) + "' closes one block only",
             {"the rest of the token is ignored"}, "put blanks around every brace, one '}' per block");
      }
      return;
    }
    // A block belongs to the latest key entry before it, also after a Val or Delete entry.
    levels_.resize(std::max(levels_.size(), static_cast<std::size_t>(depth) + 1));
    const Level& outer = levels_[depth - 1];
    const std::size_t key = depth == 1 ? r_.Child(kNoKey, LongRootName(root_)) : outer.lastKey;
    if (depth > 1 && outer.lastKind) {
      Warn(Last(), FindingCode::kBlockAfterEntry,
           std::string("a block after a ") + (outer.lastKind & kEntryValue ? "Val" : "Delete") + " entry",
           {"it is walked under " + Utf8(r_.KeyPath(key)) + ", the latest key entry before it"},
           "put the block after the key it belongs to");
    }
    levels_[depth] = {key, key, Last(), 0};
    r_.openBlock = Last();
  }

 private:
  // A block's key, the latest key entry in it, its "{" token, and whether the latest entry was a
  // Val or Delete (kEntry... flags) rather than a key.
  struct Level {
    std::size_t key = kNoKey, lastKey = kNoKey, brace = kNoKey;
    unsigned lastKind = 0;
  };

  std::size_t Last() const { return r_.tokens.size() - 1; }

  void Warn(std::size_t k, FindingCode code, std::string message, std::vector<std::string> notes,
            std::string remedy) {
    if (!warnings_.Listed(code)) return;
    warnings_.Add(code, r_, r_.tokens[k].start, std::move(message), std::move(notes), std::move(remedy));
  }

  // Whether the tokens `a` and `b` stand on one line, `a` read and unquoted.
  bool OnOneLine(std::size_t a, std::size_t b) const {
    const check::Token& t = r_.tokens[a];
    return !t.failed && r_.prepared[t.start] != u'\'' &&
           std::u16string_view(r_.prepared).substr(t.end, r_.tokens[b].start - t.end).find(u'\n') ==
               std::u16string_view::npos;
  }

  // After a key name, the next token (`next`, read last): a bare word on the same line begins
  // another entry, which is what a misspelled keyword or a name with a blank in it leads to.
  void CheckNameEnd(const std::u16string& next) {
    const check::Entry& entry = r_.entries.back();
    if (next[0] == u'=' || next[0] == u'}' || next == u"{" || !OnOneLine(entry.token, Last())) return;
    const std::u16string name16 = r_.TokenText(entry.token);
    const std::string name = Utf8(name16), word = Utf8(next), path = Utf8(r_.KeyPath(entry.key));
    const auto keyword = Nearest(name16, {std::begin(KeywordTable), std::end(KeywordTable)}, 6);
    if (!keyword.empty()) {
      Warn(entry.token, FindingCode::kMisspelledKeyword,
           "'" + name + "' is no keyword; did you mean " + Utf8(keyword[0]) + "?",
           {"it is read as a key name, so registration creates " + path,
            "'" + word + "' after it is read as an entry of its own"},
           "write " + Utf8(keyword[0]));
    } else if (r_.prepared[r_.tokens[Last()].start] != u'\'') {  // a quoted next name reads as meant
      const std::string beside = Utf8(r_.KeyPath(r_.keys[entry.key].parent)) + "\\" + word;
      Warn(
          entry.token, FindingCode::kSplitName,
          "'" + name + "' and '" + word + "' on one line are two entries",
          {"registration creates " + path + " and " + beside,
           "a key of that name may belong to another package"},
          "quote a name with a blank in it ('" + name + " " + word + "'), or put each entry on its own line");
    }
  }

  // After a value, the next token (`next`, read last): a bare word on the same line as an unquoted
  // value ends it at the blank and begins an entry of its own, beside the one the value was meant for.
  void CheckValueEnd(const std::u16string& next) {
    // An unquoted %Module% that splits is told with its own warning.
    const std::size_t v = Last() - 1;
    if (next[0] == u'{' || next[0] == u'}' || r_.tokens[v].slot != Slot::kValue || !OnOneLine(v, Last()) ||
        r_.ReplacementAt(r_.tokens[v].start) || r_.ReplacementAt(r_.tokens[Last()].start)) {
      return;
    }
    const std::string value = Utf8(r_.TokenText(v)), word = Utf8(next);
    bool keyword = r_.prepared[r_.tokens[Last()].start] == u'\'';
    for (const char16_t* k : KeywordTable) keyword = keyword || IsKeyword(next.c_str(), k);
    // The new entry stands in the block of the value's own entry.
    const check::Entry& owner = r_.entries.back();
    const std::size_t parent = owner.flags & kEntryValue ? owner.key : r_.keys[owner.key].parent;
    Warn(
        Last(), FindingCode::kValueEndsAtBlank,
        "'" + word + "' after the unquoted value '" + value + "' is not part of it",
        {"on the same line, the value ends at the blank, so it is '" + value + "'",
         keyword ? "'" + word + "' begins an entry of its own"
                 : "'" + word + "' becomes a key of its own: registration creates " +
                       Utf8(r_.KeyPath(parent)) + "\\" + word + ", and a block after it belongs to that key"},
        "quote a value with a blank in it ('" + value + " " + word + "')");
  }

  ScriptReading& r_;
  CWarnings warnings_;
  std::u16string_view original_;  // the script as given, for the replacements' names
  const char16_t* base_ = nullptr;
  HKEY root_ = nullptr;
  std::vector<Level> levels_;
  bool afterName_ = false;  // the token to come follows a key or Delete entry's name
};

// The ProgID key `progIdKey` of `holder` that the class key's ProgID or VersionIndependentProgID key
// `named` of `r` names: CLSIDFromProgID (and so a script's CreateObject) reads the class from its
// CLSID subkey only, and does not follow CurVer.
void CheckProgIdClass(const ScriptReading& r, const KeyNode& named, const ScriptReading& holder,
                      std::size_t progIdKey, CWarnings& warnings) {
  const std::u16string& classId = r.keys[named.parent].name;
  const bool independent = FoldCase(named.name)[0] == u'v';
  const std::string kind = independent ? "version-independent ProgID" : "ProgID";
  const std::string progId = Utf8(r.TokenText(named.valueToken)), classKey = Utf8(r.KeyPath(named.parent));
  const std::string whose = progId + " is the " + kind + " of " + classKey;
  // The string value of `key`'s CLSID subkey, as a key entry writes it, or kNoKey.
  auto clsidValue = [&](std::size_t key) {
    const auto id = holder.children.find({key, u"clsid"});
    return id == holder.children.end() ? kNoKey : holder.keys[id->second].valueToken;
  };
  const std::size_t valueToken = clsidValue(progIdKey);
  if (valueToken != kNoKey) {
    const std::u16string other = holder.TokenText(valueToken);
    if (FoldCase(other) == FoldCase(classId) || !warnings.Listed(FindingCode::kProgIdOtherClass)) return;
    warnings.Add(FindingCode::kProgIdOtherClass, holder, holder.tokens[valueToken].start,
                 "the CLSID of " + progId + " names another class, " + Utf8(other),
                 {whose, "CLSIDFromProgID(\"" + progId + "\") and CreateObject(\"" + progId +
                             "\") give the other class"},
                 "if " + progId + " belongs to this class, write CLSID = s '" + Utf8(classId) +
                     "' inside its key; if not, name this class's own " + kind + " in " + classKey);
    return;
  }
  if (!warnings.Listed(FindingCode::kProgIdWithoutClsid)) return;
  // A block holding this class's CLSID may have gone to a key named right
  // after a value, beside the ProgID key: a word after its unquoted value took the block.
  std::vector<std::string> notes = {whose, "CLSIDFromProgID(\"" + progId +
                                               "\") reads only that subkey (it does not " +
                                               "follow CurVer) and fails with CO_E_CLASSSTRING, so " +
                                               "CreateObject(\"" + progId + "\") fails in every script"};
  std::size_t taker = kNoKey;
  for (const Entry& e : holder.entries) {
    if ((e.flags & (kEntryValue | kEntryDelete)) == 0 && e.token > 0 &&
        holder.tokens[e.token - 1].slot == Slot::kValue && e.key != progIdKey &&
        holder.keys[e.key].parent == holder.keys[progIdKey].parent && clsidValue(e.key) != kNoKey &&
        FoldCase(holder.TokenText(clsidValue(e.key))) == FoldCase(classId)) {
      taker = e.key;
    }
  }
  if (taker != kNoKey) {
    notes.push_back("the CLSID of the block after it is written under " + Utf8(holder.KeyPath(taker)) +
                    " instead");
  }
  // Placed at the ProgID key, where the CLSID belongs.
  warnings.Add(FindingCode::kProgIdWithoutClsid, holder,
               holder.tokens[holder.entries[holder.keys[progIdKey].entry].token].start,
               "the " + kind + " key " + progId + " has no CLSID", std::move(notes),
               taker != kNoKey ? "quote the value of the " + progId +
                                     " key, so that its block, with the CLSID, stays its own"
                               : "write CLSID = s '" + Utf8(classId) + "' inside the " + progId + " key" +
                                     (independent ? ", next to CurVer" : ""));
}

// Which wording of a stop reason applies: any, or kEndOfText with a block still open, kNoRoot at a
// '}' after the root blocks or at other text after them, kNotOneLevel for an empty name.
enum class StopCase { kAny, kBlockOpen, kExtraBrace, kAfterLastBlock, kEmptyName };

// What was wrong where a run stopped, and what to write there, by the reason the interpreter gave
// (kNone on a failed run: the registry failed, not the text); WordStop fills the {fields}.
struct StopWording {
  ScriptStop reason;
  StopCase variant;
  const char* problem;
  const char* notes[2];  // "": none
  const char* remedy;
};

constexpr char kPercentRemedy[] = "write %% for a percent sign and '%Module%' for the module's path";
constexpr StopWording kStopWordings[] = {
    {ScriptStop::kEndOfText, StopCase::kBlockOpen, "a block is never closed",
     "the script ends where {slot} belongs", "the block opened at {block} is left open",
     "close every block with its '}'"},
    {ScriptStop::kEndOfText, StopCase::kAny, "the script ends early", "the script ends where {slot} belongs",
     "", "complete the script"},
    {ScriptStop::kOpenQuote, StopCase::kAny, "the quotation opened here is never closed", "", "",
     "close the quotation with an apostrophe (write '' for an apostrophe inside it)"},
    {ScriptStop::kLongToken, StopCase::kAny, "the token is longer than {length} characters", "", "",
     "shorten the token"},
    {ScriptStop::kNoRoot, StopCase::kExtraBrace, "this '}' closes more blocks than were opened",
     "a root key name or the end of the script belongs here", "",
     "remove the '}', or add the '{' it was meant to close"},
    {ScriptStop::kNoRoot, StopCase::kAfterLastBlock, "text after the last '}'",
     "a root key name or the end of the script belongs here: the text is read as another root block", "",
     "remove the text after the last '}': the script language has no comments"},
    {ScriptStop::kNoRoot, StopCase::kAny, "expected a root key name", "root key names are {roots}", "",
     "write a root key name: HKCR for a package's keys"},
    {ScriptStop::kNoRootBlock, StopCase::kAny, "expected '{' after the root key name", "", "",
     "write '{' after the root key name"},
    {ScriptStop::kNotOneLevel, StopCase::kEmptyName, "expected a key name that is not empty", "", "",
     "write the key's name: an empty name stands for the parent key itself"},
    {ScriptStop::kNotOneLevel, StopCase::kAny, "expected a key name of one level", "a key name holds no '\\'",
     "", "write one key name: a deeper key is an entry in its parent's block"},
    {ScriptStop::kNoEquals, StopCase::kAny, "expected '=' after the value name", "", "",
     "write '=' after the value name"},
    {ScriptStop::kUnknownType, StopCase::kAny, "expected a type letter", "", "",
     "write a type letter: {types}"},
    {ScriptStop::kBadNumber, StopCase::kAny, "expected a number from 0 to 4294967295", "", "",
     "write a decimal number from 0 to 4294967295"},
    {ScriptStop::kOddDigits, StopCase::kAny, "expected an even number of hexadecimal digits", "", "",
     "write two hexadecimal digits for each byte"},
    {ScriptStop::kTooDeep, StopCase::kAny, "blocks nested more than {depth} deep",
     "the root block counts as 1", "", "nest blocks at most {depth} deep: this block is one too deep"},
    {ScriptStop::kUnknownName, StopCase::kAny, "no such replacement", "%Module% is the only name",
     "a lone % pairs with the next % anywhere later", kPercentRemedy},
    {ScriptStop::kLongName, StopCase::kAny, "a %name% longer than {name length} characters",
     "a lone % pairs with the next % anywhere later", "", kPercentRemedy},
    {ScriptStop::kNone, StopCase::kAny, "the registry refused this key or value", "", "",
     "register from an elevated prompt, or for the user alone (regsvr32 /n /i:user) with every key under "
     "HKCR"},
};

// What belongs in each slot, in the order of Slot.
constexpr const char* kSlotWords[] = {
    "a root key name ({roots})",       "'{' after the root key name", "{entries}",
    "the name of the key to delete",   "the next entry or '}'",       "a value name",
    "'=' after the value name",        "a type letter: {types}",      "the value after the type letter",
    "'=', '{', the next entry or '}'", "'{', the next entry or '}'"};
static_assert(std::size(kSlotWords) == kSlotCount, "one wording for each Slot, in its order");

// Every reason has a row of its own that fits any case, and kNone's row is the last (WordStop
// falls back on it): a reason without a row would silently take the last row's wording.
constexpr bool EveryStopWorded() {
  for (std::size_t reason = 0; reason < kScriptStopCount; ++reason) {
    bool worded = false;
    for (const StopWording& row : kStopWordings) {
      worded = worded || (static_cast<std::size_t>(row.reason) == reason && row.variant == StopCase::kAny);
    }
    if (!worded) return false;
  }
  return std::end(kStopWordings)[-1].reason == ScriptStop::kNone;
}
static_assert(EveryStopWorded(), "kStopWordings words every ScriptStop, kNone last");

// The wording of a stop for `reason` at prepared offset `at`, where `token` was read (when
// `readable`), into `f`: the end of its message, its notes and remedy, the fields filled in once.
void WordStop(const ScriptReading& reading, ScriptStop reason, Slot slot, std::size_t at,
              const std::u16string& token, bool readable, Finding* f) {
  // The variant that fits: a block left open, a '}' too many, text after the last block, an empty name.
  StopCase variant = StopCase::kAny;
  std::string block;
  if (reason == ScriptStop::kEndOfText && reading.openBlock != kNoKey) {
    variant = StopCase::kBlockOpen;
    const Place p = reading.PlaceOfPrepared(reading.tokens[reading.openBlock].start);
    block = "line " + std::to_string(p.line) + ", column " + std::to_string(p.column);
  } else if (reason == ScriptStop::kNoRoot && reading.prepared.find_first_not_of(u" \t\r\n") < at) {
    // A root name is read after the first only once a root block has ended.
    variant = token == u"}" ? StopCase::kExtraBrace : StopCase::kAfterLastBlock;
  } else if (reason == ScriptStop::kNotOneLevel && readable && token.empty()) {
    variant = StopCase::kEmptyName;
  }
  std::vector<std::string> roots, entries = {"a key name"}, types;
  for (const RootKeyRow& row : RootKeyTable) {
    if (std::u16string_view(row.name).substr(0, 5) != u"HKEY_") roots.push_back(Utf8(row.name));
  }
  roots.push_back("their HKEY_ forms");
  for (const char16_t* keyword : KeywordTable) entries.push_back(Utf8(keyword));
  entries.push_back("'}'");
  for (const ValueTypeRow& row : ValueTypeTable) types.push_back(Utf8(FoldCase(row.letter)));
  // {slot} holds other fields, so it is filled first.
  const std::pair<std::string, std::string> fields[] = {
      {"{slot}", kSlotWords[static_cast<int>(slot)]},
      {"{block}", block},
      {"{length}", std::to_string((slot == Slot::kValueName ? kValueNameCapacity : kTokenCapacity) - 2)},
      {"{depth}", std::to_string(kMaxNesting)},
      {"{name length}", std::to_string(kMaxNameLength)},
      {"{roots}", Listing(roots)},
      {"{entries}", Listing(entries)},
      {"{types}", Listing(types)}};
  auto fill = [&](std::string text) {
    for (const auto& [field, value] : fields) {
      for (std::size_t i = text.find(field); i != std::string::npos; i = text.find(field, i + value.size())) {
        text.replace(i, field.size(), value);
      }
    }
    return text;
  };
  // The last row, kNone's, also words a reason no other row has.
  const StopWording* w = std::find_if(std::begin(kStopWordings), std::end(kStopWordings) - 1, [&](auto& row) {
    return row.reason == reason && (row.variant == variant || row.variant == StopCase::kAny);
  });
  f->message = fill(w->problem);
  for (const char* note : w->notes) {
    if (*note) f->notes.push_back(fill(note));
  }
  f->remedy = fill(w->remedy);
  if (reason == ScriptStop::kNoRoot && variant != StopCase::kExtraBrace) f->message += NearRootNames(token);
}

}  // namespace

Place ScriptReading::PlaceOfOriginal(std::size_t offset) const {
  if (lineStarts.empty()) return Place{1, 1};  // nothing was read
  offset = std::min(offset, originalSize);
  // lineStarts[0] is 0; the line holding `offset` is the last that starts at or before it.
  const auto line = std::upper_bound(lineStarts.begin(), lineStarts.end(), offset) - 1;
  const auto low = std::lower_bound(lowSurrogates.begin(), lowSurrogates.end(), *line);
  const auto lowEnd = std::lower_bound(lowSurrogates.begin(), lowSurrogates.end(), offset);
  return {static_cast<int>(line - lineStarts.begin()) + 1,
          static_cast<int>(offset - *line - static_cast<std::size_t>(lowEnd - low)) + 1};
}

Place ScriptReading::PlaceOfPrepared(std::size_t prepared) const {
  // After the last anchor that starts at or before `prepared` (anchors are in order).
  auto after = std::upper_bound(anchors.begin(), anchors.end(), prepared,
                                [](std::size_t p, const Anchor& a) { return p < a.preparedStart; });
  if (after == anchors.begin()) return PlaceOfOriginal(prepared);
  const Anchor& a = *(after - 1);
  return PlaceOfOriginal(prepared < a.preparedEnd ? a.originalStart
                                                  : a.originalEnd + prepared - a.preparedEnd);
}

std::u16string ScriptReading::TokenText(std::size_t k) const {
  std::u16string text;
  if (k < tokens.size() && !tokens[k].failed) TextAt(*this, tokens[k].start, &text);
  return text;
}

std::size_t ScriptReading::Child(std::size_t parent, const std::u16string& name) {
  auto [it, made] = children.try_emplace({parent, FoldCase(name)}, keys.size());
  if (made) keys.push_back({parent, name});
  return it->second;
}

std::size_t ScriptReading::FindKey(const std::u16string& path) const {
  std::size_t node = kNoKey, start = 0;
  for (std::size_t slash = 0; slash != std::u16string::npos; start = slash + 1) {
    slash = path.find(u'\\', start);
    auto it = children.find({node, FoldCase(path.substr(start, slash - start))});
    if (it == children.end()) return kNoKey;
    node = it->second;
  }
  return node;
}

std::u16string ScriptReading::KeyPath(std::size_t node) const {
  if (node == kNoKey) return u"";
  const std::u16string parent = KeyPath(keys[node].parent);
  return parent.empty() ? keys[node].name : parent + u"\\" + keys[node].name;
}

const Anchor* ScriptReading::ReplacementAt(std::size_t p) const {
  auto in = [p](const Anchor& a) { return !a.name.empty() && p >= a.preparedStart && p < a.preparedEnd; };
  auto a = std::find_if(anchors.begin(), anchors.end(), in);
  return a == anchors.end() ? nullptr : &*a;
}

ScriptReading ReadScript(const std::string& name, std::u16string_view original,
                         const std::u16string& modulePath, std::vector<Finding>* findings) {
  ScriptReading r;
  r.name = name;
  r.originalSize = original.size();
  r.lineStarts = {0};
  for (std::size_t i = 0; i < original.size(); ++i) {
    if (original[i] == u'\n') r.lineStarts.push_back(i + 1);
    if (original[i] >= 0xDC00 && original[i] <= 0xDFFF) r.lowSurrogates.push_back(i);
  }
  CTraceReader reader(r, findings, original);
  CRegistrar registrar;
  registrar.DefineReplacement(u"Module", modulePath.c_str());
  ScriptParser parser(&registrar);
  ScriptOutcome outcome;
  outcome.trace = &reader;
  parser.ReadScript(original.data(), &outcome);
  if (outcome.inPreparation) {
    r.prepareResult = outcome.result;
    const std::size_t stop = std::min(outcome.stop, original.size()), end = original.find(u'%', stop + 1);
    r.stopText = original.substr(
        stop, end == std::u16string_view::npos ? 12 : std::min<std::size_t>(end - stop + 1, 40));
  }
  return r;
}

void CheckProgIds(const std::vector<ScriptReading>& readings, std::vector<Finding>* findings) {
  // The classes root as a script names it, and as the machine's and the user's classes.
  const char16_t* const kClassRoots[] = {u"HKEY_CLASSES_ROOT\\", u"HKEY_LOCAL_MACHINE\\Software\\Classes\\",
                                         u"HKEY_CURRENT_USER\\Software\\Classes\\"};
  for (const ScriptReading& r : readings) {
    CWarnings warnings(findings);
    for (const KeyNode& k : r.keys) {
      // CLSID\{...}\ProgID (or VersionIndependentProgID) = s '...'
      const std::u16string kind = FoldCase(k.name), progId = r.TokenText(k.valueToken);
      const std::size_t clsid = progId.empty() ? kNoKey : r.keys[k.parent].parent;
      if (clsid == kNoKey || (kind != u"progid" && kind != u"versionindependentprogid") ||
          r.keys[k.parent].name[0] != u'{' || FoldCase(r.keys[clsid].name) != u"clsid" ||
          progId.find(u'\\') != std::u16string::npos) {
        continue;
      }
      // Beside the CLSID key the class key stands in, or under any classes root.
      std::vector<std::u16string> places = {r.KeyPath(r.keys[clsid].parent) + u"\\" + progId};
      for (const char16_t* root : kClassRoots) places.push_back(root + progId);
      const ScriptReading* holder = nullptr;
      std::size_t progIdKey = kNoKey;
      for (const ScriptReading& other : readings) {
        for (const std::u16string& place : places) {
          const std::size_t key = holder ? kNoKey : other.FindKey(place);
          if (key != kNoKey && other.keys[key].entry != kNoKey) holder = &other, progIdKey = key;
        }
      }
      if (holder) {
        CheckProgIdClass(r, k, *holder, progIdKey, warnings);
      } else if (warnings.Listed(FindingCode::kProgIdWithoutKey)) {
        warnings.Add(FindingCode::kProgIdWithoutKey, r, r.tokens[k.valueToken].start,
                     "the ProgID '" + Utf8(progId) + "' names a key neither script creates",
                     {"the class key " + Utf8(r.KeyPath(k.parent)) + " names it",
                      "a client that asks for the class by that name (CLSIDFromProgID) does not find it, or "
                      "finds whatever another package registered there"},
                     "create the ProgID key with its CLSID under it (" + Utf8(progId) +
                         " = s '...' { CLSID = s '{...}' }), or correct the ProgID value");
      }
    }
  }
}

Finding DescribeStop(const ScriptReading& reading, const ScriptOutcome& outcome, ScriptMode mode) {
  // Where the run went wrong: the %name% preparation refused, or the token the walk stopped at, or,
  // when removal read on past a failure inside a key it could not open, that failure: what threw
  // the reading off, which registration stops at too.
  const bool walked = !outcome.inPreparation;
  const std::size_t size = reading.prepared.size();
  const bool readPast = walked && outcome.firstDropped != ScriptStop::kNone &&
                        !reading.ReplacementAt(std::min(outcome.tokenStart, size));
  const std::size_t at = !walked    ? outcome.stop
                         : readPast ? std::min(outcome.firstDroppedToken, size)
                                    : std::min(outcome.tokenStart, size);
  const ScriptStop reason = readPast ? outcome.firstDropped : outcome.reason;
  Slot slot = readPast ? Slot::kEntry : outcome.expected;
  for (const Token& t : reading.tokens) slot = readPast && t.start == at ? t.slot : slot;
  const Anchor* in = walked ? reading.ReplacementAt(at) : nullptr;
  std::u16string token = reading.stopText;
  const bool readable = !walked || (reason != ScriptStop::kLongToken && reason != ScriptStop::kOpenQuote &&
                                    TextAt(reading, at, &token));
  const std::string run = mode == ScriptMode::kRegister ? "registration" : "removal";
  const Place p = walked ? reading.PlaceOfPrepared(at) : reading.PlaceOfOriginal(at);
  Finding f =
      Raise(mode == ScriptMode::kRegister ? FindingCode::kRegistrationError : FindingCode::kRemovalError,
            reading.name, p.line, p.column, "", "");
  f.notes.push_back("the " + run + " answers " + DescribeResult(outcome.result));
  f.arguments.push_back({"result", Hex32(outcome.result)});
  WordStop(reading, reason, slot, at, token, readable, &f);
  std::string head = run + (readPast ? " goes wrong " : " stops ") +
                     (walked && at >= size ? "at the end of the script"
                      : readable           ? "at '" + Utf8(token) + "'"
                                           : "at the token starting here");
  if (readPast) {
    f.notes.push_back(
        "removal reads on past this failure, as it does inside a key it cannot open, and stops "
        "further on");
  }
  if (readable) f.arguments.push_back({"stopAt", Utf8(token)});
  if (readable && !in) f.length = static_cast<int>(token.size());
  if (in) {
    // A stop inside a replacement's value is shown where the author wrote the replacement.
    const std::string name = "%" + Utf8(in->name) + "%";
    head += ", inside " + name;
    f.notes.push_back(name + " stands for " +
                      Utf8(reading.prepared.substr(in->preparedStart, in->preparedEnd - in->preparedStart)) +
                      " here");
    f.length = static_cast<int>(in->originalEnd - in->originalStart);
    f.arguments.push_back({"replacement", name});
    if (!in->quoted) {
      f.notes.push_back(name + " is not quoted, so a blank in its value splits it into several tokens");
      f.remedy = "write '" + name + "' in apostrophes";
    }
  }
  f.message = head + ": " + f.message;
  return f;
}

}  // namespace check
