// A growing block of wide text in task memory, used to build the prepared
// copy of a script.
#pragma once

#include "platform/platform.h"
#include "platform/unique_resource.h"

/// Wide text that doubles its task-memory block as it grows. The block is freed
/// with the buffer unless the caller took it over with Release().
class TextBuffer {
 public:
  /// Capacity `requested` wide characters when at least 100, else 1000. Data()
  /// is null when the block could not be had.
  explicit TextBuffer(int requested);
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;

  /// Appends `n` code units; false on size overflow or when the block cannot
  /// grow (the text held so far stays valid).
  bool AppendChars(const char16_t* source, int n);
  /// Appends a NUL-terminated text; false for null.
  bool AppendText(const char16_t* text);

  /// Cuts the text back to its first `length` code units (no longer than it is).
  void Truncate(int length) {
    if (data_ && length >= 0 && length <= length_) data_.Get()[length_ = length] = 0;
  }

  const char16_t* Data() const { return data_.Get(); }
  int Length() const { return length_; }
  int Capacity() const { return capacity_; }
  /// Hands the block to the caller, who frees it with CoTaskMemFree.
  char16_t* Release() { return data_.Take(); }

 private:
  int length_ = 0;
  int capacity_;
  CTaskMemory<char16_t> data_;
};
