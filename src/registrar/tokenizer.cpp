// Cuts tokens out of prepared script text. The tokenizer knows no grammar:
// keywords, braces, "=" and type letters are plain tokens to it.
#include "registrar/script_parser.h"

namespace {
constexpr char16_t kApostrophe = u'\'';
}  // namespace

const char16_t* FindChar(const char16_t* text, char16_t c) {
  if (!text) return nullptr;
  for (const char16_t* p = text; *p; p = NextChar(p)) {
    if (*p == c) return p;
  }
  return nullptr;
}

bool IsKeyword(const char16_t* token, const char16_t* keyword) {
  for (const char16_t* p = token; *p; ++p) {
    const char16_t c = *p;
    const char16_t folded = static_cast<char16_t>(c | 0x20);
    if (!((c >= u'0' && c <= u'9') || (folded >= u'a' && folded <= u'z'))) {
      return sys::lstrcmpiW(token, keyword) == 0;
    }
  }
  // Digits keep their code under the fold and letters meet their other case;
  // neither can meet an underscore or a blank.
  for (int i = 0;; ++i) {
    if (token[i] == 0) return keyword[i] == 0;
    if ((token[i] | 0x20) != (keyword[i] | 0x20)) return false;
  }
}

void ScriptParser::SkipBlanks() {
  while (IsBlank(*position_)) position_ = NextChar(position_);
}

bool ScriptParser::AtClosingQuote() const {
  return *position_ == kApostrophe && *NextChar(position_) != kApostrophe;
}

// Steps one character and copies every code unit it passed, refusing to fill
// the last element of the buffer (the token limit is capacity - 2 units).
HRESULT ScriptParser::CopyStep(char16_t* buffer, int capacity, int& written) {
  const char16_t* next = NextChar(position_);
  const int n = static_cast<int>(next - position_);
  if (written + n + 1 >= capacity) return DISP_E_EXCEPTION;
  for (int i = 0; i < n; ++i) buffer[written + i] = position_[i];
  written += n;
  position_ = next;
  return S_OK;
}

HRESULT ScriptParser::ReadToken(char16_t* buffer, int capacity) {
  SkipBlanks();
  tokenStart_ = position_;
  const HRESULT hr = CutToken(buffer, capacity);
  if (trace_) trace_->Token(slot_, tokenStart_, position_, FAILED(hr));
  return hr;
}

HRESULT ScriptParser::CutToken(char16_t* buffer, int capacity) {
  if (*position_ == 0) return Refuse(ScriptStop::kEndOfText);
  int written = 0;
  if (*position_ != kApostrophe) {
    // Bare token: runs to the next blank or the end of the text, neither consumed.
    while (!IsBlank(*position_)) {
      if (FAILED(CopyStep(buffer, capacity, written))) return Refuse(ScriptStop::kLongToken);
      if (*position_ == 0) break;
    }
    buffer[written] = 0;
    return S_OK;
  }
  // Quoted token: '' stands for one apostrophe, a single one closes the token.
  position_ = NextChar(position_);
  while (*position_ != 0 && !AtClosingQuote()) {
    if (*position_ == kApostrophe) position_ = NextChar(position_);
    if (FAILED(CopyStep(buffer, capacity, written))) return Refuse(ScriptStop::kLongToken);
  }
  if (*position_ == 0) return Refuse(ScriptStop::kOpenQuote);
  buffer[written] = 0;
  position_ = NextChar(position_);
  return S_OK;
}

HRESULT ScriptParser::DiscardAssignment(TokenBuffer& buffer, Slot after) {
  if (buffer[0] != u'=') return S_OK;
  HRESULT hr = Read(buffer, Slot::kType);  // the type, not validated
  if (FAILED(hr)) return hr;
  TokenBuffer value;
  hr = Read(value, Slot::kValue);
  if (FAILED(hr)) return hr;
  return Read(buffer, after);
}
