// One script read the way the interpreter reads it: prepared by the module's
// own preparation pass, cut into tokens by the module's own tokenizer, and
// followed through the registration grammar, so that every token has a place
// in the original file and a slot that says what belonged there.
#include <algorithm>
#include <iterator>

#include "checker.h"
#include "platform/unique_resource.h"
#include "registrar/key_tree.h"
#include "registrar/registrar.h"
#include "registrar/value_types.h"

namespace check {
namespace {

// `text` prepared by the module's own pass with %Module% = `module`, into
// `*prepared` (the module's block, kept as it is: a large script is not
// copied); empty when preparation fails.
std::u16string_view Prepare(std::u16string_view text, const std::u16string& module,
                            CTaskMemory<char16_t>* prepared, HRESULT* result, std::size_t* stop) {
  CRegistrar registrar;
  registrar.DefineReplacement(u"Module", module.c_str());
  ScriptParser parser(&registrar);
  *result = parser.ExpandReplacements(text.data(), prepared->Put());
  if (FAILED(*result)) {
    *stop = parser.Position() ? static_cast<std::size_t>(parser.Position() - text.data()) : 0;
    prepared->Reset();
    return {};
  }
  return prepared->Get();
}

// "a, b, c or d"
std::string Listing(const std::vector<std::string>& words) {
  std::string text;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i > 0) text += i + 1 == words.size() ? " or " : ", ";
    text += words[i];
  }
  return text;
}

// The grammar's tables, worded: the short root names, the entry keywords and
// the type letters as a script writes them.
std::string RootNames() {
  std::vector<std::string> names;
  for (const RootKeyRow& row : RootKeyTable) {
    if (std::u16string_view(row.name).substr(0, 5) != u"HKEY_") names.push_back(Utf8(row.name));
  }
  names.push_back("their HKEY_ forms");
  return Listing(names);
}

std::string EntryWords() {
  std::vector<std::string> words = {"a key name"};
  for (const char16_t* keyword : KeywordTable) words.push_back(Utf8(keyword));
  words.push_back("'}'");
  return Listing(words);
}

std::string TypeLetters() {
  std::vector<std::string> letters;
  for (const ValueTypeRow& row : ValueTypeTable) letters.push_back(Utf8(FoldCase(row.letter)));
  return Listing(letters);
}

std::string SlotText(Slot slot) {
  switch (slot) {
    case Slot::kRootName:
      return "a root key name (" + RootNames() + ")";
    case Slot::kRootOpen:
      return "'{' after the root key name";
    case Slot::kEntry:
      return EntryWords();
    case Slot::kSubject:
      return "the name of the key to delete";
    case Slot::kAfterDelete:
      return "the next entry or '}'";
    case Slot::kValueName:
      return "a value name";
    case Slot::kEquals:
      return "'=' after the value name";
    case Slot::kType:
      return "a type letter: " + TypeLetters();
    case Slot::kValue:
      return "the value after the type letter";
    case Slot::kAfterKey:
      return "'=', '{', the next entry or '}'";
    case Slot::kAfterValue:
      return "'{', the next entry or '}'";
  }
  return "";
}

