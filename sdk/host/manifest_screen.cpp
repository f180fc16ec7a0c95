// The bounded manifest screen: one forward pass over the text, an explicit
// stack of open elements no deeper than the limit, no recursion.
#include "manifest_screen.h"

#include <algorithm>

namespace stub {
namespace host {
namespace detail {
namespace {

void AppendUtf8(unsigned long code, std::string& out) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// The text as UTF-8: UTF-16 after its byte order mark is converted (a lone
// surrogate becomes U+FFFD), a UTF-8 byte order mark dropped.
std::string Decode(const std::string& bytes) {
  const bool le = bytes.compare(0, 2, "\xFF\xFE") == 0, be = bytes.compare(0, 2, "\xFE\xFF") == 0;
  if (!le && !be) return bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? bytes.substr(3) : bytes;
  std::string text;
  text.reserve(bytes.size());
  unsigned long pending = 0;  // a high surrogate waiting for its pair
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    const unsigned long a = static_cast<unsigned char>(bytes[i]);
    const unsigned long b = static_cast<unsigned char>(bytes[i + 1]);
    const unsigned long unit = le ? (a | b << 8) : (b | a << 8);
    if (pending && unit >= 0xDC00 && unit <= 0xDFFF) {
      AppendUtf8(0x10000 + ((pending - 0xD800) << 10) + (unit - 0xDC00), text);
      pending = 0;
      continue;
    }
    if (pending) AppendUtf8(0xFFFD, text);
    pending = 0;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      pending = unit;
    } else {
      AppendUtf8(unit >= 0xDC00 && unit <= 0xDFFF ? 0xFFFD : unit, text);
    }
  }
  if (pending) AppendUtf8(0xFFFD, text);
  return text;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsNameChar(char c) {
  return !IsBlank(c) && c != '<' && c != '>' && c != '/' && c != '=' && c != '"' && c != '\'' && c != '&' &&
         c != '?' && c != '!';
}
// Equal but for ASCII case, as file names and identifiers are compared.
bool SameText(const std::string& a, const std::string& b) {
  const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return fold(x) == fold(y); });
}
bool IsHex(char c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }

// The five predefined entities and numeric references; anything else stays as written.
std::string Unescape(const std::string& text, std::size_t from, std::size_t to) {
  std::string plain;
  plain.reserve(to - from);
  for (std::size_t i = from; i < to; ++i) {
    // A reference is short: look for its ';' a few characters ahead only.
    std::size_t end = std::string::npos;
    for (std::size_t k = i + 1; text[i] == '&' && k < to && k - i <= 10; ++k) {
      if (text[k] == ';') {
        end = k;
        break;
      }
    }
    if (end == std::string::npos) {
      plain += text[i];
      continue;
    }
    const std::string name = text.substr(i + 1, end - i - 1);
    unsigned long code = 0;
    if (name == "amp")
      code = '&';
    else if (name == "lt")
      code = '<';
    else if (name == "gt")
      code = '>';
    else if (name == "quot")
      code = '"';
    else if (name == "apos")
      code = '\'';
    else if (name.size() > 1 && name[0] == '#') {
      const bool hex = name[1] == 'x' || name[1] == 'X';
      bool digits = name.size() > (hex ? 2u : 1u);
      for (std::size_t k = hex ? 2 : 1; k < name.size() && digits; ++k) {
        const char d = name[k];
        if (hex ? !IsHex(d) : !(d >= '0' && d <= '9'))
          digits = false;
        else
          code =
              code * (hex ? 16 : 10) + static_cast<unsigned long>(d <= '9' ? d - '0' : (d | 0x20) - 'a' + 10);
        if (code > 0x10FFFF) digits = false;
      }
      if (!digits || (code >= 0xD800 && code <= 0xDFFF)) code = 0;
    }
    if (code == 0) {
      plain += text[i];
      continue;
    }
    AppendUtf8(code, plain);
    i = end;
  }
  return plain;
}

struct Attribute {
  std::size_t name, nameLength, value, valueLength;
};

// One start tag's name and attributes, as positions in the text.
struct StartTag {
  std::size_t name = 0, nameLength = 0;
  bool selfClosing = false;
  std::vector<Attribute> attributes;
};

class Screen {
 public:
  explicit Screen(std::string text) : t_(std::move(text)) {}

