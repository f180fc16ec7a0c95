// The emulated registry as a value the checker can keep, compare, write out as .reg text and read back.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <string_view>

#include "registrar/script_grammar.h"
#include "registry/emulator_session.h"
#include "registry/registry_state.h"
#include "text/text.h"

namespace check {
namespace {

// The name of the first row for `root` in the grammar's root table read from `first` on.
template <typename Rows>
const char16_t* RootName(Rows first, HKEY root) {
  const Rows last = first + std::size(RootKeyTable);
  const Rows row = std::find_if(first, last, [root](const RootKeyRow& r) { return r.key == root; });
  return row == last ? u"" : row->name;
}

// Text between quotes, as .reg text escapes it.
std::string RegQuoted(const std::u16string& text) {
  std::string out = "\"";
  for (char c : Utf8(text)) out += c == '\\' || c == '"' ? std::string{'\\', c} : std::string(1, c);
  return out + "\"";
}

std::string ValueName(const RegValue& value) { return value.name.empty() ? "@" : RegQuoted(value.name); }

std::string HexBytes(const std::vector<BYTE>& data) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (BYTE b : data) out += (out.empty() ? "" : ",") + std::string{kDigits[b >> 4], kDigits[b & 15]};
  return out;
}

std::u16string DecodeRegFile(const std::string& bytes) {
  if (bytes.compare(0, 2, "\xFF\xFE") != 0) {
    return Utf16(bytes.substr(bytes.compare(0, 3, "\xEF\xBB\xBF") ? 0 : 3));
  }
  std::u16string text;
  text.reserve(bytes.size() / 2);
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    text += static_cast<char16_t>(static_cast<BYTE>(bytes[i]) | (static_cast<BYTE>(bytes[i + 1]) << 8));
  }
  return text;
}

// The value of one hex digit, or -1.
int HexDigit(char16_t c) {
  const std::size_t at = std::u16string_view(u"0123456789abcdefABCDEF").find(c);
  return at == std::u16string_view::npos ? -1 : static_cast<int>(at < 16 ? at : at - 6);
}

// One to eight hex digits and nothing else.
bool HexNumber(const std::u16string& text, unsigned long* n) {
  const std::string digits = Utf8(text);
  const char* const end = digits.data() + digits.size();
  const auto [stop, error] = std::from_chars(digits.data(), end, *n, 16);
  return error == std::errc() && stop == end && digits.size() <= 8;
}

// Bytes as "2a,00, 01": two digits at most each, blanks around them.
bool ParseHexList(const std::u16string& text, std::vector<BYTE>* data) {
  data->clear();
  int digits = 0, byte = 0;
  for (char16_t c : text) {
    if (const int v = HexDigit(c); v >= 0) {
      byte = byte * 16 + v;
      if (++digits > 2) return false;
    } else if (c == u',' && digits) {
      data->push_back(static_cast<BYTE>(byte));
      digits = byte = 0;
    } else if (c != u' ' && c != u'\t') {
      return false;
    }
  }
  if (digits) data->push_back(static_cast<BYTE>(byte));
  return true;
}

// A quoted .reg string starting at text[*i] (the opening quote); *i ends past the closing one.
bool ReadQuoted(const std::u16string& text, std::size_t* i, std::u16string* out) {
  out->clear();
  while (++*i < text.size() && text[*i] != u'"') {
    if (text[*i] == u'\\' && *i + 1 < text.size()) ++*i;
    *out += text[*i];
  }
  if (*i >= text.size()) return false;
  ++*i;
  return true;
}

// The deepest key below a root the registry holds and regedit imports.
constexpr std::size_t kMaxKeyDepth = 512;

