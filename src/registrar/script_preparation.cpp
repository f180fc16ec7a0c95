// The preparation pass: the script text with its %name% replacements applied,
// copied once into a new block that the key-tree walk then reads.
#include "registrar/registrar.h"
#include "registrar/script_parser.h"
#include "registrar/text_buffer.h"

namespace {

constexpr char16_t kPercent = u'%';
constexpr char16_t kApostrophe = u'\'';

// Follows the prepared text as the tokenizer will read it, to tell whether the
// next character lands inside a quoted token. A value inserted there must have
// its apostrophes doubled: verbatim, one apostrophe would close the token early
// and let the rest of the value be read as script (a module under O'Brien's
// profile, or a crafted value such as x' } HKCU { ...).
class CQuoteTracker {
 public:
  bool InsideQuotation() const { return state_ == State::kInQuote; }

  void Feed(const char16_t* text, int n) {
    const char16_t* end = text + n;
    while (text != end) {
      // Runs that cannot change the state are skipped in tight loops: the
      // inside of a quotation up to its next apostrophe, the rest of a bare
      // token up to its next blank.
      if (state_ == State::kInQuote) {
        while (text != end && *text != kApostrophe) ++text;
        if (text == end) return;
      } else if (state_ == State::kInBare) {
        while (text != end && !IsBlank(*text)) ++text;
        if (text == end) return;
      }
      Feed(*text++);
    }
  }

  void Feed(char16_t c) {
    switch (state_) {
      case State::kQuoteMark:
        // An apostrophe inside a quotation: doubled, it stands for itself;
        // otherwise it closed the token, and a new token begins right here.
        if (c == kApostrophe) {
          state_ = State::kInQuote;
          return;
        }
        state_ = State::kTokenStart;
        Feed(c);
        return;
      case State::kTokenStart:
        if (IsBlank(c)) return;
        state_ = c == kApostrophe ? State::kInQuote : State::kInBare;
        return;
      case State::kInBare:
        if (IsBlank(c)) state_ = State::kTokenStart;
        return;
      case State::kInQuote:
        if (c == kApostrophe) state_ = State::kQuoteMark;
        return;
    }
  }

 private:
  enum class State { kTokenStart, kInBare, kInQuote, kQuoteMark };
  State state_ = State::kTokenStart;
};

// Appends and tracks quoting in one place, so the tracker sees exactly the
// prepared text.
class CPreparedText {
 public:
  explicit CPreparedText(int requested) : buffer_(requested) {}

  bool HasBlock() const { return buffer_.Data() != nullptr; }
  int Length() const { return buffer_.Length(); }
  bool InsideQuotation() const { return quotes_.InsideQuotation(); }
  char16_t* Release() { return buffer_.Release(); }

  bool Append(const char16_t* text, int n) {
    if (!buffer_.AppendChars(text, n)) return false;
    quotes_.Feed(text, n);
    return true;
  }

  // Inside a quoted token each apostrophe of the value is written twice, so
  // the token reads back as the value; elsewhere the value goes in verbatim.
  bool AppendValue(const char16_t* value) {
    if (!quotes_.InsideQuotation()) return Append(value, sys::lstrlenW(value));
    const char16_t* run = value;
    for (const char16_t* p = value;; ++p) {
      if (*p != kApostrophe && *p != 0) continue;
      if (!Append(run, static_cast<int>(p - run))) return false;
      if (*p == 0) return true;
      if (!Append(u"''", 2)) return false;
      run = p + 1;
    }
  }

 private:
  TextBuffer buffer_;
  CQuoteTracker quotes_;
};

// The first capacity is twice the script length (a short script starts with
// 1000 characters), clamped where doubling would not fit.
int InitialCapacity(const char16_t* text) {
  const long long doubled = 2LL * sys::lstrlenW(text);
  return doubled > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(doubled);
}

}  // namespace

HRESULT ScriptParser::ExpandReplacements(const char16_t* text, char16_t** out) {
  if (!text || !out) return E_POINTER;
  *out = nullptr;
  CPreparedText prepared(InitialCapacity(text));
  if (!prepared.HasBlock()) return E_OUTOFMEMORY;

  position_ = text;
  while (*position_ != 0) {
    if (*position_ == kPercent) {
      const char16_t* nameStart = NextChar(position_);
      const int preparedStart = prepared.Length();
      const bool quoted = prepared.InsideQuotation();
      if (*nameStart == kPercent) {
        if (!prepared.Append(&kPercent, 1)) return E_OUTOFMEMORY;
        if (trace_) {
          trace_->Replacement(position_ - text, nameStart + 1 - text, preparedStart, prepared.Length(),
                              quoted);
        }
        position_ = nameStart;
      } else {
        // A stray percent sign pairs with the next one anywhere later on,
        // line breaks included; the run between them is the name.
        const char16_t* nameEnd = FindChar(nameStart, kPercent);
        if (!nameEnd) return Refuse(ScriptStop::kUnknownName);
        const int length = static_cast<int>(nameEnd - nameStart);
        if (length > kMaxNameLength) {
          stopReason_ = ScriptStop::kLongName;
          return E_FAIL;
        }
        char16_t name[kMaxNameLength + 1];
        for (int i = 0; i < length; ++i) name[i] = nameStart[i];
        name[length] = 0;
        const char16_t* value = registrar_ ? registrar_->Replacements().Lookup(name) : nullptr;
        if (!value) return Refuse(ScriptStop::kUnknownName);
        if (!prepared.AppendValue(value)) return E_OUTOFMEMORY;
        if (trace_) {
          trace_->Replacement(position_ - text, nameEnd + 1 - text, preparedStart, prepared.Length(), quoted);
        }
        position_ = nameEnd;
      }
    } else {
      // Everything up to the next percent sign is copied in one piece. A
      // character never spans a percent sign (it is neither a trailing
      // surrogate nor a combining mark), so the run ends on a character
      // boundary, where stepping character by character would also stop. The
      // block grows as it would character by character: the first capacity is
      // at least twice the whole text, so a run is shorter than half the block
      // and crosses at most one growth point, where one doubling is made, to
      // the same size, as the character that reaches it would make.
      const char16_t* runEnd = position_ + 1;
      while (*runEnd != 0 && *runEnd != kPercent) ++runEnd;
      if (!prepared.Append(position_, static_cast<int>(runEnd - position_))) return E_OUTOFMEMORY;
      position_ = runEnd;
      continue;
    }
    position_ = NextChar(position_);
  }
  *out = prepared.Release();
  return S_OK;
}