  ManifestScreen Run() {
    while (result_.fault == ManifestFault::None && i_ < t_.size()) Step();
    if (result_.fault == ManifestFault::None && (!rootSeen_ || !open_.empty())) Fault(ManifestFault::NotXml);
    return std::move(result_);
  }

 private:
  bool Fault(ManifestFault fault) {
    if (result_.fault == ManifestFault::None) {
      result_.fault = fault;
      result_.at = i_;
    }
    return false;
  }
  bool At(const char* literal) const {
    return t_.compare(i_, std::char_traits<char>::length(literal), literal) == 0;
  }
  // Moves past the next `end`; a fault when there is none.
  bool SkipPast(const char* end) {
    const std::size_t at = t_.find(end, i_);
    if (at == std::string::npos) return Fault(ManifestFault::NotXml);
    i_ = at + std::char_traits<char>::length(end);
    return true;
  }
  std::size_t NameEnd(std::size_t from) const {
    while (from < t_.size() && IsNameChar(t_[from])) ++from;
    return from;
  }
  // A name less its namespace prefix.
  std::string LocalName(std::size_t at, std::size_t length) const {
    std::size_t start = at;
    for (std::size_t k = at; k < at + length; ++k) {
      if (t_[k] == ':') start = k + 1;
    }
    return t_.substr(start, at + length - start);
  }

  void Step() {
    if (t_[i_] != '<') {
      // Character data: only blanks outside the root element.
      const std::size_t next = t_.find('<', i_);
      const std::size_t end = next == std::string::npos ? t_.size() : next;
      if (open_.empty()) {
        for (; i_ < end; ++i_) {
          if (!IsBlank(t_[i_])) {
            Fault(ManifestFault::NotXml);
            return;
          }
        }
      }
      i_ = end;
    } else if (At("<!--")) {
      i_ += 4;
      SkipPast("-->");
    } else if (At("<![CDATA[")) {
      Fault(open_.empty() ? ManifestFault::NotXml : ManifestFault::Markup);
    } else if (At("<!")) {
      Fault(ManifestFault::DocumentType);
    } else if (At("<?")) {
      const std::size_t nameEnd = NameEnd(i_ + 2);
      // The XML declaration stands at the very start; the system refuses
      // any other processing instruction, before the root or inside it.
      if (t_.compare(i_ + 2, nameEnd - i_ - 2, "xml") == 0) {
        if (i_ != 0) Fault(ManifestFault::SecondDeclaration);
        if (i_ == 0) SkipPast("?>");
        return;
      }
      Fault(ManifestFault::Markup);
    } else if (At("</")) {
      EndTag();
    } else {
      Element();
    }
  }

  void EndTag() {
    const std::size_t name = i_ + 2, nameEnd = NameEnd(name);
    i_ = nameEnd;
    while (i_ < t_.size() && IsBlank(t_[i_])) ++i_;
    if (i_ >= t_.size() || t_[i_] != '>' || open_.empty() ||
        t_.compare(open_.back().first, open_.back().second, t_, name, nameEnd - name) != 0 ||
        open_.back().second != nameEnd - name) {
      Fault(ManifestFault::NotXml);
      return;
    }
    ++i_;
    open_.pop_back();
    if (open_.size() < fileDepth_) {
      file_.clear();
      fileDepth_ = 0;
    }
    if (open_.size() < classDepth_) classDepth_ = 0;
  }