// The key `below` under `rootName` in `snapshot`, missing parents made as the registry makes them (first
// spelling kept, empty steps skipped), or null with `why`. The root is made only for a value (it needs one).
RegKey* AddKey(Snapshot* snapshot, const std::u16string& rootName, const std::u16string& below, bool forValue,
               std::string* why) {
  auto fail = [why](const std::string& text) -> RegKey* {
    *why = text;
    return nullptr;
  };
  if (!below.empty() && below[0] == u'\\') return fail("a key path that starts with a backslash");
  std::vector<std::u16string> names;
  for (std::size_t start = 0, end; start <= below.size(); start = end + 1) {
    end = std::min(below.find(u'\\', start), below.size());
    if (end - start > 255) return fail("a key name longer than the 255 characters the registry holds");
    if (end > start) names.push_back(below.substr(start, end - start));
  }
  if (names.size() > kMaxKeyDepth) {
    return fail("a key " + std::to_string(names.size()) + " levels deep, more than the " +
                std::to_string(kMaxKeyDepth) + " the registry holds");
  }
  auto keyAt = [snapshot](const std::u16string& path) {
    return &snapshot->try_emplace(FoldCase(path), RegKey{path, {}}).first->second;
  };
  RegKey* key = names.empty() && forValue ? keyAt(rootName) : nullptr;
  for (const std::u16string& name : names) key = keyAt((key ? key->path : rootName) + u"\\" + name);
  return key;
}

// A value line's data, after its '=', into `value`; false if it is none. `ansi`: REGEDIT4's ANSI strings.
bool ParseValueData(const std::u16string& data, bool ansi, RegValue* value) {
  unsigned long n = 0;
  if (!data.empty() && data[0] == u'"') {
    std::size_t i = 0;
    std::u16string text;
    const bool ok = ReadQuoted(data, &i, &text);
    *value = {value->name, REG_SZ, TextData(text)};
    return ok;
  }
  if (data.compare(0, 6, u"dword:") == 0) {
    if (data.size() != 14 || !HexNumber(data.substr(6), &n)) return false;
    *value = {value->name, REG_DWORD, {BYTE(n), BYTE(n >> 8), BYTE(n >> 16), BYTE(n >> 24)}};
    return true;
  }
  // hex:... is hex(3):..., a REG_BINARY.
  const bool binary = data.compare(0, 4, u"hex:") == 0;
  const std::size_t close = binary ? 2 : data.find(u"):");
  if (binary) n = REG_BINARY;
  if ((!binary && (data.compare(0, 4, u"hex(") != 0 || close == std::u16string::npos ||
                   !HexNumber(data.substr(4, close - 4), &n))) ||
      !ParseHexList(data.substr(close + 2), &value->data)) {
    return false;
  }
  value->type = static_cast<DWORD>(n);
  if (ansi && (n == REG_EXPAND_SZ || n == REG_MULTI_SZ)) {
    std::vector<BYTE> wide;
    for (BYTE c : value->data) wide.insert(wide.end(), {c, 0});
    value->data = std::move(wide);
  }
  return true;
}

// An export's logical lines, a line ending in a backslash going on in the next; `*number`: the first's.
struct LogicalLines {
  const std::u16string& text;
  std::size_t start = 0;
  int lineNumber = 0;
  bool Next(int* number, std::u16string* logical) {
    logical->clear();
    if (start > text.size()) return false;
    *number = lineNumber + 1;
    for (;;) {
      std::size_t from = start, to = std::min(text.find(u'\n', start), text.size());
      start = to + 1;
      ++lineNumber;
      while (to > from && (text[to - 1] == u'\r' || text[to - 1] == u' ')) --to;
      while (!logical->empty() && from < to && (text[from] == u' ' || text[from] == u'\t')) ++from;
      const bool continued = to > from && text[to - 1] == u'\\';
      logical->append(text, from, to - from - (continued ? 1 : 0));
      if (!continued || start > text.size()) return true;
    }
  }
};

// A key line, [path], made in `keys` (root's long name in `*display`, the rest in `*below`), or why not.
std::string ReadKeyLine(const std::u16string& line, Snapshot* keys, std::u16string* below,
                        std::u16string* display) {
  const std::size_t close = line.rfind(u']');
  if (close == std::u16string::npos) {
    return "key line without its closing ']' ignored, with the values after it";
  }
  const std::u16string path = line.substr(1, close - 1);
  HKEY root = nullptr;
  if (!path.empty() && path[0] == u'-') return "key deletion ignored: " + Utf8(path.substr(1));
  if (!SplitKeyPath(path, &root, below)) return "key under an unknown root ignored: " + Utf8(path);
  *display = LongRootName(root);
  std::string why;
  if (below->empty() || AddKey(keys, *display, *below, /*forValue=*/false, &why)) return "";
  return "key ignored, with the values after it: " + why;
}