// Edit distance without regard to case (as the registry folds names), a swap of two neighbours
// counting as one edit (NoRemvoe is one edit from NoRemove); at most `limit`
// is of interest, anything above answers limit + 1.
int Distance(const std::u16string& name, const char16_t* b, int limit) {
  const std::u16string a = FoldCase(name), w = FoldCase(b);
  const std::size_t n = a.size(), m = w.size();
  if ((n > m ? n - m : m - n) > static_cast<std::size_t>(limit)) return limit + 1;
  std::vector<std::vector<int>> d(n + 1, std::vector<int>(m + 1));
  for (std::size_t i = 0; i <= n; ++i) d[i][0] = static_cast<int>(i);
  for (std::size_t j = 0; j <= m; ++j) d[0][j] = static_cast<int>(j);
  for (std::size_t i = 1; i <= n; ++i) {
    for (std::size_t j = 1; j <= m; ++j) {
      const bool same = a[i - 1] == w[j - 1];
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (same ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == w[j - 2] && a[i - 2] == w[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return std::min(d[n][m], limit + 1);
}

// The entry keyword `name` most probably misspells, or null. A key name is
// taken for a keyword misspelled within one edit of a short keyword (a key
// named Var or Deleted is plausible) and two of a long one.
const char16_t* NearKeyword(const std::u16string& name) {
  const char16_t* best = nullptr;
  int bestDistance = 99;
  for (const char16_t* keyword : KeywordTable) {
    const int limit = std::u16string_view(keyword).size() > 6 ? 2 : 1;
    const int d = Distance(name, keyword, limit);
    if (d > 0 && d <= limit && d < bestDistance) {
      best = keyword;
      bestDistance = d;
    }
  }
  return best;
}

bool SameLetters(const std::u16string& a, const char16_t* b) {
  std::u16string x = FoldCase(a), y = FoldCase(b);
  std::sort(x.begin(), x.end());
  std::sort(y.begin(), y.end());
  return x == y;
}

// "; did you mean HKCR?" when `name` is one edit from a short root name or
// two from a long one (of equally near names, those with the same letters,
// HKCR for HKRC); empty otherwise.
std::string NearRootNames(const std::u16string& name) {
  std::vector<const char16_t*> names;
  int best = 99;
  for (const RootKeyRow& row : RootKeyTable) {
    const int limit = std::u16string(row.name).size() > 4 ? 2 : 1;
    const int d = Distance(name, row.name, limit);
    if (d == 0 || d > limit || d > best) continue;
    if (d < best) names.clear();
    best = d;
    names.push_back(row.name);
  }
  std::vector<const char16_t*> swapped;
  for (const char16_t* n : names) {
    if (SameLetters(name, n)) swapped.push_back(n);
  }
  if (!swapped.empty()) names = swapped;
  if (names.empty()) return "";
  std::string text = "; did you mean " + Utf8(names[0]);
  for (std::size_t i = 1; i < names.size(); ++i) {
    text += (i + 1 == names.size() ? " or " : ", ") + Utf8(names[i]);
  }
  return text + "?";
}

// The warnings of one script: at most kWarningsPerCode of each kind listed,
// the last one listed saying how many more there are. The place of a warning
// that is not listed is never worked out.
class CWarnings {
 public:
  explicit CWarnings(std::vector<Finding>* findings) : findings_(findings) {}
  ~CWarnings() {
    for (const auto& [code, kind] : kinds_) {
      if (kind.count <= kWarningsPerCode) continue;
      (*findings_)[kind.last].notes.push_back(std::to_string(kind.count - kWarningsPerCode) +
                                              " more like it in this script, not listed");
    }
  }
  // True when a warning of `code` is still listed; the caller then Adds it.
  bool Listed(const std::string& code) {
    Kind& kind = kinds_[code];
    return ++kind.count <= kWarningsPerCode;
  }
  void Add(Finding finding) {
    kinds_[finding.code].last = findings_->size();
    findings_->push_back(std::move(finding));
  }

 private:
  struct Kind {
    int count = 0;
    std::size_t last = 0;
  };
  std::vector<Finding>* findings_;
  std::map<std::string, Kind> kinds_;
};

// Builds a script's reading from the trace of the module's own walk, reading
// it as registration does without touching any key: the tokens in their
// slots, the key tree and entries, and the warnings about what the walk does
// that the author probably did not mean. The grammar itself is the walk's.
class CTraceReader : public ScriptTrace {
 public:
  CTraceReader(ScriptReading& reading, CWarnings& warnings, std::u16string_view original)
      : r_(reading), warnings_(warnings), original_(original) {}

  // Preparation's replacements, as the module made them: where each %name%
  // stood and what it became. An unquoted %Module% breaks under a path with a blank.
  void Replacement(std::size_t originalStart, std::size_t originalEnd, std::size_t preparedStart,
                   std::size_t preparedEnd, bool quoted) override {
    const bool named = originalEnd - originalStart > 2;
    const std::u16string name(named ? original_.substr(originalStart + 1, originalEnd - originalStart - 2) : u"");
    r_.anchors.push_back({originalStart, originalEnd, preparedStart, preparedEnd, named, quoted, name});
    if (!named || quoted || !warnings_.Listed("unquoted-module")) return;
    const Place p = r_.PlaceOfOriginal(originalStart);
    warnings_.Add({Severity::kWarning, "unquoted-module", r_.name, p.line, p.column,
                   "%Module% is not quoted: installed under a path with a blank (C:\\Program Files\\...) "
                   "the path splits into several tokens and the script fails",
                   "write '%Module%' in apostrophes"});
  }

  void Begin(const char16_t* prepared) override { base_ = prepared; }

  void Token(Slot slot, const char16_t* start, const char16_t* end, bool failed) override {
    check::Token t;
    t.start = static_cast<std::size_t>(start - base_);
    t.end = static_cast<std::size_t>(end - base_);
    t.slot = slot;
    t.failed = failed;
    r_.tokens.push_back(t);
    const Pending pending = pending_;
    pending_ = {};
    if (failed) return;
    const std::u16string text = r_.TokenText(Last());
    if (pending.key != kNoKey) CheckNameEnd(pending, text);
    if (slot == Slot::kAfterValue || slot == Slot::kAfterKey) CheckValueEnd(text);
    switch (slot) {
      case Slot::kRootName:
        root_ = FindRootKey(text.c_str());
        if (root_ && root_ != HKEY_CLASSES_ROOT) {
          Warn(Last(), "outside-classes-root",
               "a root block under " + Utf8(LongRootName(root_)) +
                   ": its keys need an administrator to register, and a per-user install "
                   "(regsvr32 /n /i:user) still writes them there for every user",
               "keep a package's keys under HKCR");
        }
        break;
      case Slot::kRootOpen:
        if (text[0] == u'{' && text.size() > 1) {
          Warn(Last(), "brace-token",
               "'" + Utf8(text) + "' is read as '{': the rest of the token is ignored",
               "put blanks around every brace");
        }
        break;
      case Slot::kType:
        type_ = text;
        break;
      case Slot::kValue:
        Value(text);
        break;
      default:
        break;
    }
  }

  void Entry(unsigned flags, const char16_t* name, int depth) override {
    const std::size_t nameToken = Last();
    const std::u16string text = r_.TokenText(nameToken);
    Level& level = Depth(depth);
    const bool noRemove = (flags & kEntryNoRemove) != 0;
    valueOwner_ = kNoKey;
    level.lastKind = flags & (kEntryValue | kEntryDelete);
    if (flags & kEntryValue) {
      r_.entries.push_back({level.key, text, true, noRemove, false, false, nameToken});
      ownerIsValue_ = true;
      return;
    }
    ownerIsValue_ = false;
    const bool isDelete = (flags & kEntryDelete) != 0;
    // ForceRemove and Delete of a protected name: the subject right after the keyword.
    if ((flags & (kEntryDelete | kEntryForceRemove)) && nameToken > 0 &&
        (IsKeyword(r_.TokenText(nameToken - 1).c_str(), KeywordText(Keyword::kDelete)) ||
         IsKeyword(r_.TokenText(nameToken - 1).c_str(), KeywordText(Keyword::kForceRemove))) &&
        !MayDeleteKey(text.c_str())) {
      Warn(nameToken, "protected-name",
           std::string(isDelete ? "Delete" : "ForceRemove") + " of '" + Utf8(text) +
               "': keys of this name are never deleted, so this is silently skipped",
           isDelete ? "remove the entry"
                    : "write the key without ForceRemove (use NoRemove for a shared key)");
    }
    const std::size_t key = r_.Child(level.key, text);
    if (isDelete) {
      r_.entries.push_back({key, u"", false, false, false, true, nameToken});
    } else {
      r_.keys[key].written = true;
      if (noRemove && r_.keys[key].noRemoveEntry == kNoKey) {
        r_.keys[key].noRemoveEntry = r_.entries.size();
      }
      r_.entries.push_back(
          {key, u"", false, noRemove, (flags & kEntryForceRemove) != 0, false, nameToken});
      level.lastKey = key;
      valueOwner_ = key;
      ownerName_ = text;
      ownerParent_ = level.key;
    }
    pending_ = {key, nameToken, text};
  }

  void Block(int depth, bool opens) override {
    r_.blocks.push_back({Last(), depth, opens});
    if (!opens) {
      const std::u16string text = r_.TokenText(Last());
      if (text.size() > 1) {
        Warn(Last(), "brace-token",
             "'" + Utf8(text) + "' closes one block only: the rest of the token is ignored",
             "put blanks around every brace, one '}' per block");
      }
      return;
    }
    std::size_t key = kNoKey;
    if (depth == 1) {
      key = r_.Child(kNoKey, LongRootName(root_));
    } else {
      // A block belongs to the latest key entry before it, also when it
      // follows a Val or Delete entry.
      const Level& outer = Depth(depth - 1);
      key = outer.lastKey;
      if (outer.lastKind) {
        Warn(Last(), "block-after-entry",
             std::string("a block after a ") + (outer.lastKind & kEntryValue ? "Val" : "Delete") +
                 " entry: it is walked under " + Utf8(r_.KeyPath(key)) +
                 ", the latest key entry before it",
             "put the block after the key it belongs to");
      }
    }
    Depth(depth) = {key, key, 0};
  }

 private:
  // A block's key, the latest key entry in it, and whether the latest entry
  // was a Val or Delete (kEntry... flags) rather than a key.
  struct Level {
    std::size_t key = kNoKey;
    std::size_t lastKey = kNoKey;
    unsigned lastKind = 0;
  };
  // A key or Delete entry whose next token is still to come.
  struct Pending {
    std::size_t key = kNoKey;
    std::size_t nameToken = 0;
    std::u16string name;
  };

  std::size_t Last() const { return r_.tokens.size() - 1; }

  Level& Depth(int depth) {
    if (levels_.size() <= static_cast<std::size_t>(depth)) levels_.resize(depth + 1);
    return levels_[depth];
  }

  void Warn(std::size_t token, const std::string& code, const std::string& message,
            const std::string& remedy) {
    if (!warnings_.Listed(code)) return;
    const Place p = r_.PlaceOfPrepared(r_.tokens[token].start);
    warnings_.Add({Severity::kWarning, code, r_.name, p.line, p.column, message, remedy});
  }

  // The value of an assignment; `type_` holds its type letter.
  void Value(const std::u16string& text) {
    const char16_t letter = type_.empty() ? 0 : static_cast<char16_t>(type_[0] | 0x20);
    if (ownerIsValue_ || valueOwner_ != kNoKey) {
      if (letter == u'b' && text.find_first_not_of(u"0123456789abcdefABCDEF") != std::u16string::npos) {
        Warn(Last(), "binary-digit",
             "'" + Utf8(text) + "' holds characters that are no hexadecimal digits: each "
             "counts as 0",
             "write binary values as hexadecimal digits only");
      }
    }
    if (valueOwner_ == kNoKey || letter != u's') return;
    r_.keys[valueOwner_].valueToken = Last();
    if (IsProgIdKey(ownerName_, ownerParent_)) {
      r_.progIds.push_back(
          {text, ownerParent_, Last(), FoldCase(ownerName_) == u"versionindependentprogid"});
    }
  }

  // A class key's ProgID or VersionIndependentProgID: CLSID\{...}\<name> under a classes root.
  bool IsProgIdKey(const std::u16string& name, std::size_t parent) const {
    const std::u16string folded = FoldCase(name);
    if (folded != u"progid" && folded != u"versionindependentprogid") return false;
    if (parent == kNoKey || r_.keys[parent].name.empty() || r_.keys[parent].name[0] != u'{') {
      return false;
    }
    const std::size_t clsid = r_.keys[parent].parent;
    return clsid != kNoKey && FoldCase(r_.keys[clsid].name) == u"clsid";
  }

  // After a key name, the next token (`next`, read last): a bare word on the
  // same line begins another entry, which is what a misspelled keyword or a
  // name with a blank in it leads to.
  void CheckNameEnd(const Pending& entry, const std::u16string& next) {
    if (next[0] == u'=' || next[0] == u'}' || next == u"{") return;
    const check::Token& k = r_.tokens[entry.nameToken];
    const check::Token& t = r_.tokens[Last()];
    if (r_.prepared[k.start] == u'\'') return;
    for (std::size_t i = k.end; i < t.start; ++i) {
      if (r_.prepared[i] == u'\n') return;
    }
    const std::string nextText = Utf8(next);
    if (const char16_t* keyword = NearKeyword(entry.name)) {
      Warn(entry.nameToken, "misspelled-keyword",
           "'" + Utf8(entry.name) + "' is no keyword: it is read as a key name, so registration creates " +
               Utf8(r_.KeyPath(entry.key)) + ", and '" + nextText +
               "' after it as an entry of its own; did you mean " + Utf8(keyword) + "?",
           "write " + Utf8(keyword));
      return;
    }
    if (r_.prepared[t.start] == u'\'') return;  // a quoted name after a bare one reads as meant
    const std::u16string parent = r_.KeyPath(r_.keys[entry.key].parent);
    Warn(entry.nameToken, "split-name",
         "'" + Utf8(entry.name) + "' and '" + nextText + "' on one line are read as two entries: " +
             Utf8(r_.KeyPath(entry.key)) + " and " + Utf8(parent) + "\\" + nextText +
             " (a key of that name may belong to another package)",
         "quote a name with a blank in it ('" + Utf8(entry.name) + " " + nextText +
             "'), or put each entry on its own line");
  }

  // After a value, the next token (`next`, read last): a bare word on the same
  // line as an unquoted value ends the value at the blank before it and begins
  // an entry of its own, a key beside the one the value was meant for.
  void CheckValueEnd(const std::u16string& next) {
    if (next[0] == u'{' || next[0] == u'}' || Last() == 0) return;
    const std::size_t valueToken = Last() - 1;
    const check::Token& v = r_.tokens[valueToken];
    const check::Token& t = r_.tokens[Last()];
    if (v.slot != Slot::kValue || v.failed || r_.prepared[v.start] == u'\'') return;
    // An unquoted %Module% that splits is told with its own warning.
    if (r_.ReplacementAt(v.start) || r_.ReplacementAt(t.start)) return;
    for (std::size_t i = v.end; i < t.start; ++i) {
      if (r_.prepared[i] == u'\n') return;
    }
    const std::string value = Utf8(r_.TokenText(valueToken)), word = Utf8(next);
    bool keyword = false;
    for (const char16_t* k : KeywordTable) keyword = keyword || IsKeyword(next.c_str(), k);
    // The new entry stands in the block of the value's own entry.
    const std::size_t parent = ownerIsValue_ ? (r_.entries.empty() ? kNoKey : r_.entries.back().key) : ownerParent_;
    const std::string becomes =
        keyword || r_.prepared[t.start] == u'\''
            ? "begins an entry of its own"
            : "becomes a key of its own: registration creates " + Utf8(r_.KeyPath(parent)) + "\\" + word +
                  ", and a block after it belongs to that key";
    Warn(Last(), "value-ends-at-blank",
         "'" + word + "' after the unquoted value '" + value + "' on the same line is not part of the value: "
             "the value ends at the blank, so it is '" + value + "', and '" + word + "' " + becomes,
         "quote a value with a blank in it ('" + value + " " + word + "')");
  }

  ScriptReading& r_;
  CWarnings& warnings_;
  std::u16string_view original_;  // the script as given, for the replacements' names
  const char16_t* base_ = nullptr;
  HKEY root_ = nullptr;
  std::vector<Level> levels_;
  Pending pending_;
  std::u16string type_;
  // The entry the next assignment belongs to: a key entry (its node, name
  // and parent) or a Val entry.
  std::size_t valueOwner_ = kNoKey;
  bool ownerIsValue_ = false;
  std::u16string ownerName_;
  std::size_t ownerParent_ = kNoKey;
};

}  // namespace

std::size_t ScriptReading::OriginalOffset(std::size_t prepared) const {
  // The last anchor that starts at or before `prepared` (anchors are in order).
  auto after = std::upper_bound(anchors.begin(), anchors.end(), prepared,
                                [](std::size_t p, const Anchor& a) { return p < a.preparedStart; });
  if (after == anchors.begin()) return prepared;
  const Anchor* before = &*(after - 1);
  if (prepared < before->preparedEnd) return before->originalStart;
  return before->originalEnd + (prepared - before->preparedEnd);
}

Place ScriptReading::PlaceOfOriginal(std::size_t offset) const {
  if (lineStarts.empty()) return Place{1, 1};  // nothing was read
  offset = std::min(offset, originalSize);
  // lineStarts[0] is 0; the line holding `offset` is the last that starts at or before it.
  const auto line = std::upper_bound(lineStarts.begin(), lineStarts.end(), offset) - 1;
  const auto low = std::lower_bound(lowSurrogates.begin(), lowSurrogates.end(), *line);
  const auto lowEnd = std::lower_bound(lowSurrogates.begin(), lowSurrogates.end(), offset);
  Place p;
  p.line = static_cast<int>(line - lineStarts.begin()) + 1;
  p.column = static_cast<int>(offset - *line - static_cast<std::size_t>(lowEnd - low)) + 1;
  return p;
}

std::size_t ScriptReading::OpenBlockAt(std::size_t at) const {
  std::vector<std::size_t> open;
  for (const BlockMark& b : blocks) {
    if (tokens[b.token].start >= at) break;
    open.resize(static_cast<std::size_t>(b.depth - 1));
    if (b.opens) open.push_back(b.token);
  }
  return open.empty() ? kNoKey : open.back();
}

std::u16string ScriptReading::TokenText(std::size_t k) const {
  if (k >= tokens.size() || tokens[k].failed) return u"";
  ScriptParser parser(nullptr);
  parser.SetPosition(prepared.data() + tokens[k].start);
  TokenBuffer token;
  if (FAILED(parser.ReadToken(token))) return u"";
  return token;
}

std::size_t ScriptReading::Child(std::size_t parent, const std::u16string& name) {
  auto [it, made] = children.try_emplace({parent, FoldCase(name)}, keys.size());
  if (made) keys.push_back({parent, name});
  return it->second;
}

std::size_t ScriptReading::FindKey(const std::u16string& path) const {
  std::size_t node = kNoKey;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = path.find(u'\\', start);
    const std::u16string part =
        path.substr(start, slash == std::u16string::npos ? std::u16string::npos : slash - start);
    auto it = children.find({node, FoldCase(part)});
    if (it == children.end()) return kNoKey;
    node = it->second;
    if (slash == std::u16string::npos) return node;
    start = slash + 1;
  }
}

std::u16string ScriptReading::KeyPath(std::size_t node) const {
  std::vector<std::size_t> chain;
  for (std::size_t n = node; n != kNoKey; n = keys[n].parent) chain.push_back(n);
  std::u16string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!path.empty()) path += u'\\';
    path += keys[*it].name;
  }
  return path;
}