  bool ReadStartTag(StartTag& tag) {
    tag.name = i_ + 1;
    i_ = NameEnd(tag.name);
    tag.nameLength = i_ - tag.name;
    if (tag.nameLength == 0) return Fault(ManifestFault::NotXml);
    for (;;) {
      const std::size_t before = i_;
      while (i_ < t_.size() && IsBlank(t_[i_])) ++i_;
      if (i_ >= t_.size()) return Fault(ManifestFault::NotXml);
      if (t_[i_] == '>' || At("/>")) break;
      Attribute a = {};
      a.name = i_;
      i_ = NameEnd(i_);
      a.nameLength = i_ - a.name;
      if (i_ == before || a.nameLength == 0) return Fault(ManifestFault::NotXml);
      while (i_ < t_.size() && IsBlank(t_[i_])) ++i_;
      if (i_ >= t_.size() || t_[i_] != '=') return Fault(ManifestFault::NotXml);
      ++i_;
      while (i_ < t_.size() && IsBlank(t_[i_])) ++i_;
      if (i_ >= t_.size() || (t_[i_] != '"' && t_[i_] != '\'')) return Fault(ManifestFault::NotXml);
      const std::size_t close = t_.find(t_[i_], i_ + 1);
      if (close == std::string::npos) return Fault(ManifestFault::NotXml);
      a.value = i_ + 1;
      a.valueLength = close - a.value;
      if (std::find(t_.begin() + static_cast<std::ptrdiff_t>(a.value),
                    t_.begin() + static_cast<std::ptrdiff_t>(close),
                    '<') != t_.begin() + static_cast<std::ptrdiff_t>(close)) {
        return Fault(ManifestFault::NotXml);
      }
      i_ = close + 1;
      tag.attributes.push_back(a);
    }
    tag.selfClosing = t_[i_] == '/';
    i_ += tag.selfClosing ? 2 : 1;
    return true;
  }

  // The value of the attribute whose local name is `wanted`; false where there is none.
  bool Value(const StartTag& tag, const char* wanted, std::string& value) const {
    for (const Attribute& a : tag.attributes) {
      if (LocalName(a.name, a.nameLength) == wanted) {
        value = Unescape(t_, a.value, a.value + a.valueLength);
        return true;
      }
    }
    return false;
  }

  // The value as written, references and all: how the system reads a clsid.
  bool RawValue(const StartTag& tag, const char* wanted, std::string& value) const {
    for (const Attribute& a : tag.attributes) {
      if (LocalName(a.name, a.nameLength) == wanted) {
        value = t_.substr(a.value, a.valueLength);
        return true;
      }
    }
    return false;
  }

  bool NoDuplicates(const StartTag& tag) {
    std::vector<std::string> names;
    names.reserve(tag.attributes.size());
    for (const Attribute& a : tag.attributes) names.push_back(t_.substr(a.name, a.nameLength));
    std::sort(names.begin(), names.end());
    if (std::adjacent_find(names.begin(), names.end()) != names.end()) {
      return Fault(ManifestFault::DuplicateAttribute);
    }
    return true;
  }

  void Element() {
    const std::size_t start = i_;
    StartTag tag;
    if (!ReadStartTag(tag)) return;
    const std::size_t end = i_;
    i_ = start;
    if (rootSeen_ && open_.empty()) {
      Fault(ManifestFault::NotXml);
      return;
    }
    if (open_.size() + 1 > kManifestDepthLimit) {
      Fault(ManifestFault::TooDeep);
      return;
    }
    if (!NoDuplicates(tag)) return;
    const std::string local = LocalName(tag.name, tag.nameLength);
    if (!rootSeen_ && local != "assembly") {
      Fault(ManifestFault::NotAssembly);
      return;
    }
    rootSeen_ = true;
    if (!Screened(tag, local)) return;
    i_ = end;
    if (!tag.selfClosing) ProgIdElement(local, end);
    if (!tag.selfClosing) open_.emplace_back(tag.name, tag.nameLength);
  }