// A value line, "name"=data or @=data, into `value`; else why it is ignored.
std::string ReadValueLine(const std::u16string& line, bool ansi, RegValue* value) {
  std::size_t i = line[0] == u'@' ? 1 : 0;
  if (line[0] != u'@' && line[0] != u'"') return "line not understood, ignored";
  if (!i && !ReadQuoted(line, &i, &value->name)) return "value line not understood, ignored";
  if (i >= line.size() || line[i] != u'=') return "value line without '=', ignored";
  if (line.compare(i + 1, std::u16string::npos, u"-") == 0) return "value deletion ignored";
  if (!ParseValueData(line.substr(i + 1), ansi, value)) return "value data not understood, ignored";
  return "";
}

// `key`'s values into the key at `path` in `into`, which keeps its first spelling.
void Merge(Snapshot* into, const std::u16string& path, const RegKey& key) {
  RegKey& target = into->try_emplace(FoldCase(path), RegKey{path, {}}).first->second;
  for (const auto& [name, value] : key.values) target.values[name] = value;
}

// A state's keys in tree order, each with its case-folded path: a view of snapshots, no copy of their keys.
using KeyList = std::vector<std::pair<const std::u16string*, const RegKey*>>;

KeyList Listing(const Snapshot& snapshot) {
  KeyList keys;
  keys.reserve(snapshot.size());
  for (const auto& [folded, key] : snapshot) keys.push_back({&folded, &key});
  return keys;
}

bool Lists(const KeyList& keys, const std::u16string& folded) {
  const auto at = std::lower_bound(keys.begin(), keys.end(), folded, [](const auto& entry, const auto& path) {
    return PathOrder()(*entry.first, path);
  });
  return at != keys.end() && !PathOrder()(folded, *at->first);
}

// `before` to `after` as .reg text (RegDiff's contract).
std::string ListDiff(const KeyList& before, const KeyList& after);

}  // namespace

bool RootHoldsKeys(HKEY root) { return root != HKEY_PERFORMANCE_DATA && root != HKEY_DYN_DATA; }

bool SplitKeyPath(const std::u16string& path, HKEY* root, std::u16string* below) {
  const std::size_t slash = path.find(u'\\');
  const std::u16string head = FoldCase(path.substr(0, slash));
  for (const RootKeyRow& row : RootKeyTable) {
    if (!RootHoldsKeys(row.key) || FoldCase(row.name) != head) continue;
    *root = row.key;
    *below = slash == std::u16string::npos ? u"" : path.substr(slash + 1);
    return true;
  }
  return false;
}

std::u16string JoinKeyPath(const std::u16string& parent, const std::u16string& below) {
  return parent.empty() ? below : below.empty() ? parent : parent + u"\\" + below;
}

// The grammar's root table holds the short forms first, the HKEY_ forms last.
const char16_t* LongRootName(HKEY root) { return RootName(std::rbegin(RootKeyTable), root); }
const char16_t* ShortRootName(HKEY root) { return RootName(std::begin(RootKeyTable), root); }

std::string RegDiff(const Snapshot& base, const Changes& before, const Changes& after) {
  // Only keys either state changed can differ: their diff is the whole diff (a deleted key's parent too).
  std::vector<const std::u16string*> paths;
  for (const Changes* c : {&before, &after}) {
    for (const auto& [folded, key] : c->changed) paths.push_back(&folded);
    for (const std::u16string& folded : c->deleted) paths.push_back(&folded);
  }
  const PathOrder less;
  std::sort(paths.begin(), paths.end(), [&less](const auto* a, const auto* b) { return less(*a, *b); });
  const auto same = [&less](const auto* a, const auto* b) { return !less(*a, *b) && !less(*b, *a); };
  paths.erase(std::unique(paths.begin(), paths.end(), same), paths.end());
  KeyList from, to;  // each key as `base` with the state applied holds it
  for (const std::u16string* path : paths) {
    for (auto [state, into] : {std::pair{&before, &from}, std::pair{&after, &to}}) {
      auto changed = state->changed.find(*path);
      auto kept = base.find(*path);
      if (changed != state->changed.end()) {
        into->push_back({&changed->first, &changed->second});
      } else if (kept != base.end() && !state->deleted.count(*path)) {
        into->push_back({&kept->first, &kept->second});
      }
    }
  }
  return ListDiff(from, to);
}

