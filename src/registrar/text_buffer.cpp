#include "registrar/text_buffer.h"

#include <cstring>

namespace {

// Bytes for `units` wide characters; false when the size does not fit.
bool UnitsToBytes(int units, std::size_t& bytes) {
  if (units < 0 || static_cast<std::size_t>(units) > SIZE_MAX / sizeof(char16_t)) return false;
  bytes = static_cast<std::size_t>(units) * sizeof(char16_t);
  return true;
}

}  // namespace

TextBuffer::TextBuffer(int requested) : capacity_(requested >= 100 ? requested : 1000) {
  std::size_t bytes = 0;
  if (!UnitsToBytes(capacity_, bytes)) return;
  data_.Reset(static_cast<char16_t*>(sys::CoTaskMemAlloc(bytes)));
  if (data_) data_.Get()[0] = 0;
}

bool TextBuffer::AppendChars(const char16_t* source, int n) {
  char16_t* data = data_.Get();
  if (!data || n < 0) return false;
  const long long needed = static_cast<long long>(length_) + n + 1;
  if (needed > 0x7FFFFFFF) return false;
  // Grow as soon as the characters and the terminator would fill the block
  // exactly, so that capacity >= length + 2 after every append.
  if (needed >= capacity_) {
    long long grown = capacity_;
    do {
      if (grown > 0x3FFFFFFF) return false;
      grown *= 2;
    } while (grown <= needed);
    std::size_t bytes = 0;
    if (!UnitsToBytes(static_cast<int>(grown), bytes)) return false;
    if (!ResizeTaskMemory(data_, bytes)) return false;
    data = data_.Get();
    capacity_ = static_cast<int>(grown);
  }
  if (n > 0) std::memcpy(data + length_, source, static_cast<std::size_t>(n) * sizeof(char16_t));
  length_ += n;
  data[length_] = 0;
  return true;
}

bool TextBuffer::AppendText(const char16_t* text) {
  if (!text) return false;
  return AppendChars(text, sys::lstrlenW(text));
}
