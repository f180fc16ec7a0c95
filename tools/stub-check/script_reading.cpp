// One script read the way the interpreter reads it: prepared by the module's
// own preparation pass, cut into tokens by the module's own tokenizer, and
// followed through the registration grammar, so that every token has a place
// in the original file and a slot that says what belonged there.
#include <algorithm>

#include "checker.h"
#include "platform/unique_resource.h"
#include "registrar/key_tree.h"
#include "registrar/registrar.h"
#include "registrar/value_types.h"

namespace check {
namespace {

// The value %Module% takes in the layout pass: one character that no script
// holds, so each replacement is exactly one unit long there.
constexpr char16_t kMarker[] = u"\uE000";

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

// Finds each %name% and %% of the original, where it lands in the prepared
// text, and whether it landed inside a quoted token (then apostrophes of the
// value are doubled). The layout pass with one-unit replacements is cut into
// tokens by the module's tokenizer to tell the quoting. `*preparedSize` is
// the length the prepared text must have for the anchors to hold.
std::vector<Anchor> FindAnchors(std::u16string_view original, const std::u16string& module,
                                std::size_t* preparedSize) {
  *preparedSize = original.size();
  if (original.find(u'%') == std::u16string_view::npos) return {};
  HRESULT result = S_OK;
  std::size_t stop = 0;
  CTaskMemory<char16_t> layoutBlock;
  const std::u16string_view layout = Prepare(original, kMarker, &layoutBlock, &result, &stop);
  std::vector<Anchor> anchors;
  if (FAILED(result)) return anchors;
  std::size_t j = 0;
  for (std::size_t i = 0; i < original.size();) {
    if (original[i] != u'%') {
      ++i;
      ++j;
      continue;
    }
    if (i + 1 < original.size() && original[i + 1] == u'%') {
      anchors.push_back({i, i + 2, j, j + 1, false, false});
      i += 2;
    } else {
      const std::size_t end = original.find(u'%', i + 1);
      if (end == std::u16string_view::npos) return {};
      anchors.push_back({i, end + 1, j, j + 1, true, false});
      i = end + 1;
    }
    ++j;
  }
  if (j != layout.size()) return {};

  // Quoting, from the tokens of the layout text.
  ScriptParser parser(nullptr);
  parser.SetPosition(layout.data());
  TokenBuffer token;
  std::size_t next = 0;
  while (next < anchors.size()) {
    parser.SkipBlanks();
    const std::size_t start = static_cast<std::size_t>(parser.Position() - layout.data());
    if (start >= layout.size() || FAILED(parser.ReadToken(token))) break;
    const std::size_t end = static_cast<std::size_t>(parser.Position() - layout.data());
    while (next < anchors.size() && anchors[next].preparedStart < end) {
      anchors[next].quoted = anchors[next].preparedStart >= start && layout[start] == u'\'';
      ++next;
    }
  }

  // Offsets in the prepared text: each replacement has its real length there.
  long shift = 0;
  std::size_t apostrophes = std::count(module.begin(), module.end(), u'\'');
  for (Anchor& a : anchors) {
    const std::size_t length =
        a.isModule ? module.size() + (a.quoted ? apostrophes : 0) : 1;
    a.preparedStart = static_cast<std::size_t>(static_cast<long>(a.preparedStart) + shift);
    a.preparedEnd = a.preparedStart + length;
    shift += static_cast<long>(length) - 1;
  }
  *preparedSize = static_cast<std::size_t>(static_cast<long>(layout.size()) + shift);
  return anchors;
}

const char* SlotText(Slot slot) {
  switch (slot) {
    case Slot::kRootName:
      return "a root key name (HKCR, HKCU, HKLM, HKU, HKCC, HKPD, HKDD or their HKEY_ forms)";
    case Slot::kRootOpen:
      return "'{' after the root key name";
    case Slot::kEntry:
      return "a key name, ForceRemove, Delete, NoRemove, Val or '}'";
    case Slot::kSubject:
      return "the name of the key to delete";
    case Slot::kAfterDelete:
      return "the next entry or '}'";
    case Slot::kValueName:
      return "a value name";
    case Slot::kEquals:
      return "'=' after the value name";
    case Slot::kType:
      return "a type letter: s, m, d or b";
    case Slot::kValue:
      return "the value after the type letter";
    case Slot::kAfterKey:
      return "'=', '{', the next entry or '}'";
    case Slot::kAfterValue:
      return "'{', the next entry or '}'";
  }
  return "";
}

bool NotOneLevel(const std::u16string& name) {
  return name.empty() || name.find(u'\\') != std::u16string::npos;
}

std::u16string RootDisplay(HKEY root) {
  if (root == HKEY_CLASSES_ROOT) return u"HKEY_CLASSES_ROOT";
  if (root == HKEY_CURRENT_USER) return u"HKEY_CURRENT_USER";
  if (root == HKEY_LOCAL_MACHINE) return u"HKEY_LOCAL_MACHINE";
  if (root == HKEY_USERS) return u"HKEY_USERS";
  if (root == HKEY_CURRENT_CONFIG) return u"HKEY_CURRENT_CONFIG";
  if (root == HKEY_PERFORMANCE_DATA) return u"HKEY_PERFORMANCE_DATA";
  return u"HKEY_DYN_DATA";
}

char16_t FoldAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

// Edit distance without regard to ASCII case, a swap of two neighbours
// counting as one edit (NoRemvoe is one edit from NoRemove); at most `limit`
// is of interest, anything above answers limit + 1.
int Distance(const std::u16string& a, const char16_t* b, int limit) {
  const std::u16string w(b);
  const std::size_t n = a.size(), m = w.size();
  if ((n > m ? n - m : m - n) > static_cast<std::size_t>(limit)) return limit + 1;
  std::vector<std::vector<int>> d(n + 1, std::vector<int>(m + 1));
  for (std::size_t i = 0; i <= n; ++i) d[i][0] = static_cast<int>(i);
  for (std::size_t j = 0; j <= m; ++j) d[0][j] = static_cast<int>(j);
  for (std::size_t i = 1; i <= n; ++i) {
    for (std::size_t j = 1; j <= m; ++j) {
      const bool same = FoldAscii(a[i - 1]) == FoldAscii(w[j - 1]);
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (same ? 0 : 1)});
      if (i > 1 && j > 1 && FoldAscii(a[i - 1]) == FoldAscii(w[j - 2]) &&
          FoldAscii(a[i - 2]) == FoldAscii(w[j - 1])) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return std::min(d[n][m], limit + 1);
}

// The keywords of an entry, each with the edit distance within which a key
// name is taken for it misspelled: one edit for the short ones (a key named
// Var or Deleted is plausible), two for the long ones.
struct Keyword {
  const char16_t* word;
  int limit;
};
constexpr Keyword kEntryKeywords[] = {
    {u"ForceRemove", 2}, {u"NoRemove", 2}, {u"Delete", 1}, {u"Val", 1}};

// The keyword `name` most probably misspells, or null.
const char16_t* NearKeyword(const std::u16string& name) {
  const char16_t* best = nullptr;
  int bestDistance = 99;
  for (const Keyword& k : kEntryKeywords) {
    const int d = Distance(name, k.word, k.limit);
    if (d > 0 && d <= k.limit && d < bestDistance) {
      best = k.word;
      bestDistance = d;
    }
  }
  return best;
}

bool SameLetters(const std::u16string& a, const char16_t* b) {
  std::u16string x, y(b);
  for (char16_t c : a) x += FoldAscii(c);
  for (char16_t& c : y) c = FoldAscii(c);
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
      (*findings_)[kind.last].message += " (and " + std::to_string(kind.count - kWarningsPerCode) +
                                         " more like it in this script, not listed)";
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

// Follows the registration grammar over the prepared text, token by token.
class CReader {
 public:
  CReader(ScriptReading& reading, CWarnings& warnings)
      : r_(reading), warnings_(warnings), parser_(nullptr) {}

  void Run() {
    const char16_t* base = r_.prepared.data();
    parser_.SetPosition(base);
    for (;;) {
      parser_.SkipBlanks();
      if (*parser_.Position() == 0) return;
      if (!Next(Slot::kRootName)) return;
      const HKEY root = FindRootKey(token_);
      if (!root) {
        const std::string near = NearRootNames(token_);
        if (r_.rootBlocks > 0 && token_[0] == u'}') {
          Fail("a root key name or the end of the script: this '}' closes more blocks than "
               "were opened");
        } else if (r_.rootBlocks > 0) {
          Fail("a root key name or the end of the script: text after the last '}' is read as "
               "another root block" + near);
        } else {
          Fail(SlotText(Slot::kRootName) + near);
        }
        return;
      }
      if (root != HKEY_CLASSES_ROOT) {
        Warn(Last(), "outside-classes-root",
             "a root block under " + Utf8(RootDisplay(root)) +
                 ": its keys need an administrator to register, and a per-user install "
                 "(regsvr32 /n /i:user) still writes them there for every user",
             "keep a package's keys under HKCR");
      }
      if (!Next(Slot::kRootOpen)) return;
      if (token_[0] != u'{') {
        Fail(SlotText(Slot::kRootOpen));
        return;
      }
      if (token_[1] != 0) ExtraAfterBrace();
      ++r_.rootBlocks;
      if (!Block(r_.Child(kNoKey, RootDisplay(root)), 1, Last())) return;
    }
  }

 private:
  std::size_t Last() const { return r_.tokens.size() - 1; }

  bool Next(Slot slot, int capacity = kTokenCapacity) {
    parser_.SkipBlanks();
    const char16_t* base = r_.prepared.data();
    Token t;
    t.start = static_cast<std::size_t>(parser_.Position() - base);
    t.slot = slot;
    const HRESULT hr = parser_.ReadToken(token_, capacity);
    t.end = static_cast<std::size_t>(parser_.Position() - base);
    t.failed = FAILED(hr);
    r_.tokens.push_back(t);
    if (!t.failed) return true;
    std::string what;
    if (t.start >= r_.prepared.size()) {
      what = std::string("the script ends where ") + SlotText(slot) + " belongs";
      if (!open_.empty()) {
        const Place p = r_.PlaceOfPrepared(r_.tokens[open_.back()].start);
        what += "; the block opened at line " + std::to_string(p.line) + ", column " +
                std::to_string(p.column) + " is never closed";
      }
    } else if (r_.prepared[t.start] == u'\'' &&
               r_.prepared.find(u'\'', t.start + 1) == std::u16string_view::npos) {
      what = "the quotation opened here is never closed";
    } else {
      what = "the token is longer than " + std::to_string(capacity - 2) + " characters";
    }
    Fail(what, /*complete=*/true);
    return false;
  }

  // Notes the first malformed place: what was expected there, or (`complete`)
  // a whole phrase saying what is wrong.
  void Fail(const std::string& expected, bool complete = false) {
    if (r_.malformed) return;
    r_.malformed = true;
    r_.errorToken = Last();
    r_.expected = complete ? expected : "expected " + expected;
  }

  void Warn(std::size_t token, const std::string& code, const std::string& message,
            const std::string& remedy) {
    if (!warnings_.Listed(code)) return;
    const Place p = r_.PlaceOfPrepared(r_.tokens[token].start);
    warnings_.Add({Severity::kWarning, code, r_.name, p.line, p.column, message, remedy});
  }

  void ExtraAfterBrace() {
    Warn(Last(), "brace-token",
         "'" + Utf8(token_) + "' is read as '{': the rest of the token is ignored",
         "put blanks around every brace");
  }

  // After the key name `name` (token `nameToken`, key `key`), `token_` holds the
  // next token: a bare word on the same line begins another entry, which is
  // what a misspelled keyword or a name with a blank in it leads to.
  void CheckNameEnd(const std::u16string& name, std::size_t nameToken, std::size_t key) {
    if (token_[0] == u'=' || token_[0] == u'}' || (token_[0] == u'{' && token_[1] == 0)) return;
    const Token& k = r_.tokens[nameToken];
    const Token& t = r_.tokens[Last()];
    if (r_.prepared[k.start] == u'\'') return;
    for (std::size_t i = k.end; i < t.start; ++i) {
      if (r_.prepared[i] == u'\n') return;
    }
    const std::string next = Utf8(token_);
    if (const char16_t* keyword = NearKeyword(name)) {
      Warn(nameToken, "misspelled-keyword",
           "'" + Utf8(name) + "' is no keyword: it is read as a key name, so registration creates " +
               Utf8(r_.KeyPath(key)) + ", and '" + next + "' after it as an entry of its own; did you mean " +
               Utf8(keyword) + "?",
           "write " + Utf8(keyword));
      return;
    }
    if (r_.prepared[t.start] == u'\'') return;  // a quoted name after a bare one reads as meant
    const std::u16string parent = r_.KeyPath(r_.keys[key].parent);
    Warn(nameToken, "split-name",
         "'" + Utf8(name) + "' and '" + next + "' on one line are read as two entries: " +
             Utf8(r_.KeyPath(key)) + " and " + Utf8(parent) + "\\" + next +
             " (a key of that name may belong to another package)",
         "quote a name with a blank in it ('" + Utf8(name) + " " + next +
             "'), or put each entry on its own line");
  }

  bool Block(std::size_t key, int depth, std::size_t openToken) {
    if (depth > kMaxNesting) {
      Fail("blocks nested at most 128 deep (the root block counts as 1)");
      return false;
    }
    open_.push_back(openToken);
    if (!Next(Slot::kEntry)) return false;
    std::size_t lastKey = key;
    while (token_[0] != u'}') {
      if (!Entry(key, depth, lastKey)) return false;
    }
    if (token_[1] != 0) {
      Warn(Last(), "brace-token",
           "'" + Utf8(token_) + "' closes one block only: the rest of the token is ignored",
           "put blanks around every brace, one '}' per block");
    }
    open_.pop_back();
    return true;
  }

  // A value assignment; `token_` holds the "=". Leaves the next token, and in
  // `text` the value of a string (s) assignment, with its token in `valueToken`.
  bool Assign(Slot after, std::u16string* text = nullptr, std::size_t* valueToken = nullptr) {
    if (!Next(Slot::kType)) return false;
    std::uint16_t type = 0;
    if (!LookupValueType(token_, &type)) {
      Fail(SlotText(Slot::kType));
      return false;
    }
    const bool isText = token_[0] == u's' || token_[0] == u'S';
    if (!Next(Slot::kValue)) return false;
    if (text && isText) {
      *text = token_;
      *valueToken = Last();
    }
    if (type == kValueTypeNumber) {
      ULONG number = 0;
      if (FAILED(sys::VarUI4FromStr(token_, 0, 0, &number))) {
        Fail("a number from 0 to 4294967295");
        return false;
      }
    } else if (type == kValueTypeBytes) {
      const std::u16string digits = token_;
      if (digits.size() % 2) {
        Fail("an even number of hexadecimal digits");
        return false;
      }
      if (digits.find_first_not_of(u"0123456789abcdefABCDEF") != std::u16string::npos) {
        Warn(Last(), "binary-digit",
             "'" + Utf8(digits) + "' holds characters that are no hexadecimal digits: each "
             "counts as 0",
             "write binary values as hexadecimal digits only");
      }
    }
    return Next(after);
  }

  bool NestedUnder(std::size_t key, int depth, Slot after, const char* entryKind) {
    Warn(Last(), "block-after-entry",
         std::string("a block after a ") + entryKind + " entry: it is walked under " +
             Utf8(r_.KeyPath(key)) + ", the latest key entry before it",
         "put the block after the key it belongs to");
    if (!Block(key, depth + 1, Last())) return false;
    return Next(after);
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

  bool Entry(std::size_t parent, int depth, std::size_t& lastKey) {
    Entry_ entry;
    const bool isDelete = IsKeyword(token_, u"Delete");
    if (isDelete || IsKeyword(token_, u"ForceRemove")) {
      if (!Next(Slot::kSubject)) return false;
      if (NotOneLevel(token_)) {
        Fail(token_[0] ? "a key name of one level, without '\\'" : "a key name that is not empty");
        return false;
      }
      if (!MayDeleteKey(token_)) {
        Warn(Last(), "protected-name",
             std::string(isDelete ? "Delete" : "ForceRemove") + " of '" + Utf8(token_) +
                 "': keys of this name are never deleted, so this is silently skipped",
             isDelete ? "remove the entry" : "write the key without ForceRemove (use NoRemove for a shared key)");
      }
      entry.forceRemove = !isDelete;
      entry.isDelete = isDelete;
      if (isDelete) {
        const std::u16string name = token_;
        const std::size_t nameToken = Last();
        const std::size_t key = r_.Child(parent, name);
        r_.entries.push_back({key, u"", false, false, false, true, nameToken});
        if (!Next(Slot::kAfterDelete)) return false;
        CheckNameEnd(name, nameToken, key);
        if (token_[0] == u'=') {
          if (!Next(Slot::kType) || !Next(Slot::kValue) || !Next(Slot::kAfterDelete)) return false;
        }
        if (token_[0] == u'{' && token_[1] == 0) {
          return NestedUnder(lastKey, depth, Slot::kAfterDelete, "Delete");
        }
        return true;
      }
    }
    if (IsKeyword(token_, u"NoRemove")) {
      entry.noRemove = true;
      if (!Next(Slot::kEntry)) return false;
    }
    if (IsKeyword(token_, u"Val")) {
      if (!Next(Slot::kValueName, kValueNameCapacity)) return false;
      const std::u16string name = token_;
      const std::size_t nameToken = Last();
      if (!Next(Slot::kEquals)) return false;
      if (token_[0] != u'=') {
        Fail(SlotText(Slot::kEquals));
        return false;
      }
      r_.entries.push_back({parent, name, true, entry.noRemove, false, false, nameToken});
      if (!Assign(Slot::kAfterValue)) return false;
      if (token_[0] == u'{' && token_[1] == 0) {
        return NestedUnder(lastKey, depth, Slot::kAfterValue, "Val");
      }
      return true;
    }
    if (NotOneLevel(token_)) {
      Fail(token_[0] ? "a key name of one level, without '\\'" : "a key name that is not empty");
      return false;
    }
    const std::u16string name = token_;
    const std::size_t nameToken = Last();
    const std::size_t key = r_.Child(parent, name);
    r_.keys[key].written = true;
    if (entry.noRemove && r_.keys[key].noRemoveEntry == kNoKey) {
      r_.keys[key].noRemoveEntry = r_.entries.size();
    }
    r_.entries.push_back({key, u"", false, entry.noRemove, entry.forceRemove, false, nameToken});
    lastKey = key;
    if (!Next(Slot::kAfterKey)) return false;
    CheckNameEnd(name, nameToken, key);
    if (token_[0] == u'=') {
      std::u16string value;
      std::size_t valueToken = kNoKey;
      if (!Assign(Slot::kAfterKey, &value, &valueToken)) return false;
      if (valueToken != kNoKey) r_.keys[key].valueToken = valueToken;
      if (valueToken != kNoKey && IsProgIdKey(name, parent)) {
        r_.progIds.push_back(
            {value, parent, valueToken, FoldCase(name) == u"versionindependentprogid"});
      }
    }
    if (token_[0] == u'{' && token_[1] == 0) {
      if (!Block(key, depth + 1, Last())) return false;
      return Next(Slot::kAfterKey);
    }
    return true;
  }

  struct Entry_ {
    bool noRemove = false;
    bool forceRemove = false;
    bool isDelete = false;
  };

  ScriptReading& r_;
  CWarnings& warnings_;
  ScriptParser parser_;
  TokenBuffer token_;
  std::vector<std::size_t> open_;  // the "{" tokens of the blocks open now
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
  // The anchors first, so that the layout pass's copy is gone before the
  // prepared text is made.
  std::size_t anchoredSize = 0;
  r.anchors = FindAnchors(original, modulePath, &anchoredSize);
  r.prepared = Prepare(original, modulePath, &r.preparedText, &r.prepareResult, &r.prepareStop);
  if (FAILED(r.prepareResult)) {
    const std::size_t stop = std::min(r.prepareStop, original.size());
    const std::size_t end = original.find(u'%', stop + 1);
    r.stopText = original.substr(
        stop, end == std::u16string_view::npos ? 12 : std::min<std::size_t>(end - stop + 1, 40));
    r.anchors.clear();
    return r;
  }
  if (anchoredSize != r.prepared.size()) r.anchors.clear();
  CWarnings warnings(findings);
  for (const Anchor& a : r.anchors) {
    if (a.isModule && !a.quoted && warnings.Listed("unquoted-module")) {
      const Place p = r.PlaceOfOriginal(a.originalStart);
      warnings.Add(
          {Severity::kWarning, "unquoted-module", name, p.line, p.column,
           "%Module% is not quoted: installed under a path with a blank (C:\\Program Files\\...) "
           "the path splits into several tokens and the script fails",
           "write '%Module%' in apostrophes"});
    }
  }
  CReader(r, warnings).Run();
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
    warnings.Add({Severity::kWarning, "progid-without-clsid", holder.name, p.line, p.column,
                  "the key " + progId + ", the " + kind + " of " + Utf8(r.KeyPath(v.classKey)) +
                      ", has no CLSID: CLSIDFromProgID(\"" + progId + "\") reads only that "
                      "subkey (it does not follow CurVer) and fails with CO_E_CLASSSTRING, so "
                      "CreateObject(\"" + progId + "\") fails in every script",
                  "write CLSID = s '" + Utf8(classId) + "' inside the " + progId + " key" +
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

Finding DescribeStop(const ScriptReading& reading, const ScriptOutcome& outcome, ScriptMode mode) {
  const bool registering = mode == ScriptMode::kRegister;
  Finding f{Severity::kError, registering ? "registration-error" : "removal-error", reading.name,
            0, 0, "", ""};
  const std::string run = registering ? "registration" : "removal";
  if (outcome.inPreparation) {
    // The module's preparation and the reading's refuse the same text at the same place.
    const Place p = reading.PlaceOfOriginal(outcome.stop);
    f.line = p.line;
    f.column = p.column;
    f.message = run + " stops at '" + Utf8(reading.stopText) + "': " +
                (outcome.result == E_FAIL ? "a %name% longer than 31 characters"
                                          : "no such replacement; %Module% is the only name") +
                " (a lone % pairs with the next % anywhere later) [" +
                DescribeResult(outcome.result) + "]";
    f.remedy = "write %% for a percent sign and '%Module%' for the module's path";
    return f;
  }
  // The interpreter names the token it stopped at; the reader's grammar
  // follow, where it got that far, says what belonged there.
  const std::size_t at = std::min(outcome.tokenStart, reading.prepared.size());
  const Token* token = nullptr;
  std::size_t tokenIndex = 0;
  for (std::size_t k = 0; k < reading.tokens.size(); ++k) {
    if (reading.tokens[k].start == at) {
      token = &reading.tokens[k];
      tokenIndex = k;
    }
  }
  std::string where, expected;
  if (at >= reading.prepared.size()) {
    where = "at the end of the script";
  } else if (token && !token->failed) {
    where = "at '" + Utf8(reading.TokenText(tokenIndex)) + "'";
  } else if (token || outcome.stop <= at) {
    where = "at the token starting here";
  } else {
    where = "at '" + Utf8(std::u16string(reading.prepared.substr(at, outcome.stop - at))) + "'";
  }
  const bool syntax = outcome.result == DISP_E_EXCEPTION || outcome.result == E_FAIL ||
                      outcome.result == DISP_E_TYPEMISMATCH || outcome.result == DISP_E_OVERFLOW;
  if (token && reading.malformed && &reading.tokens[reading.errorToken] == token) {
    expected = reading.expected;
  } else if (token && syntax) {
    expected = std::string("expected ") + SlotText(token->slot);
  } else if (syntax && outcome.stop > at &&
             reading.prepared.substr(at, outcome.stop - at).find(u'\\') != std::u16string_view::npos) {
    // Past the reader's first malformed place: a removal reading on where
    // registration stopped. Only the commonest cause is named.
    expected = "expected a key name of one level, without '\\'";
  } else if (syntax) {
    expected = "the script cannot be read on from here";
  } else {
    expected = "the registry refused this key or value";
  }
  const Place p = reading.PlaceOfPrepared(at);
  f.line = p.line;
  f.column = p.column;
  f.message = run + " stops " + where + ": " + expected + " [" + DescribeResult(outcome.result) + "]";
  if (const Anchor* a = reading.ReplacementAt(at)) {
    const Place q = reading.PlaceOfOriginal(a->originalStart);
    f.message += "; this text is part of the module's path, from %Module% at line " +
                 std::to_string(q.line) + ", column " + std::to_string(q.column) +
                 (a->quoted ? "" : ", which is not quoted");
  }
  return f;
}

}  // namespace check