const Anchor* ScriptReading::ReplacementAt(std::size_t p) const {
  for (const Anchor& a : anchors) {
    if (a.isModule && p >= a.preparedStart && p < a.preparedEnd) return &a;
  }
  return nullptr;
}

ScriptReading ReadScript(const std::string& name, std::u16string_view original,
                         const std::u16string& modulePath, std::vector<Finding>* findings) {
  ScriptReading r;
  r.name = name;
  r.originalSize = original.size();
  r.lineStarts.push_back(0);
  for (std::size_t i = 0; i < original.size(); ++i) {
    if (original[i] == u'\n') r.lineStarts.push_back(i + 1);
    if (original[i] >= 0xDC00 && original[i] <= 0xDFFF) r.lowSurrogates.push_back(i);
  }
  r.prepared = Prepare(original, modulePath, &r.preparedText, &r.prepareResult, &r.prepareStop);
  if (FAILED(r.prepareResult)) {
    const std::size_t stop = std::min(r.prepareStop, original.size());
    const std::size_t end = original.find(u'%', stop + 1);
    r.stopText = original.substr(
        stop, end == std::u16string_view::npos ? 12 : std::min<std::size_t>(end - stop + 1, 40));
    return r;
  }
  CWarnings warnings(findings);
  CTraceReader reader(r, warnings, original);
  CRegistrar registrar;
  registrar.DefineReplacement(u"Module", modulePath.c_str());
  ScriptParser parser(&registrar);
  ScriptOutcome outcome;
  outcome.trace = &reader;
  parser.ReadScript(original.data(), &outcome);
  return r;
}