bool RegNameWritable(const std::u16string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if ((c < 0x20 && c != u'\t') || c == 0x7F || (c >= 0xDC00 && c <= 0xDFFF)) return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      ++i;
    }
  }
  return true;
}

std::string RegValueLine(const RegValue& value) {
  // A string with a control character or half a surrogate pair goes as hex(1):..., read as the same REG_SZ.
  const std::u16string text = TextUpToNul(value.data);
  if (value.type == REG_SZ && TextData(text) == value.data && RegNameWritable(text)) {
    return ValueName(value) + "=" + RegQuoted(text);
  }
  char number[16];
  if (value.type == REG_DWORD && value.data.size() == 4) {
    std::string digits = HexBytes({value.data.rbegin(), value.data.rend()});  // most significant first
    digits.erase(std::remove(digits.begin(), digits.end(), ','), digits.end());
    return ValueName(value) + "=dword:" + digits;
  }
  if (value.type == REG_BINARY) return ValueName(value) + "=hex:" + HexBytes(value.data);
  // The type is a hex number, as regedit writes it (hex(b) is a REG_QWORD).
  std::snprintf(number, sizeof number, "%lx", static_cast<unsigned long>(value.type));
  return ValueName(value) + "=hex(" + number + "):" + HexBytes(value.data);
}

namespace {

std::string ListDiff(const KeyList& before, const KeyList& after) {
  std::string out;
  const PathOrder less;
  // A deleted key whose parent went too is covered by the parent's line.
  auto parentDeleted = [&](const std::u16string& path) {
    const std::size_t slash = path.rfind(u'\\');
    return slash != std::u16string::npos && Lists(before, path.substr(0, slash)) &&
           !Lists(after, path.substr(0, slash));
  };
  auto a = before.begin(), b = after.begin();
  while (a != before.end() || b != after.end()) {
    if (b == after.end() || (a != before.end() && less(*a->first, *b->first))) {
      if (a->first->find(u'\\') == std::u16string::npos) {
        // A root is never deleted: it only lost its values, which kept it listed.
        out += "[" + Utf8(a->second->path) + "]\n";
        for (const auto& [name, value] : a->second->values) out += ValueName(value) + "=-\n";
      } else if (!parentDeleted(*a->first)) {
        out += "[-" + Utf8(a->second->path) + "]\n";
      }
      ++a;
      continue;
    }
    const bool isNew = a == before.end() || less(*b->first, *a->first);
    static const decltype(RegKey::values) kNone;
    const auto& was = isNew ? kNone : a->second->values;
    std::string lines;
    for (const auto& [name, value] : b->second->values) {
      auto old = was.find(name);
      if (old == was.end() || !(old->second == value)) lines += RegValueLine(value) + "\n";
    }
    for (const auto& [name, value] : was) {
      if (!b->second->values.count(name)) lines += ValueName(value) + "=-\n";
    }
    if (isNew || !lines.empty()) out += "[" + Utf8(b->second->path) + "]\n" + lines;
    if (!isNew) ++a;
    ++b;
  }
  out.shrink_to_fit();  // a run's changes are kept: no room to spare
  return out;
}

}  // namespace

std::string RegDiff(const Snapshot& before, const Snapshot& after) {
  return ListDiff(Listing(before), Listing(after));
}

std::u16string TextUpToNul(const std::vector<BYTE>& data) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < data.size() && (data[i] || data[i + 1]); i += 2) {
    text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  }
  return text;
}

std::vector<BYTE> TextData(const std::u16string& text) {
  std::vector<BYTE> data;
  data.reserve(2 * text.size() + 2);
  for (char16_t c : text) data.insert(data.end(), {static_cast<BYTE>(c & 0xFF), static_cast<BYTE>(c >> 8)});
  data.insert(data.end(), {0, 0});
  return data;
}