  // The rules of the elements a manifest's meaning rests on; collects the classes.
  bool Screened(const StartTag& tag, const std::string& local) {
    std::string value;
    if (local == "assemblyIdentity") {
      if (Value(tag, "version", value) && !IsAssemblyVersion(value)) return Fault(ManifestFault::BadVersion);
      // The assembly's own identity (not a dependency's) is the one it is known by.
      if (open_.size() == 1) {
        for (const char* required : {"type", "name", "version"}) {
          if (!Value(tag, required, value)) return Fault(ManifestFault::MissingIdentity);
        }
      }
    } else if (local == "file") {
      file_.clear();
      fileDepth_ = 0;
      if (!tag.selfClosing) {
        Value(tag, "name", file_);
        fileDepth_ = open_.size() + 1;
      }
    } else if (local == "comClass") {
      ScreenedClass entry;
      if (!RawValue(tag, "clsid", entry.clsid) || !IsBracedClassId(entry.clsid)) {
        return Fault(ManifestFault::NoClassId);
      }
      entry.file = file_;
      for (const ScreenedClass& earlier : result_.classes) {
        if (SameText(earlier.clsid, entry.clsid) && !SameText(earlier.file, entry.file)) {
          return Fault(ManifestFault::ClassInTwoFiles);
        }
      }
      Value(tag, "progid", entry.progId);
      Value(tag, "threadingModel", entry.threadingModel);
      Value(tag, "description", entry.description);
      result_.classes.push_back(std::move(entry));
      classDepth_ = tag.selfClosing ? 0 : open_.size() + 1;
    }
    return true;
  }

  // A progid element directly inside an open comClass names the class's
  // version-independent ProgID (the one a version-independent CreateObject
  // resolves through the manifest): its text up to the next markup, trimmed.
  void ProgIdElement(const std::string& local, std::size_t contentStart) {
    if (local != "progid" || classDepth_ == 0 || open_.size() != classDepth_) return;
    std::string& named = result_.classes.back().versionIndependentProgId;
    if (!named.empty()) return;
    std::size_t from = contentStart, to = std::min(t_.find('<', from), t_.size());
    while (from < to && IsBlank(t_[from])) ++from;
    while (to > from && IsBlank(t_[to - 1])) --to;
    named = Unescape(t_, from, to);
  }

  const std::string t_;
  std::size_t i_ = 0;
  bool rootSeen_ = false;
  std::vector<std::pair<std::size_t, std::size_t>> open_;  // the open elements' names
  std::string file_;                                       // the name of the file element the reader is in
  std::size_t fileDepth_ = 0;                              // its depth (1 for the root), 0 outside any
  std::size_t classDepth_ = 0;  // the depth of the open comClass (the last class read), 0 outside any
  ManifestScreen result_;
};

}  // namespace

bool IsAssemblyVersion(const std::string& text) {
  int parts = 0;
  std::size_t i = 0;
  for (;;) {
    unsigned long value = 0;
    const std::size_t start = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 6) {
      value = value * 10 + static_cast<unsigned long>(text[i++] - '0');
    }
    if (i == start || value > 65535) return false;
    ++parts;
    if (i == text.size()) return parts == 4;
    if (text[i] != '.' || parts == 4) return false;
    ++i;
  }
}

bool IsBracedClassId(const std::string& text) {
  std::size_t first = 0, last = text.size();
  while (first < last && IsBlank(text[first])) ++first;
  while (last > first && IsBlank(text[last - 1])) --last;
  if (last - first != 38 || text[first] != '{' || text[last - 1] != '}') return false;
  for (std::size_t k = 1; k < 37; ++k) {
    const char c = text[first + k];
    const bool dash = k == 9 || k == 14 || k == 19 || k == 24;
    if (dash ? c != '-' : !IsHex(c)) return false;
  }
  return true;
}

const ScreenedClass* FindClass(const ManifestScreen& screen, const std::string& moduleFile,
                               const std::string& clsid) {
  for (const ScreenedClass& entry : screen.classes) {
    if (SameText(entry.file, moduleFile) && SameText(entry.clsid, clsid)) return &entry;
  }
  return nullptr;
}

ManifestScreen ScreenManifest(const std::string& bytes) {
  if (bytes.size() > kManifestSizeLimit) {
    ManifestScreen refused;
    refused.fault = ManifestFault::TooLarge;
    return refused;
  }
  return Screen(Decode(bytes)).Run();
}

}  // namespace detail
}  // namespace host
}  // namespace stub