namespace {

// The ProgID key that class key `v.classKey` of `r` names, as `holder`
// creates it: CLSIDFromProgID (and so a script's CreateObject) reads the
// class from its CLSID subkey only, and does not follow CurVer.
void CheckProgIdClass(const ScriptReading& r, const ProgIdValue& v, const ScriptReading& holder,
                      std::size_t progIdKey, CWarnings& warnings) {
  const std::u16string& classId = r.keys[v.classKey].name;
  const std::string kind = v.versionIndependent ? "version-independent ProgID" : "ProgID";
  const std::string progId = Utf8(v.progId);
  const auto clsid = holder.children.find({progIdKey, FoldCase(u"CLSID")});
  const std::size_t valueToken = clsid == holder.children.end() || !holder.keys[clsid->second].written
                                     ? kNoKey
                                     : holder.keys[clsid->second].valueToken;
  if (valueToken == kNoKey) {
    if (!warnings.Listed("progid-without-clsid")) return;
    // Placed at the ProgID key, where the CLSID belongs.
    Place p;
    for (const Entry& e : holder.entries) {
      if (e.key == progIdKey && !e.isValue && !e.isDelete) {
        p = holder.PlaceOfPrepared(holder.tokens[e.token].start);
        break;
      }
    }
    // A block holding this class's CLSID that went to a key named right after
    // a value, beside the ProgID key: a word after its unquoted value took the block.
    std::size_t taker = kNoKey;
    for (const Entry& e : holder.entries) {
      const std::size_t node = e.key;
      if (e.isValue || e.isDelete || e.token == 0 || holder.tokens[e.token - 1].slot != Slot::kValue ||
          node == progIdKey || holder.keys[node].parent != holder.keys[progIdKey].parent) {
        continue;
      }
      const auto id = holder.children.find({node, FoldCase(u"CLSID")});
      if (id != holder.children.end() && holder.keys[id->second].valueToken != kNoKey &&
          FoldCase(holder.TokenText(holder.keys[id->second].valueToken)) == FoldCase(classId)) {
        taker = node;
      }
    }
    warnings.Add({Severity::kWarning, "progid-without-clsid", holder.name, p.line, p.column,
                  "the key " + progId + ", the " + kind + " of " + Utf8(r.KeyPath(v.classKey)) +
                      ", has no CLSID: CLSIDFromProgID(\"" + progId + "\") reads only that "
                      "subkey (it does not follow CurVer) and fails with CO_E_CLASSSTRING, so "
                      "CreateObject(\"" + progId + "\") fails in every script" +
                      (taker == kNoKey ? "" : "; the CLSID of the block after it is written under " +
                                                  Utf8(holder.KeyPath(taker)) + " instead"),
                  taker != kNoKey ? "quote the value of the " + progId + " key, so that its block, with the CLSID, "
                                    "stays its own"
                                  : "write CLSID = s '" + Utf8(classId) + "' inside the " + progId + " key" +
                                        (v.versionIndependent ? ", next to CurVer" : "")});
    return;
  }
  const std::u16string named = holder.TokenText(valueToken);
  if (FoldCase(named) == FoldCase(classId) || !warnings.Listed("progid-other-class")) return;
  const Place p = holder.PlaceOfPrepared(holder.tokens[valueToken].start);
  warnings.Add({Severity::kWarning, "progid-other-class", holder.name, p.line, p.column,
                "the CLSID of " + progId + " is " + Utf8(named) + ", but " + progId +
                    " is the " + kind + " of " + Utf8(r.KeyPath(v.classKey)) +
                    ": CLSIDFromProgID(\"" + progId + "\") and CreateObject(\"" + progId +
                    "\") give the other class",
                "if " + progId + " belongs to this class, write CLSID = s '" + Utf8(classId) +
                    "' inside its key; if not, name this class's own " + kind + " in " +
                    Utf8(r.KeyPath(v.classKey))});
}

}  // namespace

