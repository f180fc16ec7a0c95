// The emulated registry as a value the checker can keep, compare, write out
// as .reg text and fill from a .reg export.
#include <cstdio>
#include <algorithm>
#include <cstring>

#include "checker.h"
#include "io/checked_files.h"
#include "text/text.h"
#include "registrar/script_grammar.h"
#include "platform/emulated/emulator.h"

namespace check {
namespace {

// The roots a .reg export names and the emulated registry holds, with their
// two spellings: the grammar's root table, less the performance and dynamic
// data roots, which hold no keys to export.
struct RootName {
  HKEY key;
  const char16_t* longName;
  const char16_t* shortName;
};
const std::vector<RootName>& Roots() {
  static const std::vector<RootName> roots = [] {
    std::vector<RootName> out;
    for (const RootKeyRow& row : RootKeyTable) {
      if (std::u16string_view(row.name).substr(0, 5) == u"HKEY_") continue;
      if (row.key == HKEY_PERFORMANCE_DATA || row.key == HKEY_DYN_DATA) continue;
      out.push_back({row.key, LongRootName(row.key), row.name});
    }
    return out;
  }();
  return roots;
}

// Splits "HKEY_...\rest" into its root and the path below it.
bool SplitPath(const std::u16string& path, HKEY* root, std::u16string* below) {
  const std::size_t slash = path.find(u'\\');
  const std::u16string head = FoldCase(path.substr(0, slash));
  for (const RootName& r : Roots()) {
    if (head == FoldCase(r.longName) || head == FoldCase(r.shortName)) {
      *root = r.key;
      *below = slash == std::u16string::npos ? u"" : path.substr(slash + 1);
      return true;
    }
  }
  return false;
}

void ReadTree(HKEY root, const std::u16string& display, const std::u16string& below,
              Snapshot* snapshot) {
  const emu::KeyContents contents = emu::ReadKey(root, below);
  if (!contents.exists) return;
  if (!below.empty() || !contents.values.empty()) {
    RegKey& key = (*snapshot)[FoldCase(display)];
    key.path = display;
    for (const emu::Value& v : contents.values) {
      key.values[FoldCase(v.name)] = {v.name, v.type, v.data};
    }
  }
  for (const std::u16string& child : contents.subkeys) {
    ReadTree(root, display + u"\\" + child, below.empty() ? child : below + u"\\" + child,
             snapshot);
  }
}

std::string Escaped(const std::u16string& text) {
  std::string out;
  for (char c : Utf8(text)) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

std::string HexBytes(const std::vector<BYTE>& data) {
  std::string out;
  char digits[4];
  for (std::size_t i = 0; i < data.size(); ++i) {
    std::snprintf(digits, sizeof digits, "%02x", data[i]);
    if (i) out += ',';
    out += digits;
  }
  return out;
}

std::string ValueName(const RegValue& value) {
  return value.name.empty() ? "@" : "\"" + Escaped(value.name) + "\"";
}

}  // namespace

Snapshot TakeSnapshot() {
  Snapshot snapshot;
  for (const RootName& r : Roots()) ReadTree(r.key, r.longName, u"", &snapshot);
  return snapshot;
}

namespace {

// The key `below` under `root` as a snapshot lists it: any key but a root, a
// root only while it holds values.
bool Listed(const std::u16string& below, bool exists, const std::vector<emu::Value>& values) {
  return exists && (!below.empty() || !values.empty());
}

RegKey MakeKey(const std::u16string& path, const std::vector<emu::Value>& values) {
  RegKey key;
  key.path = path;
  for (const emu::Value& v : values) key.values[FoldCase(v.name)] = {v.name, v.type, v.data};
  return key;
}

std::u16string FullPath(const std::u16string& root, const std::u16string& below) {
  return below.empty() ? root : root + u"\\" + below;
}

std::size_t CountTree(HKEY root, const std::u16string& below) {
  const emu::KeyContents contents = emu::ReadKey(root, below);
  std::size_t count = Listed(below, contents.exists, contents.values) ? 1 : 0;
  for (const std::u16string& child : contents.subkeys) {
    count += CountTree(root, below.empty() ? child : below + u"\\" + child);
  }
  return count;
}

}  // namespace

const char16_t* LongRootName(HKEY root) {
  const char16_t* name = u"";
  for (const RootKeyRow& row : RootKeyTable) {
    if (row.key == root) name = row.name;  // the HKEY_ forms come last
  }
  return name;
}

const char16_t* ShortRootName(HKEY root) {
  for (const RootKeyRow& row : RootKeyTable) {
    if (row.key == root) return row.name;  // the short forms come first
  }
  return u"";
}

Changes TakeChanges() {
  Changes changes;
  for (const emu::KeyChange& c : emu::RegistryChanges()) {
    const RootName* root = nullptr;
    for (const RootName& r : Roots()) {
      if (r.key == c.root) root = &r;
    }
    if (!root) continue;
    const bool was = Listed(c.before, c.existed, c.valuesBefore);
    const bool is = Listed(c.now, c.exists, c.values);
    const std::u16string folded = FoldCase(FullPath(root->longName, c.before));
    RegKey before;
    if (was) before = MakeKey(FullPath(root->longName, c.before), c.valuesBefore);
    if (is) {
      RegKey now = MakeKey(FullPath(root->longName, c.now), c.values);
      const auto same = [](const auto& x, const auto& y) {
        return x.first == y.first && x.second.type == y.second.type && x.second.data == y.second.data;
      };
      if (!was || before.values.size() != now.values.size() ||
          !std::equal(now.values.begin(), now.values.end(), before.values.begin(), same)) {
        changes.changed.emplace(folded, std::move(now));
      }
    } else if (was) {
      changes.deleted.insert(folded);
    }
    if (was) changes.was.emplace(folded, std::move(before));
  }
  return changes;
}

bool ReadRegKey(const std::u16string& path, RegKey* key) {
  HKEY root = nullptr;
  std::u16string below;
  if (!SplitPath(path, &root, &below)) return false;
  const emu::KeyContents contents = emu::ReadKey(root, below);
  if (!Listed(below, contents.exists, contents.values)) return false;
  *key = MakeKey(path, contents.values);
  return true;
}

std::size_t CountKeys() {
  std::size_t count = 0;
  for (const RootName& r : Roots()) count += CountTree(r.key, u"");
  return count;
}

const RegKey* FindKey(const Snapshot& base, const Changes& state, const std::u16string& path) {
  auto changed = state.changed.find(path);
  if (changed != state.changed.end()) return &changed->second;
  if (state.deleted.count(path)) return nullptr;
  auto kept = base.find(path);
  return kept == base.end() ? nullptr : &kept->second;
}

std::string RegDiff(const Snapshot& base, const Changes& before, const Changes& after) {
  // Only the keys either state changed can differ between them; the diff of
  // those alone is the whole diff (a deleted key's deleted parent is among them).
  std::set<std::u16string, PathOrder> paths;
  for (const Changes* c : {&before, &after}) {
    for (const auto& [folded, key] : c->changed) paths.insert(folded);
    paths.insert(c->deleted.begin(), c->deleted.end());
  }
  Snapshot from, to;
  for (const std::u16string& path : paths) {
    if (const RegKey* key = FindKey(base, before, path)) from.emplace(path, *key);
    if (const RegKey* key = FindKey(base, after, path)) to.emplace(path, *key);
  }
  return RegDiff(from, to);
}

namespace {

void RestoreKey(const RegKey& key) {
  HKEY root = nullptr;
  std::u16string below;
  if (!SplitPath(key.path, &root, &below)) return;
  // Setting a value makes its key; only a key without values needs its own call.
  if (!below.empty() && key.values.empty()) emu::CreateKey(root, below);
  for (const auto& [name, value] : key.values) {
    emu::SetValue(root, below, value.name, value.type, value.data);
  }
}

}  // namespace

void Restore(const Snapshot& snapshot) {
  for (const auto& [folded, key] : snapshot) RestoreKey(key);
}

namespace {

// Whether `text` can stand between quotes in a .reg line and be read back as
// it is: no line break or other control character (a tab excepted), and no
// half of a surrogate pair (which UTF-8 cannot carry).
bool PlainRegText(const std::u16string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if ((c < 0x20 && c != u'\t') || c == 0x7F) return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool RegNameWritable(const std::u16string& name) { return PlainRegText(name); }

std::string RegValueLine(const RegValue& value) {
  std::u16string text;
  // A string with a line break, a control character or half a surrogate pair
  // is written as its bytes, hex(1):..., which every .reg reader takes as the
  // same REG_SZ.
  if (value.type == REG_SZ && StringData(value.data, &text) && PlainRegText(text)) {
    return ValueName(value) + "=\"" + Escaped(text) + "\"";
  }
  if (value.type == REG_DWORD && value.data.size() == 4) {
    char number[16];
    const unsigned long n = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                            (static_cast<unsigned long>(value.data[3]) << 24);
    std::snprintf(number, sizeof number, "%08lx", n);
    return ValueName(value) + "=dword:" + number;
  }
  if (value.type == REG_BINARY) return ValueName(value) + "=hex:" + HexBytes(value.data);
  // The type is a hex number, as regedit writes it (hex(b) is a REG_QWORD).
  char type[16];
  std::snprintf(type, sizeof type, "%lx", static_cast<unsigned long>(value.type));
  return ValueName(value) + "=hex(" + type + "):" + HexBytes(value.data);
}

std::string RegDiff(const Snapshot& before, const Snapshot& after) {
  std::string out;
  const PathOrder less;
  // A deleted key whose parent went too is covered by the parent's line.
  auto parentDeleted = [&](const std::u16string& path) {
    const std::size_t slash = path.rfind(u'\\');
    if (slash == std::u16string::npos) return false;
    const std::u16string parent = path.substr(0, slash);
    return before.count(parent) && !after.count(parent);
  };
  auto a = before.begin();
  auto b = after.begin();
  while (a != before.end() || b != after.end()) {
    if (b == after.end() || (a != before.end() && less(a->first, b->first))) {
      if (a->first.find(u'\\') == std::u16string::npos) {
        // A root is never deleted: it only lost its values, which kept it listed.
        out += "[" + Utf8(a->second.path) + "]\n";
        for (const auto& [name, value] : a->second.values) out += ValueName(value) + "=-\n";
      } else if (!parentDeleted(a->first)) {
        out += "[-" + Utf8(a->second.path) + "]\n";
      }
      ++a;
      continue;
    }
    const bool isNew = a == before.end() || less(b->first, a->first);
    std::string lines;
    for (const auto& [name, value] : b->second.values) {
      if (!isNew) {
        auto old = a->second.values.find(name);
        if (old != a->second.values.end() && old->second == value) continue;
      }
      lines += RegValueLine(value) + "\n";
    }
    if (!isNew) {
      for (const auto& [name, value] : a->second.values) {
        if (!b->second.values.count(name)) lines += ValueName(value) + "=-\n";
      }
    }
    if (isNew || !lines.empty()) out += "[" + Utf8(b->second.path) + "]\n" + lines;
    if (!isNew) ++a;
    ++b;
  }
  return out;
}

// ---- .reg files ------------------------------------------------------------------------------

namespace {

std::u16string DecodeRegFile(const std::string& bytes) {
  if (bytes.size() >= 2 && static_cast<BYTE>(bytes[0]) == 0xFF &&
      static_cast<BYTE>(bytes[1]) == 0xFE) {
    std::u16string text;
    text.reserve(bytes.size() / 2);
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
      text += static_cast<char16_t>(static_cast<BYTE>(bytes[i]) |
                                    (static_cast<BYTE>(bytes[i + 1]) << 8));
    }
    return text;
  }
  std::size_t skip = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  return Utf16(bytes.substr(skip));
}

// The value of one hex digit, or -1.
int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

bool ParseHexList(const std::u16string& text, std::vector<BYTE>* data) {
  data->clear();
  int digits = 0, byte = 0;
  for (char16_t c : text) {
    const int v = HexDigit(c);
    if (v >= 0) {
      byte = byte * 16 + v;
      if (++digits > 2) return false;
      continue;
    }
    if (c == u',' || c == u' ' || c == u'\t') {
      if (c == u',' ) {
        if (digits == 0) return false;
        data->push_back(static_cast<BYTE>(byte));
        digits = byte = 0;
      }
      continue;
    }
    return false;
  }
  if (digits) data->push_back(static_cast<BYTE>(byte));
  return true;
}

// A quoted .reg string starting at text[*i] (the opening quote); *i ends past the closing one.
bool ReadQuoted(const std::u16string& text, std::size_t* i, std::u16string* out) {
  out->clear();
  for (++*i; *i < text.size(); ++*i) {
    char16_t c = text[*i];
    if (c == u'\\' && *i + 1 < text.size()) {
      *out += text[++*i];
    } else if (c == u'"') {
      ++*i;
      return true;
    } else {
      *out += c;
    }
  }
  return false;
}

}  // namespace

std::u16string TextUpToNul(const std::vector<BYTE>& data) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (c == 0) break;
    text += c;
  }
  return text;
}

bool StringData(const std::vector<BYTE>& data, std::u16string* text) {
  if (data.size() % 2) return false;
  *text = TextUpToNul(data);
  // Exactly the text and its terminator: no NUL inside, none missing.
  return text->size() * 2 + 2 == data.size();
}

std::vector<BYTE> TextData(const std::u16string& text) {
  std::vector<BYTE> data;
  data.reserve(2 * text.size() + 2);
  for (char16_t c : text) {
    data.push_back(static_cast<BYTE>(c & 0xFF));
    data.push_back(static_cast<BYTE>(c >> 8));
  }
  data.push_back(0);
  data.push_back(0);
  return data;
}

namespace {

// The registry holds keys at most this many levels below a root; regedit
// imports nothing deeper. It also bounds the work a path of an export costs.
constexpr std::size_t kMaxKeyDepth = 512;

// The key `below` (a path under the root named `rootName`) in `snapshot`, made
// with each missing parent as the registry makes them: a key already there
// keeps its first spelling, and empty steps of the path are skipped. A path
// that starts with a backslash, has a name longer than 255 units or is more
// than 512 levels deep names no key (null, `why` says which). The root itself
// stands in `snapshot` only while it holds values, so it is made only for a
// value (`forValue`).
RegKey* AddKey(Snapshot* snapshot, const std::u16string& rootName, const std::u16string& below,
               bool forValue, std::string* why) {
  if (!below.empty() && below[0] == u'\\') {
    *why = "a key path that starts with a backslash";
    return nullptr;
  }
  std::size_t depth = 0;
  for (std::size_t start = 0; start <= below.size();) {
    std::size_t end = below.find(u'\\', start);
    if (end == std::u16string::npos) end = below.size();
    if (end - start > 255) {
      *why = "a key name longer than the 255 characters the registry holds";
      return nullptr;
    }
    depth += end > start;
    start = end + 1;
  }
  if (depth > kMaxKeyDepth) {
    *why = "a key " + std::to_string(depth) + " levels deep, more than the " + std::to_string(kMaxKeyDepth) +
           " the registry holds";
    return nullptr;
  }
  RegKey* key = nullptr;
  std::u16string display = rootName;
  for (std::size_t start = 0; start <= below.size();) {
    std::size_t end = below.find(u'\\', start);
    if (end == std::u16string::npos) end = below.size();
    if (end > start) {
      const std::u16string path = display + u"\\" + below.substr(start, end - start);
      auto [it, made] = snapshot->try_emplace(FoldCase(path));
      if (made) it->second.path = path;
      display = it->second.path;
      key = &it->second;
    }
    start = end + 1;
  }
  if (!key && forValue) {
    auto [it, made] = snapshot->try_emplace(FoldCase(rootName));
    if (made) it->second.path = rootName;
    key = &it->second;
  }
  return key;
}

// The data of a value line after its '=' (a string, dword:, hex: or
// hex(type):) into `value`; false when it is none of these. `ansi`: a REGEDIT4
// file, which keeps expandable and multi-string data in the ANSI code page.
bool ParseValueData(const std::u16string& data, bool ansi, RegValue* value) {
  bool ok = true;
  if (!data.empty() && data[0] == u'"') {
    std::size_t j = 0;
    std::u16string textValue;
    ok = ReadQuoted(data, &j, &textValue);
    value->type = REG_SZ;
    value->data = TextData(textValue);
  } else if (data.compare(0, 6, u"dword:") == 0) {
    const std::u16string hex = data.substr(6);
    ok = hex.size() == 8;
    unsigned long n = 0;
    for (char16_t c : hex) {
      const int v = HexDigit(c);
      if (v < 0) ok = false;
      n = n * 16 + (v < 0 ? 0 : v);
    }
    value->type = REG_DWORD;
    value->data = {static_cast<BYTE>(n), static_cast<BYTE>(n >> 8), static_cast<BYTE>(n >> 16),
                  static_cast<BYTE>(n >> 24)};
  } else if (data.compare(0, 4, u"hex:") == 0) {
    value->type = REG_BINARY;
    ok = ParseHexList(data.substr(4), &value->data);
  } else if (data.compare(0, 4, u"hex(") == 0) {
    // The type: one to eight hex digits and nothing else.
    const std::size_t close = data.find(u"):");
    ok = close != std::u16string::npos && close > 4 && close <= 12;
    unsigned long type = 0;
    for (std::size_t k = 4; ok && k < close; ++k) {
      const int v = HexDigit(data[k]);
      ok = v >= 0;
      type = type * 16 + static_cast<unsigned long>(v);
    }
    if (ok) {
      value->type = static_cast<DWORD>(type);
      ok = ParseHexList(data.substr(close + 2), &value->data);
      // REGEDIT4 keeps expandable and multi-string data in the ANSI code page.
      if (ok && ansi && (value->type == REG_EXPAND_SZ || value->type == REG_MULTI_SZ)) {
        std::vector<BYTE> wide;
        for (BYTE c : value->data) {
          wide.push_back(c);
          wide.push_back(0);
        }
        value->data = wide;
      }
    }
  } else {
    ok = false;
  }
  return ok;
}

// The logical lines of an export's text, one at a time: a line ending in a
// backslash continues on the next one. `*number` is the first line's number.
struct LogicalLines {
  const std::u16string& text;
  std::size_t start = 0;
  int lineNumber = 0;

