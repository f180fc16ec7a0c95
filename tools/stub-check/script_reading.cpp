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

std::u16string Prepare(const std::u16string& text, const std::u16string& module, HRESULT* result,
                       std::size_t* stop) {
  CRegistrar registrar;
  registrar.DefineReplacement(u"Module", module.c_str());
  ScriptParser parser(&registrar);
  CTaskMemory<char16_t> prepared;
  *result = parser.ExpandReplacements(text.c_str(), prepared.Put());
  if (FAILED(*result)) {
    *stop = parser.Position() ? static_cast<std::size_t>(parser.Position() - text.c_str()) : 0;
    return u"";
  }
  return prepared.Get();
}

// Finds each %name% and %% of the original, where it lands in the prepared
// text, and whether it landed inside a quoted token (then apostrophes of the
// value are doubled). The layout pass with one-unit replacements is cut into
// tokens by the module's tokenizer to tell the quoting.
std::vector<Anchor> FindAnchors(const std::u16string& original, const std::u16string& prepared,
                                const std::u16string& module) {
  HRESULT result = S_OK;
  std::size_t stop = 0;
  const std::u16string layout = Prepare(original, kMarker, &result, &stop);
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
      if (end == std::u16string::npos) return {};
      anchors.push_back({i, end + 1, j, j + 1, true, false});
      i = end + 1;
    }
    ++j;
  }
  if (j != layout.size()) return {};

  // Quoting, from the tokens of the layout text.
  ScriptParser parser(nullptr);
  parser.SetPosition(layout.c_str());
  TokenBuffer token;
  std::size_t next = 0;
  while (next < anchors.size()) {
    parser.SkipBlanks();
    const std::size_t start = static_cast<std::size_t>(parser.Position() - layout.c_str());
    if (start >= layout.size() || FAILED(parser.ReadToken(token))) break;
    const std::size_t end = static_cast<std::size_t>(parser.Position() - layout.c_str());
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
  if (static_cast<long>(layout.size()) + shift != static_cast<long>(prepared.size())) return {};
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

// Follows the registration grammar over the prepared text, token by token.
class CReader {
 public:
  CReader(ScriptReading& reading, std::vector<Finding>* findings)
      : r_(reading), findings_(findings), parser_(nullptr) {}

  void Run() {
    const char16_t* base = r_.prepared.c_str();
    parser_.SetPosition(base);
    for (;;) {
      parser_.SkipBlanks();
      if (*parser_.Position() == 0) return;
      if (!Next(Slot::kRootName)) return;
      const HKEY root = FindRootKey(token_);
      if (!root) {
        if (r_.rootBlocks > 0 && token_[0] == u'}') {
          Fail("a root key name or the end of the script: this '}' closes more blocks than "
               "were opened");
        } else if (r_.rootBlocks > 0) {
          Fail("a root key name or the end of the script: text after the last '}' is read as "
               "another root block");
        } else {
          Fail(SlotText(Slot::kRootName));
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
      if (!Block(RootDisplay(root), 1, Last())) return;
    }
  }

 private:
  std::size_t Last() const { return r_.tokens.size() - 1; }

  bool Next(Slot slot, int capacity = kTokenCapacity) {
    parser_.SkipBlanks();
    const char16_t* base = r_.prepared.c_str();
    Token t;
    t.start = static_cast<std::size_t>(parser_.Position() - base);
    t.slot = slot;
    const HRESULT hr = parser_.ReadToken(token_, capacity);
    t.end = static_cast<std::size_t>(parser_.Position() - base);
    t.failed = FAILED(hr);
    if (!t.failed) t.text = token_;
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
               r_.prepared.find(u'\'', t.start + 1) == std::u16string::npos) {
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
    const Place p = r_.PlaceOfPrepared(r_.tokens[token].start);
    findings_->push_back({Severity::kWarning, code, r_.name, p.line, p.column, message, remedy});
  }

  void ExtraAfterBrace() {
    Warn(Last(), "brace-token",
         "'" + Utf8(token_) + "' is read as '{': the rest of the token is ignored",
         "put blanks around every brace");
  }

  bool Block(const std::u16string& path, int depth, std::size_t openToken) {
    if (depth > kMaxNesting) {
      Fail("blocks nested at most 128 deep (the root block counts as 1)");
      return false;
    }
    open_.push_back(openToken);
    if (!Next(Slot::kEntry)) return false;
    std::u16string lastKey = path;
    while (token_[0] != u'}') {
      if (!Entry(path, depth, lastKey)) return false;
    }
    if (token_[1] != 0) {
      Warn(Last(), "brace-token",
           "'" + Utf8(token_) + "' closes one block only: the rest of the token is ignored",
           "put blanks around every brace, one '}' per block");
    }
    open_.pop_back();
    return true;
  }

  // A value assignment; `token_` holds the "=". Leaves the next token.
  bool Assign(Slot after) {
    if (!Next(Slot::kType)) return false;
    std::uint16_t type = 0;
    if (!LookupValueType(token_, &type)) {
      Fail(SlotText(Slot::kType));
      return false;
    }
    if (!Next(Slot::kValue)) return false;
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

  bool NestedUnder(const std::u16string& key, int depth, Slot after, const char* entryKind) {
    Warn(Last(), "block-after-entry",
         std::string("a block after a ") + entryKind + " entry: it is walked under " +
             Utf8(key) + ", the latest key entry before it",
         "put the block after the key it belongs to");
    if (!Block(key, depth + 1, Last())) return false;
    return Next(after);
  }

  bool Entry(const std::u16string& path, int depth, std::u16string& lastKey) {
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
        r_.entries.push_back({path + u"\\" + token_, u"", false, false, false, true, Last()});
        if (!Next(Slot::kAfterDelete)) return false;
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
      r_.entries.push_back({path, name, true, entry.noRemove, false, false, nameToken});
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
    const std::u16string keyPath = path + u"\\" + token_;
    r_.entries.push_back({keyPath, u"", false, entry.noRemove, entry.forceRemove, false, Last()});
    lastKey = keyPath;
    if (!Next(Slot::kAfterKey)) return false;
    if (token_[0] == u'=' && !Assign(Slot::kAfterKey)) return false;
    if (token_[0] == u'{' && token_[1] == 0) {
      if (!Block(keyPath, depth + 1, Last())) return false;
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
  std::vector<Finding>* findings_;
  ScriptParser parser_;
  TokenBuffer token_;
  std::vector<std::size_t> open_;  // the "{" tokens of the blocks open now
};

}  // namespace

std::size_t ScriptReading::OriginalOffset(std::size_t prepared) const {
  const Anchor* before = nullptr;
  for (const Anchor& a : anchors) {
    if (a.preparedStart > prepared) break;
    before = &a;
  }
  if (!before) return prepared;
  if (prepared < before->preparedEnd) return before->originalStart;
  return before->originalEnd + (prepared - before->preparedEnd);
}

const Anchor* ScriptReading::ReplacementAt(std::size_t p) const {
  for (const Anchor& a : anchors) {
    if (a.isModule && p >= a.preparedStart && p < a.preparedEnd) return &a;
  }
  return nullptr;
}

ScriptReading ReadScript(const std::string& name, const std::u16string& original,
                         const std::u16string& modulePath, std::vector<Finding>* findings) {
  ScriptReading r;
  r.name = name;
  r.original = original;
  r.prepared = Prepare(original, modulePath, &r.prepareResult, &r.prepareStop);
  if (FAILED(r.prepareResult)) return r;
  r.anchors = FindAnchors(original, r.prepared, modulePath);
  for (const Anchor& a : r.anchors) {
    if (a.isModule && !a.quoted) {
      const Place p = PlaceOf(original, a.originalStart);
      findings->push_back(
          {Severity::kWarning, "unquoted-module", name, p.line, p.column,
           "%Module% is not quoted: installed under a path with a blank (C:\\Program Files\\...) "
           "the path splits into several tokens and the script fails",
           "write '%Module%' in apostrophes"});
    }
  }
  CReader(r, findings).Run();
  return r;
}

Finding DescribeStop(const ScriptReading& reading, const ScriptOutcome& outcome, ScriptMode mode) {
  const bool registering = mode == ScriptMode::kRegister;
  Finding f{Severity::kError, registering ? "registration-error" : "removal-error", reading.name,
            0, 0, "", ""};
  const std::string run = registering ? "registration" : "removal";
  if (outcome.inPreparation) {
    const Place p = PlaceOf(reading.original, outcome.stop);
    f.line = p.line;
    f.column = p.column;
    const std::size_t end = reading.original.find(u'%', outcome.stop + 1);
    const std::u16string name = reading.original.substr(
        outcome.stop,
        end == std::u16string::npos ? 12 : std::min<std::size_t>(end - outcome.stop + 1, 40));
    f.message = run + " stops at '" + Utf8(name) + "': " +
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
  for (const Token& t : reading.tokens) {
    if (t.start == at) token = &t;
  }
  std::string where, expected;
  if (at >= reading.prepared.size()) {
    where = "at the end of the script";
  } else if (token && !token->failed) {
    where = "at '" + Utf8(token->text) + "'";
  } else if (token || outcome.stop <= at) {
    where = "at the token starting here";
  } else {
    where = "at '" + Utf8(reading.prepared.substr(at, outcome.stop - at)) + "'";
  }
  const bool syntax = outcome.result == DISP_E_EXCEPTION || outcome.result == E_FAIL ||
                      outcome.result == DISP_E_TYPEMISMATCH || outcome.result == DISP_E_OVERFLOW;
  if (token && reading.malformed && &reading.tokens[reading.errorToken] == token) {
    expected = reading.expected;
  } else if (token && syntax) {
    expected = std::string("expected ") + SlotText(token->slot);
  } else if (syntax && outcome.stop > at &&
             reading.prepared.substr(at, outcome.stop - at).find(u'\\') != std::u16string::npos) {
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
    const Place q = PlaceOf(reading.original, a->originalStart);
    f.message += "; this text is part of the module's path, from %Module% at line " +
                 std::to_string(q.line) + ", column " + std::to_string(q.column) +
                 (a->quoted ? "" : ", which is not quoted");
  }
  return f;
}

}  // namespace check
