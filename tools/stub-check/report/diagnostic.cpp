// Findings shown as a compiler shows its diagnostics.
#include "report/report.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "text/text.h"

namespace check {
namespace {

// The widest source line shown whole; a longer one is shown around the column.
constexpr std::size_t kShownCharacters = 160;

// Line `line` (1-based) of the decoded `bytes`, without its line end; empty
// past the last line.
std::string SourceLine(const std::string& bytes, int line) {
  std::string text = Decoded(bytes);
  std::size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  for (int n = 1; n < line; ++n) {
    start = text.find('\n', start);
    if (start == std::string::npos) return "";
    ++start;
  }
  std::size_t end = std::min(text.find('\n', start), text.size());
  if (end > start && text[end - 1] == '\r') --end;
  return text.substr(start, end - start);
}

// How the character of `line` in [from, to) is shown: a control character
// other than a tab (a NUL of a UTF-16 file read as bytes, say) as \xHH.
std::string Shown(const std::string& line, std::size_t from, std::size_t to) {
  const unsigned char c = static_cast<unsigned char>(line[from]);
  if (to - from > 1 || (c >= 0x20 && c != 0x7F) || c == '\t') return line.substr(from, to - from);
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
  return escaped;
}

// The source line and the caret line under it, each after the gutter.
std::string SourceAndCaret(const std::string& line, int lineNumber, int column, int length) {
  // Where each character starts (a byte that is no UTF-8 counts as one), and the line's end.
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i < line.size(); i += std::max<std::size_t>(Utf8Sequence(line, i), 1)) {
    starts.push_back(i);
  }
  const std::size_t characters = starts.size();
  starts.push_back(line.size());
  const std::size_t at = std::min<std::size_t>(column > 0 ? column - 1 : 0, characters);
  std::size_t first = 0, last = characters;
  if (characters > kShownCharacters) {
    first = at > kShownCharacters / 2 ? at - kShownCharacters / 2 : 0;
    last = std::min(characters, first + kShownCharacters);
  }
  std::string shown = first ? "..." : "", caret = first ? "   " : "";
  const std::size_t span = std::min<std::size_t>(std::max(length, 1), last > at ? last - at : 1);
  for (std::size_t i = first; i < last; ++i) {
    const std::string text = Shown(line, starts[i], starts[i + 1]);
    shown += text;
    if (i >= at + span) continue;
    // Under each character as many marks as it takes columns (a tab stays a tab).
    const char mark = i < at ? ' ' : i == at ? '^' : '~';
    const std::size_t width = text[0] == '\\' ? text.size() : 1;
    const char fill = mark == ' ' ? ' ' : '~';
    caret += text == "\t" && i < at ? std::string("\t") : mark + std::string(width - 1, fill);
  }
  if (at >= last) caret += '^';
  if (last < characters) shown += "...";
  const std::string number = std::to_string(lineNumber);
  const std::string gutter(number.size() < 5 ? 5 - number.size() : 0, ' ');
  return gutter + number + " | " + shown + "\n" + gutter + std::string(number.size(), ' ') + " | " + caret +
         "\n";
}

}  // namespace

std::string TextDiagnostic(const Finding& f, const std::string* source, const std::string& fallback) {
  std::string out = f.file.empty() ? fallback : f.file;
  if (f.line) out += ":" + std::to_string(f.line) + ":" + std::to_string(f.column);
  out += std::string(": ") + SeverityName(f.severity) + ": " + f.message + " [" + f.code + "]\n";
  const std::string line = source && f.line > 0 ? SourceLine(*source, f.line) : "";
  if (!line.empty()) out += SourceAndCaret(line, f.line, f.column, f.length);
  for (const std::string& note : f.notes) out += "  note: " + note + "\n";
  if (!f.remedy.empty()) out += "  remedy: " + f.remedy + "\n";
  return out;
}

}  // namespace check