void CheckProgIds(const std::vector<ScriptReading>& readings, std::vector<Finding>* findings) {
  // The classes root as a script names it, and as the machine's and the user's classes.
  const char16_t* const kClassRoots[] = {u"HKEY_CLASSES_ROOT\\",
                                         u"HKEY_LOCAL_MACHINE\\Software\\Classes\\",
                                         u"HKEY_CURRENT_USER\\Software\\Classes\\"};
  for (const ScriptReading& r : readings) {
    CWarnings warnings(findings);
    for (const ProgIdValue& v : r.progIds) {
      if (v.progId.empty() || v.progId.find(u'\\') != std::u16string::npos) continue;
      // Beside the CLSID key the class key stands in, or under any classes root.
      std::vector<std::u16string> places = {
          r.KeyPath(r.keys[r.keys[v.classKey].parent].parent) + u"\\" + v.progId};
      for (const char16_t* root : kClassRoots) places.push_back(root + v.progId);
      const ScriptReading* holder = nullptr;
      std::size_t progIdKey = kNoKey;
      for (const ScriptReading& other : readings) {
        for (const std::u16string& place : places) {
          const std::size_t key = other.FindKey(place);
          if (!holder && key != kNoKey && other.keys[key].written) {
            holder = &other;
            progIdKey = key;
          }
        }
      }
      if (holder) {
        CheckProgIdClass(r, v, *holder, progIdKey, warnings);
        continue;
      }
      if (!warnings.Listed("progid-without-key")) continue;
      const Place p = r.PlaceOfPrepared(r.tokens[v.token].start);
      warnings.Add({Severity::kWarning, "progid-without-key", r.name, p.line, p.column,
                    "the class key " + Utf8(r.KeyPath(v.classKey)) + " names the ProgID '" +
                        Utf8(v.progId) + "', a key neither script creates: a client that asks "
                        "for the class by that name (CLSIDFromProgID) does not find it, or finds "
                        "whatever another package registered there",
                    "create the ProgID key with its CLSID under it (" + Utf8(v.progId) +
                        " = s '...' { CLSID = s '{...}' }), or correct the ProgID value"});
    }
  }
}

