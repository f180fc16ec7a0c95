// The checker's bottom layer for text: UTF-8 and UTF-16, case folding as Windows folds names,
// escaping for messages and XML, places in decoded text. Without the platform's types
// (text/identifiers.h has those).
#pragma once

#include <cstddef>
#include <string>

namespace check {

std::string Utf8(const std::u16string& text);
std::u16string Utf16(const std::string& text);
/// The length of the UTF-8 sequence at `b[i]`, or 0 when the bytes there are not UTF-8.
std::size_t Utf8Sequence(const std::string& b, std::size_t i);
/// `text` with every byte that is not part of valid UTF-8 shown as \xHH.
std::string ShowBytes(const std::string& text);

/// `text` folded as Windows compares registry and file names.
std::u16string FoldCase(const std::u16string& text);
/// `text` (UTF-8) folded as FoldCase folds it; bytes that are no UTF-8 stay as they are.
std::string Lower(const std::string& text);

/// `text` as every text the checker prints shows a name or a script's characters: bytes that are no
/// UTF-8 as \xHH, a tab, line feed or carriage return as \t, \n, \r, any other control character
/// (NUL, ESC, DEL, ...) as \xHH; so no name starts a line of its own or moves the terminal.
std::string Escaped(const std::string& text);
/// `text` quoted for a message, escaped as Escaped escapes it.
std::string Quoted(const std::string& text);
/// `text` as XML text, a tab or line break as a character reference (no parser makes it a
/// blank); a character XML cannot hold, or bytes that are no UTF-8, set `problem`.
std::string Xml(const std::string& text, std::string* problem);

/// A text file's bytes as UTF-8: UTF-16 with its byte-order mark decoded, as
/// Windows reads a manifest; any other bytes as they are.
std::string Decoded(const std::string& bytes);

/// The byte of `bytes` at which the C runtime's text mode has given `offset`
/// characters (each CR before an LF dropped, the file ending at a Ctrl+Z).
std::size_t TextModeOffset(const std::string& bytes, long offset);

/// A line and column (1-based; the column counts characters) in decoded text.
struct Place {
  int line = 0;
  int column = 0;
};
/// The place of the byte `offset` in the UTF-8 `text` (a byte that is no UTF-8
/// counts as one character), counted on from `from`, the place of `start`.
Place PlaceOf(const std::string& text, std::size_t offset, std::size_t start = 0, Place from = {1, 1});

}  // namespace check