  bool Next(int* number, std::u16string* logical) {
    logical->clear();
    if (start > text.size()) return false;
    *number = lineNumber + 1;
    for (;;) {
      std::size_t end = text.find(u'\n', start);
      if (end == std::u16string::npos) end = text.size();
      std::size_t from = start, to = end;
      start = end + 1;
      ++lineNumber;
      while (to > from && (text[to - 1] == u'\r' || text[to - 1] == u' ')) --to;
      if (!logical->empty()) {
        while (from < to && (text[from] == u' ' || text[from] == u'\t')) ++from;
      }
      const bool continued = to > from && text[to - 1] == u'\\';
      logical->append(text, from, to - from - (continued ? 1 : 0));
      if (!continued || start > text.size()) return true;
    }
  }
};

// A key line, [path]: the key made in `keys` (its root's long name in
// `*display`, the path below it in `*below`); false with `why` set for a key
// line that is ignored, with the values after it.
bool ReadKeyLine(const std::u16string& line, Snapshot* keys, std::u16string* below, std::u16string* display,
                 std::string* why) {
  const std::size_t close = line.rfind(u']');
  if (close == std::u16string::npos) {
    *why = "key line without its closing ']' ignored, with the values after it";
    return false;
  }
  const std::u16string path = line.substr(1, close - 1);
  if (!path.empty() && path[0] == u'-') {
    *why = "key deletion ignored: " + Utf8(path.substr(1));
    return false;
  }
  HKEY root = nullptr;
  if (!SplitPath(path, &root, below)) {
    *why = "key under an unknown root ignored: " + Utf8(path);
    return false;
  }
  *display = LongRootName(root);
  if (!below->empty() && !AddKey(keys, *display, *below, /*forValue=*/false, why)) {
    *why = "key ignored, with the values after it: " + *why;
    return false;
  }
  return true;
}

// A value line, "name"=data or @=data, into `value`; false with `why` set
// for a line that is ignored.
bool ReadValueLine(const std::u16string& line, bool ansi, RegValue* value, std::string* why) {
  std::size_t i = 0;
  if (line[0] == u'@') {
    i = 1;
  } else if (line[0] != u'"') {
    *why = "line not understood, ignored";
    return false;
  } else if (!ReadQuoted(line, &i, &value->name)) {
    *why = "value line not understood, ignored";
    return false;
  }
  if (i >= line.size() || line[i] != u'=') {
    *why = "value line without '=', ignored";
    return false;
  }
  const std::u16string data = line.substr(i + 1);
  if (data == u"-") {
    *why = "value deletion ignored";
    return false;
  }
  if (!ParseValueData(data, ansi, value)) {
    *why = "value data not understood, ignored";
    return false;
  }
  return true;
}

}  // namespace

bool ParseRegFile(std::string bytes, Snapshot* snapshot, std::vector<std::string>* notes,
                  std::string* error) {
  // An export may be large: each form of it is let go once the next is made.
  std::u16string text = DecodeRegFile(bytes);
  std::string().swap(bytes);
  LogicalLines lines{text};
  // The keys go straight into a snapshot, as the registry would hold them.
  Snapshot keys;
  bool headerSeen = false, ansi = false;
  std::u16string below, display;
  bool skipKey = true, keySeen = false;
  RegKey* current = nullptr;  // the key the value lines are for, once made
  auto note = [&](int line, const std::string& what) {
    notes->push_back("line " + std::to_string(line) + ": " + what);
  };
  int number = 0;
  std::u16string line;
  while (lines.Next(&number, &line)) {
    if (line.empty() || line[0] == u';') continue;
    if (!headerSeen) {
      if (line == u"Windows Registry Editor Version 5.00") {
        headerSeen = true;
        continue;
      }
      if (line == u"REGEDIT4") {
        headerSeen = ansi = true;
        continue;
      }
      *error = "not a registry export: the first line is neither \"Windows Registry Editor "
               "Version 5.00\" nor \"REGEDIT4\"";
      return false;
    }
    const std::size_t first = line.find_first_not_of(u" \t");
    if (first != std::u16string::npos && first > 0 && line[first] == u'[') {
      // A key starts at the start of a line; this line is none.
      note(number, "indented key line ignored (a key line starts with '['): " + Utf8(line.substr(first)));
      continue;
    }
    if (line[0] == u'[') {
      keySeen = true;
      current = nullptr;
      std::string why;
      skipKey = !ReadKeyLine(line, &keys, &below, &display, &why);
      if (skipKey) note(number, why);
      continue;
    }
    if (!keySeen) {
      note(number, "line before the first key ignored");
      keySeen = true;  // noted once: the rest up to the first key goes with it
      continue;
    }
    if (skipKey) continue;
    RegValue value;
    std::string why;
    if (!ReadValueLine(line, ansi, &value, &why)) {
      note(number, why);
      continue;
    }
    if (!current) current = AddKey(&keys, display, below, /*forValue=*/true, &why);
    if (RegKey* key = current) {
      // A value already there keeps its first spelling, as the registry keeps it.
      auto [it, made] = key->values.try_emplace(FoldCase(value.name));
      if (made) it->second.name = value.name;
      it->second.type = value.type;
      it->second.data = std::move(value.data);
    }
  }
  if (!headerSeen) {
    *error = "not a registry export: the file is empty";
    return false;
  }
  *snapshot = std::move(keys);
  return true;
}

// ---- Classes keys ------------------------------------------------------------------------

namespace {

enum class Feed { kClassesRoot, kMachineClasses, kUserClasses, kElsewhere, kAbove };

// Where a key of an export goes: `below` is its path under the classes root
// for the three classes feeds. kAbove: a key on the way to a classes key
// (HKLM\Software), which holds nothing of its own there.
Feed FeedOf(const std::u16string& path, std::u16string* below) {
  const std::u16string folded = FoldCase(path);
  static const struct {
    const char16_t* top;
    Feed feed;
  } kTops[] = {{u"hkey_classes_root", Feed::kClassesRoot},
               {u"hkey_local_machine\\software\\classes", Feed::kMachineClasses},
               {u"hkey_current_user\\software\\classes", Feed::kUserClasses}};
  for (const auto& t : kTops) {
    const std::u16string top = t.top;
    if (folded.compare(0, top.size(), top) != 0) {
      if (top.compare(0, folded.size(), folded) == 0 && top[folded.size()] == u'\\') return Feed::kAbove;
      continue;
    }
    if (folded.size() == top.size()) {
      below->clear();
      return t.feed;
    }
    if (folded[top.size()] != u'\\') continue;
    *below = path.substr(top.size() + 1);
    return t.feed;
  }
  return Feed::kElsewhere;
}

void Merge(Snapshot* into, const std::u16string& path, const RegKey& key, bool replaceValues) {
  RegKey& target = (*into)[FoldCase(path)];
  if (target.path.empty() || replaceValues) target.path = path;
  if (replaceValues) target.values.clear();
  for (const auto& [name, value] : key.values) target.values[name] = value;
}

}  // namespace

void CombineExports(EmulatorSession& session, std::vector<RegistryExport>* exports) {
  Snapshot machine, user, elsewhere;
  for (RegistryExport& e : *exports) {
    // Each key is let go once merged, so the export is held only once.
    for (auto it = e.keys.begin(); it != e.keys.end(); it = e.keys.erase(it)) {
      const RegKey& key = it->second;
      std::u16string below;
      const Feed feed = FeedOf(key.path, &below);
      const std::u16string classes =
          below.empty() ? std::u16string(u"HKEY_CLASSES_ROOT") : u"HKEY_CLASSES_ROOT\\" + below;
      switch (feed) {
        case Feed::kAbove:
          if (key.values.empty()) break;
          [[fallthrough]];
        case Feed::kElsewhere:
          ++e.elsewhere;
          Merge(&elsewhere, key.path, key, false);
          break;
        case Feed::kClassesRoot:
        case Feed::kMachineClasses:
          // The classes key itself is the root: counted only when it holds values.
          if (below.empty() && key.values.empty()) break;
          ++(feed == Feed::kClassesRoot ? e.classesRoot : e.machineClasses);
          Merge(&machine, classes, key, false);
          break;
        case Feed::kUserClasses:
          if (below.empty() && key.values.empty()) break;
          ++e.userClasses;
          Merge(&user, classes, key, false);
          Merge(&elsewhere, key.path, key, false);
          break;
      }
    }
  }
  // The user's keys over the machine's: a key both have shows the user's values.
  for (const auto& [folded, key] : user) Merge(&machine, key.path, key, true);
  user.clear();
  // Into the session's registry, each key let go once it is there.
  for (Snapshot* part : {&elsewhere, &machine}) {
    for (auto it = part->begin(); it != part->end(); it = part->erase(it)) {
      RestoreKey(it->second);
    }
  }
}

}  // namespace check