namespace {

// Which wording of a stop reason applies.
enum class StopCase {
  kAny,
  kBlockOpen,       // kEndOfText with a block still open
  kExtraBrace,      // kNoRoot at a '}' after the root blocks
  kAfterLastBlock,  // kNoRoot at other text after the root blocks
  kEmptyName,       // kNotOneLevel for an empty name
};

// What was wrong where a run stopped, and what to write there, by the reason
// the interpreter gave. In the texts {slot} stands for what belonged at the
// stop, {at} for " at line L, column C", {block} for the place of the block
// left open, {length} for the longest token there, {depth} for the nesting
// bound and {types} for the type letters. A reason of kNone on a failed run
// is a failure of the registry, not of the text.
struct StopWording {
  ScriptStop reason;
  StopCase variant;
  const char* problem;
  const char* remedy;
};

constexpr StopWording kStopWordings[] = {
    {ScriptStop::kEndOfText, StopCase::kBlockOpen,
     "the script ends where {slot} belongs; the block opened at {block} is never closed",
     "close every block with its '}': the block opened at {block} is left open"},
    {ScriptStop::kEndOfText, StopCase::kAny, "the script ends where {slot} belongs",
     "complete the script{at}: {slot} belongs there"},
    {ScriptStop::kOpenQuote, StopCase::kAny, "the quotation opened here is never closed",
     "close the quotation with an apostrophe{at} (write '' for an apostrophe inside it)"},
    {ScriptStop::kLongToken, StopCase::kAny, "the token is longer than {length} characters",
     "shorten the token{at}"},
    {ScriptStop::kNoRoot, StopCase::kExtraBrace,
     "expected a root key name or the end of the script: this '}' closes more blocks than were "
     "opened",
     "remove the '}'{at}, or add the '{' it was meant to close"},
    {ScriptStop::kNoRoot, StopCase::kAfterLastBlock,
     "expected a root key name or the end of the script: text after the last '}' is read as "
     "another root block",
     "remove the text after the last '}'{at}: the script language has no comments"},
    {ScriptStop::kNoRoot, StopCase::kAny, "expected {slot}",
     "write a root key name{at}: HKCR for a package's keys"},
    {ScriptStop::kNoRootBlock, StopCase::kAny, "expected {slot}",
     "write '{' after the root key name{at}"},
    {ScriptStop::kNotOneLevel, StopCase::kEmptyName, "expected a key name that is not empty",
     "write the key's name{at}: an empty name stands for the parent key itself"},
    {ScriptStop::kNotOneLevel, StopCase::kAny, "expected a key name of one level, without '\\'",
     "write one key name{at}: a deeper key is an entry in its parent's block"},
    {ScriptStop::kNoEquals, StopCase::kAny, "expected {slot}", "write '=' after the value name{at}"},
    {ScriptStop::kUnknownType, StopCase::kAny, "expected {slot}",
     "write a type letter{at}: {types}"},
    {ScriptStop::kBadNumber, StopCase::kAny, "expected a number from 0 to 4294967295",
     "write a decimal number from 0 to 4294967295{at}"},
    {ScriptStop::kOddDigits, StopCase::kAny, "expected an even number of hexadecimal digits",
     "write two hexadecimal digits for each byte{at}"},
    {ScriptStop::kTooDeep, StopCase::kAny,
     "expected blocks nested at most {depth} deep (the root block counts as 1)",
     "nest blocks at most {depth} deep (the root block counts as 1): the block{at} is one too "
     "deep"},
    {ScriptStop::kUnknownName, StopCase::kAny,
     "no such replacement; %Module% is the only name (a lone % pairs with the next % anywhere "
     "later)",
     "write %% for a percent sign and '%Module%' for the module's path{at}"},
    {ScriptStop::kLongName, StopCase::kAny,
     "a %name% longer than 31 characters (a lone % pairs with the next % anywhere later)",
     "write %% for a percent sign and '%Module%' for the module's path{at}"},
    {ScriptStop::kNone, StopCase::kAny, "the registry refused this key or value",
     "register from an elevated prompt, or for the user alone (regsvr32 /n /i:user) with every "
     "key under HKCR"},
};

const StopWording& WordingOf(ScriptStop reason, StopCase variant) {
  for (const StopWording& w : kStopWordings) {
    if (w.reason == reason && (w.variant == variant || w.variant == StopCase::kAny)) return w;
  }
  return kStopWordings[std::size(kStopWordings) - 1];
}

std::string Fill(std::string text, const std::string& field, const std::string& value) {
  for (std::size_t at = text.find(field); at != std::string::npos;
       at = text.find(field, at + value.size())) {
    text.replace(at, field.size(), value);
  }
  return text;
}

std::string PlaceText(const Place& p) {
  return "line " + std::to_string(p.line) + ", column " + std::to_string(p.column);
}

// The text of the token that starts at prepared offset `at`, as the
// tokenizer reads it; false when no token can be read there.
bool TokenTextAt(const ScriptReading& reading, std::size_t at, std::u16string* text) {
  if (at >= reading.prepared.size()) return false;
  ScriptParser parser(nullptr);
  parser.SetPosition(reading.prepared.data() + at);
  TokenBuffer token;
  if (FAILED(parser.ReadToken(token))) return false;
  *text = token;
  return true;
}

// A stop in preparation: the module's preparation and the reading's refuse
// the same text at the same place.
void PreparationStop(const ScriptReading& reading, const ScriptOutcome& outcome, const std::string& run,
                     Finding* f) {
  const Place p = reading.PlaceOfOriginal(outcome.stop);
  f->line = p.line;
  f->column = p.column;
  const StopWording& w = WordingOf(outcome.reason, StopCase::kAny);
  f->message = run + " stops at '" + Utf8(reading.stopText) + "': " + w.problem;
  f->length = static_cast<int>(reading.stopText.size());
  f->arguments.push_back({"stopAt", Utf8(reading.stopText)});
  f->remedy = Fill(w.remedy, "{at}", " at " + PlaceText(p));
}

// A stop inside a replacement's value is shown where the author wrote the
// replacement: the finding is placed there, and names it and its value.
void InsideReplacement(const ScriptReading& reading, const Anchor& replacement, const std::string& stop,
                       const std::string& problem, Finding* f) {
  const std::u16string name = std::u16string(u"%") + replacement.name + u"%";
  const std::u16string value(
      reading.prepared.substr(replacement.preparedStart, replacement.preparedEnd - replacement.preparedStart));
  f->message = stop + ", inside the value of " + Utf8(name) + ": " + problem;
  f->notes.insert(f->notes.begin(), Utf8(name) + " stands for " + Utf8(value) + " here");
  f->length = static_cast<int>(name.size());
  f->arguments.push_back({"replacement", Utf8(name)});
  if (!replacement.quoted) {
    f->notes.push_back(Utf8(name) + " is not quoted, so a blank in its value splits it into several tokens");
    f->remedy = "write '" + Utf8(name) + "' in apostrophes";
  }
}

// Which wording of `reason` fits the stop at `at`: a block left open (its
// place into `*block`), a '}' too many, text after the last block, an empty name.
StopCase VariantOf(const ScriptReading& reading, ScriptStop reason, std::size_t at, const std::u16string& token,
                   bool readable, std::string* block) {
  if (reason == ScriptStop::kEndOfText) {
    const std::size_t open = reading.OpenBlockAt(at);
    if (open == kNoKey) return StopCase::kAny;
    *block = PlaceText(reading.PlaceOfPrepared(reading.tokens[open].start));
    return StopCase::kBlockOpen;
  }
  if (reason == ScriptStop::kNoRoot && reading.prepared.find_first_not_of(u" \t\r\n") < at) {
    // A root name is read after the first only once a root block has ended.
    return token == u"}" ? StopCase::kExtraBrace : StopCase::kAfterLastBlock;
  }
  if (reason == ScriptStop::kNotOneLevel && readable && token.empty()) return StopCase::kEmptyName;
  return StopCase::kAny;
}

}  // namespace

