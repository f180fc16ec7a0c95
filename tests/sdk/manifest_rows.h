// The table of assembly manifests (manifest_rows.txt) that the host library's
// screen, `stub-check check --manifest` and, under Wine, the system's
// activation context are each held against. Plain C++, so that the host
// build's unit tests and the Windows end-to-end program read the same rows.
#ifndef STUB_TESTS_SDK_MANIFEST_ROWS_H
#define STUB_TESTS_SDK_MANIFEST_ROWS_H

#include <cstdlib>
#include <string>
#include <vector>

namespace manifest_rows {

// The package every row describes: Lark.dll serving two classes.
constexpr const char* kModule = "Lark.dll";
constexpr const char* kStyleId = "{5A43D3A4-DE45-48C3-9CA8-B9A32AF938F4}";
constexpr const char* kTextId = "{596B2237-CD2B-48B9-9CDF-CC45ECEC6664}";

struct Row {
  std::string name;
  std::string verdict;  // the host's: ready, bad-manifest or not-in-manifest
  std::string wine;     // what Wine's activation context does: serves, refused or not-served
  std::string why;      // where the verdict refuses what Wine serves, the reason; else empty
  std::string bytes;    // the manifest file
  std::size_t line = 0;
};

inline void Replace(std::string& text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

// $NEST(n): n elements of a namespace no manifest reader knows, each inside the last.
inline void ExpandNesting(std::string& text) {
  for (std::size_t at = text.find("$NEST("); at != std::string::npos; at = text.find("$NEST(")) {
    const std::size_t close = text.find(')', at);
    const int n = std::atoi(text.substr(at + 6, close - at - 6).c_str());
    std::string nested;
    for (int i = 0; i < n; ++i) nested += "<d xmlns=\"urn:stub-test:depth\">";
    for (int i = 0; i < n; ++i) nested += "</d>";
    text.replace(at, close + 1 - at, nested);
  }
}

// \n \r \t \\ and \xNN, the only escapes a row's text has.
inline std::string Unescaped(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    if (c == 'x' && i + 2 < text.size() + 1) {
      out += static_cast<char>(std::strtoul(text.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
    }
  }
  return out;
}

// UTF-8 text as UTF-16 of either byte order, after its byte order mark.
inline std::string Utf16(const std::string& text, bool bigEndian) {
  std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  const auto unit = [&](unsigned long u) {
    const char low = static_cast<char>(u & 0xFF), high = static_cast<char>(u >> 8);
    out += bigEndian ? high : low;
    out += bigEndian ? low : high;
  };
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const int n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    unsigned long code = n == 1 ? c : c & (0x3F >> (n - 1));
    for (int k = 1; k < n && i + k < text.size(); ++k) code = code << 6 | (text[i + k] & 0x3F);
    i += n;
    if (code < 0x10000) {
      unit(code);
    } else {
      unit(0xD800 + ((code - 0x10000) >> 10));
      unit(0xDC00 + ((code - 0x10000) & 0x3FF));
    }
  }
  return out;
}

// A row's manifest text, its placeholders replaced, for an assembly of
// `architecture` (the processorArchitecture: amd64 or x86).
inline std::string Expanded(std::string text, const std::string& architecture) {
  const std::string style = kStyleId, textId = kTextId;
  Replace(text, "$HEAD", "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">");
  Replace(text, "$ID",
          "<assemblyIdentity type=\"win32\" name=\"Lark.Assembly\" version=\"1.0.0.0\" "
          "processorArchitecture=\"$ARCH\"/>");
  Replace(text, "$FILE", "<file name=\"Lark.dll\">");
  Replace(text, "$STYLE", "<comClass clsid=\"$S\" threadingModel=\"Apartment\" progid=\"Lark.Style.1\"/>");
  Replace(text, "$TEXT", "<comClass clsid=\"$T\" threadingModel=\"Both\" progid=\"Lark.StyleText.1\"/>");
  Replace(text, "$END", "</file></assembly>");
  Replace(text, "$ARCH", architecture);
  Replace(text, "$SB", style.substr(1, 36));
  Replace(text, "$S", style);
  Replace(text, "$T", textId);
  ExpandNesting(text);
  return Unescaped(text);
}

// The rows of a table's text: "name | verdict | wine | why | encoding | manifest",
// blank lines and lines starting with '#' skipped; encoding utf8, utf16le or utf16be.
inline std::vector<Row> Rows(const std::string& table, const std::string& architecture) {
  std::vector<Row> rows;
  std::size_t lineNumber = 0;
  for (std::size_t at = 0; at < table.size();) {
    std::size_t end = table.find('\n', at);
    if (end == std::string::npos) end = table.size();
    const std::string line = table.substr(at, end - at);
    at = end + 1;
    ++lineNumber;
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields;
    std::size_t from = 0;
    for (int i = 0; i < 5; ++i) {
      const std::size_t bar = line.find(" | ", from);
      if (bar == std::string::npos) break;
      fields.push_back(line.substr(from, bar - from));
      from = bar + 3;
    }
    fields.push_back(line.substr(from));
    Row row;
    row.line = lineNumber;
    if (fields.size() != 6) {
      row.name = "malformed row";
      rows.push_back(row);
      continue;
    }
    row.name = fields[0];
    row.verdict = fields[1];
    row.wine = fields[2];
    row.why = fields[3] == "-" ? "" : fields[3];
    row.bytes = Expanded(fields[5], architecture);
    if (fields[4] != "utf8") row.bytes = Utf16(row.bytes, fields[4] == "utf16be");
    rows.push_back(row);
  }
  return rows;
}

}  // namespace manifest_rows

#endif  // STUB_TESTS_SDK_MANIFEST_ROWS_H