bool ParseRegFile(std::string bytes, Snapshot* snapshot, std::vector<std::string>* notes,
                  std::string* error) {
  // An export may be large: each form of it is let go once the next is made.
  std::u16string text = DecodeRegFile(bytes);
  std::string().swap(bytes);
  LogicalLines lines{text};
  Snapshot keys;  // as the registry would hold them
  bool headerSeen = false, ansi = false, skipKey = true, keySeen = false;
  std::u16string below, display, line;
  RegKey* current = nullptr;  // the key the value lines are for, once made
  int number = 0;
  auto note = [&](const std::string& what) {
    notes->push_back("line " + std::to_string(number) + ": " + what);
  };
  while (lines.Next(&number, &line)) {
    if (line.empty() || line[0] == u';') continue;
    if (!headerSeen) {
      ansi = line == u"REGEDIT4";
      if (!ansi && line != u"Windows Registry Editor Version 5.00") {
        *error =
            "not a registry export: the first line is neither \"Windows Registry Editor "
            "Version 5.00\" nor \"REGEDIT4\"";
        return false;
      }
      headerSeen = true;
      continue;
    }
    const std::size_t first = line.find_first_not_of(u" \t");
    std::string why;
    if (first != std::u16string::npos && first > 0 && line[first] == u'[') {
      // A key starts at the start of a line; this line is none.
      note("indented key line ignored (a key line starts with '['): " + Utf8(line.substr(first)));
    } else if (line[0] == u'[') {
      keySeen = true;
      current = nullptr;
      why = ReadKeyLine(line, &keys, &below, &display);
      skipKey = !why.empty();
      if (skipKey) note(why);
    } else if (!keySeen) {
      note("line before the first key ignored");
      keySeen = true;  // noted once: the rest up to the first key goes with it
    } else if (RegValue value; !skipKey && !(why = ReadValueLine(line, ansi, &value)).empty()) {
      note(why);
    } else if (!skipKey && (current || (current = AddKey(&keys, display, below, /*forValue=*/true, &why)))) {
      // A value already there keeps its first spelling, as the registry keeps it.
      auto [it, made] = current->values.try_emplace(FoldCase(value.name), std::move(value));
      if (!made) it->second = {it->second.name, value.type, std::move(value.data)};
    }
  }
  if (!headerSeen) *error = "not a registry export: the file is empty";
  if (headerSeen) *snapshot = std::move(keys);
  return headerSeen;
}

void CombineExports(EmulatorSession& session, std::vector<RegistryExport>* exports) {
  // Where the classes come from: HKEY_CLASSES_ROOT, the machine's, the user's.
  static const std::u16string kClasses[] = {u"hkey_classes_root\\",
                                            u"hkey_local_machine\\software\\classes\\",
                                            u"hkey_current_user\\software\\classes\\"};
  Snapshot machine, user, elsewhere;
  for (RegistryExport& e : *exports) {
    int* counts[] = {&e.classesRoot, &e.machineClasses, &e.userClasses, &e.elsewhere};
    // Each key is let go once merged, so the export is held only once.
    for (auto it = e.keys.begin(); it != e.keys.end(); it = e.keys.erase(it)) {
      const RegKey& key = it->second;
      const std::u16string folded = FoldCase(key.path) + u"\\";
      std::size_t feed = 0;  // which of kClasses, or 3: elsewhere
      while (feed < 3 && folded.compare(0, kClasses[feed].size(), kClasses[feed]) != 0) ++feed;
      const std::u16string below =
          feed < 3 ? key.path.substr(std::min(kClasses[feed].size(), key.path.size())) : u"";
      // A classes key itself (the root) and one on the way to it (HKLM\Software) count only with values.
      const bool above = std::any_of(std::begin(kClasses), std::end(kClasses),
                                     [&](const std::u16string& top) { return top.rfind(folded, 0) == 0; });
      if ((feed < 3 || above) && below.empty() && key.values.empty()) continue;
      ++*counts[feed];
      if (feed < 3) Merge(feed == 2 ? &user : &machine, JoinKeyPath(u"HKEY_CLASSES_ROOT", below), key);
      if (feed >= 2) Merge(&elsewhere, key.path, key);
    }
  }
  // The user's keys over the machine's: a key both have shows the user's values.
  for (auto it = user.begin(); it != user.end(); it = user.erase(it))
    machine[it->first] = std::move(it->second);
  // Into the session's registry, each key let go once it is there.
  for (Snapshot* part : {&elsewhere, &machine}) {
    for (auto it = part->begin(); it != part->end(); it = part->erase(it)) session.Restore(it->second);
  }
}

}  // namespace check