Finding DescribeStop(const ScriptReading& reading, const ScriptOutcome& outcome, ScriptMode mode) {
  const bool registering = mode == ScriptMode::kRegister;
  Finding f{Severity::kError, registering ? "registration-error" : "removal-error", reading.name,
            0, 0, "", ""};
  const std::string run = registering ? "registration" : "removal";
  f.notes.push_back("the " + run + " answers " + DescribeResult(outcome.result));
  f.arguments.push_back({"result", Hex32(outcome.result)});
  if (outcome.inPreparation) {
    PreparationStop(reading, outcome, run, &f);
    return f;
  }
  // Where the run went wrong: the token it stopped at, or, when removal read
  // on past a failure inside a key it could not open, that failure: what
  // threw the reading off, which registration stops at too.
  std::size_t at = std::min(outcome.tokenStart, reading.prepared.size());
  ScriptStop reason = outcome.reason;
  Slot slot = outcome.expected;
  const Anchor* replacement = reading.ReplacementAt(at);
  const bool readPast = !replacement && outcome.firstDropped != ScriptStop::kNone;
  if (readPast) {
    at = std::min(outcome.firstDroppedToken, reading.prepared.size());
    reason = outcome.firstDropped;
    slot = Slot::kEntry;
    for (const Token& t : reading.tokens) {
      if (t.start == at) slot = t.slot;
    }
    replacement = reading.ReplacementAt(at);
  }

  std::u16string token;
  const bool readable = reason != ScriptStop::kLongToken && reason != ScriptStop::kOpenQuote &&
                        TokenTextAt(reading, at, &token);
  const std::string where = at >= reading.prepared.size() ? "at the end of the script"
                            : readable                    ? "at '" + Utf8(token) + "'"
                                                          : "at the token starting here";

  std::string block;
  const StopCase variant = VariantOf(reading, reason, at, token, readable, &block);
  const StopWording& w = WordingOf(reason, variant);
  const Place p = reading.PlaceOfPrepared(at);
  f.line = p.line;
  f.column = p.column;
  auto fill = [&](std::string text) {
    text = Fill(text, "{slot}", SlotText(slot));
    text = Fill(text, "{block}", block);
    text = Fill(text, "{length}",
                std::to_string((slot == Slot::kValueName ? kValueNameCapacity : kTokenCapacity) - 2));
    text = Fill(text, "{depth}", std::to_string(kMaxNesting));
    text = Fill(text, "{types}", TypeLetters());
    return Fill(text, "{at}", " at " + PlaceText(p));
  };
  std::string problem = fill(w.problem);
  if (reason == ScriptStop::kNoRoot && variant != StopCase::kExtraBrace) {
    problem += NearRootNames(token);
  }
  f.remedy = fill(w.remedy);
  const std::string verb = readPast ? " goes wrong " : " stops ";
  if (readPast) {
    f.notes.push_back("removal reads on past this failure, as it does inside a key it cannot open, "
                      "and stops further on");
  }
  if (readable) f.arguments.push_back({"stopAt", Utf8(token)});
  if (!replacement) {
    if (readable) f.length = static_cast<int>(token.size());
    f.message = run + verb + where + ": " + problem;
    return f;
  }
  InsideReplacement(reading, *replacement, run + verb + where, problem, &f);
  return f;
}

}  // namespace check
