// The value writer: "= type value" assignments turned into registry data.
#include "platform/hresult.h"
#include "platform/unique_resource.h"
#include "registrar/key_handle.h"
#include "registrar/script_parser.h"
#include "registrar/value_types.h"

namespace {

// Scratch storage for the converted "M" and "B" data: in the frame up to
// kInline bytes, from the heap beyond that, released when it goes away.
class CScratchBlock {
 public:
  static constexpr std::size_t kInline = 256;

  explicit CScratchBlock(std::size_t bytes)
      : data_(bytes <= kInline ? inline_ : static_cast<BYTE*>(sys::MemAlloc(bytes))),
        heap_(data_ == inline_ ? nullptr : data_) {}
  CScratchBlock(const CScratchBlock&) = delete;
  CScratchBlock& operator=(const CScratchBlock&) = delete;

  /// Null when the heap had no block.
  BYTE* Data() { return data_; }

 private:
  alignas(char16_t) BYTE inline_[kInline];
  BYTE* data_;
  CHeapMemory<BYTE> heap_;  // the block beyond kInline bytes, if any
};

// "\0" separates the strings; two NULs end the list. Returns a Win32 code.
LONG StoreMultiStringText(CBorrowedKey key, const char16_t* name, const char16_t* text) {
  const int length = sys::lstrlenW(text);
  CScratchBlock block((static_cast<std::size_t>(length) + 2) * sizeof(char16_t));
  auto* out = reinterpret_cast<char16_t*>(block.Data());
  if (!out) return ERROR_OUTOFMEMORY;
  int written = 0;
  for (int i = 0; i < length; ++i) {
    if (text[i] == u'\\' && text[i + 1] == u'0') {
      out[written++] = 0;
      ++i;
    } else {
      out[written++] = text[i];
    }
  }
  out[written] = 0;
  out[written + 1] = 0;
  return key.StoreMultiString(name, out);
}

// Pairs of hex digits (an even count), the first the high half of each byte.
// Returns a Win32 code, or E_FAIL (an HRESULT) for no scratch block.
LONG StoreBinaryText(CBorrowedKey key, const char16_t* name, const char16_t* text) {
  const int digits = sys::lstrlenW(text);
  const std::size_t bytes = static_cast<std::size_t>(digits) / 2;
  CScratchBlock block(bytes);
  BYTE* out = block.Data();
  if (!out) return E_FAIL;
  for (std::size_t i = 0; i < bytes; ++i) out[i] = 0;
  for (int i = 0; i < digits; ++i) {
    out[i / 2] |= static_cast<BYTE>(HexDigitValue(text[i]) << (i % 2 == 0 ? 4 : 0));
  }
  constexpr DWORD kReserved = 0;
  return sys::RegSetValueExW(key.Get(), name, kReserved, REG_BINARY, out, static_cast<DWORD>(bytes));
}

// At most nine decimal digits always fit: the platform's number conversion
// would answer exactly their value, so they are read here without a call.
bool ReadSmallDecimal(const char16_t* text, ULONG* value) {
  ULONG number = 0;
  int i = 0;
  for (; text[i]; ++i) {
    if (i == 9 || text[i] < u'0' || text[i] > u'9') return false;
    number = number * 10 + static_cast<ULONG>(text[i] - u'0');
  }
  *value = number;
  return i > 0;
}

}  // namespace

bool LookupValueType(const char16_t* token, std::uint16_t* code) {
  for (const ValueTypeRow& row : ValueTypeTable) {
    if (IsKeyword(token, row.letter)) {
      *code = row.code;
      return true;
    }
  }
  return false;
}

int HexDigitValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return 0;
}

HRESULT ScriptParser::AssignValue(CBorrowedKey key, const char16_t* name, TokenBuffer& buffer, Slot after) {
  TokenBuffer text;
  HRESULT hr = Read(text, Slot::kType);
  if (FAILED(hr)) return hr;
  std::uint16_t type = 0;
  if (!LookupValueType(text, &type)) return Refuse(ScriptStop::kUnknownType);
  hr = Read(text, Slot::kValue);
  if (FAILED(hr)) return hr;

  // The text is checked before anything is written; a read-only run writes nothing.
  ULONG number = 0;
  if (type == kValueTypeNumber && !ReadSmallDecimal(text, &number)) {
    constexpr LCID kNeutralLocale = 0;
    constexpr ULONG kNoFlags = 0;
    hr = sys::VarUI4FromStr(text, kNeutralLocale, kNoFlags, &number);
    if (FAILED(hr)) {
      stopReason_ = ScriptStop::kBadNumber;
      return hr;
    }
  }
  if (type == kValueTypeBytes && sys::lstrlenW(text) % 2 != 0) {
    stopReason_ = ScriptStop::kOddDigits;
    return E_FAIL;
  }
  LONG result = ERROR_SUCCESS;
  if (!readOnly_) {
    if (type == kValueTypeString) {
      result = key.StoreString(name, text, REG_SZ);
    } else if (type == kValueTypeMultiString) {
      result = StoreMultiStringText(key, name, text);
    } else if (type == kValueTypeNumber) {
      result = key.StoreDword(name, number);
    } else {
      result = StoreBinaryText(key, name, text);
    }
  }
  if (result != ERROR_SUCCESS) return HResultFromWin32(result);
  return Read(buffer, after);
}
