// check --manifest: an assembly manifest held against its package. The
// manifest is read as XML (well-formed, with its namespaces), then its
// identity, file and classes are compared with the module file and with what
// the scripts register, each difference a finding at its line and column.
#include <algorithm>
#include <filesystem>
#include <map>
#include <unordered_set>
#include <utility>

#include "manifest/manifest.h"
#include "scripts/script_reading.h"
#include "io/files.h"
#include "package/package_classes.h"
#include "io/checked_files.h"
#include "text/text.h"

namespace check {

namespace {

constexpr char kAssemblyNamespace[] = "urn:schemas-microsoft-com:asm.v1";
constexpr int kDepthLimit = 64;  // far deeper than any manifest; bounds the reader's recursion

struct XmlAttribute {
  std::string name;  // as written, prefix included
  std::string value;
};

struct XmlElement {
  std::string ns, local;  // namespace and local name
  std::vector<XmlAttribute> attributes;
  std::vector<XmlElement> children;
  std::string text;  // the character data directly inside
  std::size_t at = 0;

  const std::string* Attribute(const std::string& name) const {
    for (const XmlAttribute& a : attributes) {
      if (a.name == name) return &a.value;
    }
    return nullptr;
  }
  std::vector<const XmlElement*> Children(const std::string& name) const {
    std::vector<const XmlElement*> out;
    for (const XmlElement& c : children) {
      if (c.ns == kAssemblyNamespace && c.local == name) out.push_back(&c);
    }
    return out;
  }
};

// A well-formed XML document, or the first place it is not, in UTF-8 text.
class XmlReader {
 public:
  explicit XmlReader(const std::string& text) : b_(text) {}

  bool Read(XmlElement* root) {
    if (b_.compare(0, 3, "\xEF\xBB\xBF") == 0) i_ = 3;
    if (b_.compare(i_, 5, "<?xml") == 0 && i_ + 5 < b_.size() && IsSpace(b_[i_ + 5])) {
      if (!SkipPast("?>", "the XML declaration is not closed with ?>")) return false;
    }
    if (!Misc()) return false;
    if (i_ >= b_.size() || b_[i_] != '<') return Fail(i_ >= b_.size() ? "there is no element" : "text before the first element");
    Scope scope;
    if (!Element(root, &scope, 0)) return false;
    if (!Misc()) return false;
    if (i_ < b_.size()) return Fail("more after the root element ends");
    return true;
  }

  const std::string& error() const { return error_; }
  std::size_t errorAt() const { return errorAt_; }

 private:
  // The namespace declarations in force: each prefix's declarations, innermost
  // last. An element adds its own and takes them away when it ends, so that a
  // child costs nothing for the declarations above it.
  using Scope = std::map<std::string, std::vector<std::string>>;
  class Declarations {
   public:
    explicit Declarations(Scope* scope) : scope_(scope) {}
    Declarations(const Declarations&) = delete;
    Declarations& operator=(const Declarations&) = delete;
    ~Declarations() {
      for (const std::string& prefix : declared_) (*scope_)[prefix].pop_back();
    }
    void Declare(const std::string& prefix, const std::string& ns) {
      (*scope_)[prefix].push_back(ns);
      declared_.push_back(prefix);
    }

   private:
    Scope* scope_;
    std::vector<std::string> declared_;
  };

  static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
  static bool NameChar(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u >= 0x80 || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '_' || c == ':' || c == '-' || c == '.';
  }

  bool Fail(const std::string& what) {
    if (error_.empty()) {
      error_ = what;
      errorAt_ = i_ < b_.size() ? i_ : b_.size();
    }
    return false;
  }

  void Spaces() {
    while (i_ < b_.size() && IsSpace(b_[i_])) ++i_;
  }

  // A character XML text may hold, appended to `out`.
  bool Char(std::string* out) {
    const std::size_t n = Utf8Sequence(b_, i_);
    if (n == 0) return Fail("bytes that are not UTF-8 (save the manifest as UTF-8)");
    const unsigned char u = static_cast<unsigned char>(b_[i_]);
    if (n == 1 && u < 0x20 && !IsSpace(b_[i_])) return Fail("a control character, which XML cannot hold");
    if (out) out->append(b_, i_, n);
    i_ += n;
    return true;
  }

  // A processing instruction. One named xml is an XML declaration, which
  // stands only at the very start of a document.
  bool Instruction() {
    const bool xml = i_ + 5 < b_.size() && (b_[i_ + 2] | 0x20) == 'x' && (b_[i_ + 3] | 0x20) == 'm' &&
                     (b_[i_ + 4] | 0x20) == 'l' && (IsSpace(b_[i_ + 5]) || b_[i_ + 5] == '?');
    if (xml) return Fail("an XML declaration after the start (<?xml ...?> stands only at the very start, once)");
    return SkipPast("?>", "a processing instruction is not closed with ?>");
  }

  bool SkipPast(const char* end, const char* unclosed) {
    const std::size_t at = b_.find(end, i_);
    if (at == std::string::npos) return Fail(unclosed);
    while (i_ < at) {
      if (!Char(nullptr)) return false;
    }
    i_ = at + std::char_traits<char>::length(end);
    return true;
  }

  bool Comment() {
    i_ += 4;
    const std::size_t at = b_.find("--", i_);
    if (at == std::string::npos) return Fail("a comment is not closed with -->");
    while (i_ < at) {
      if (!Char(nullptr)) return false;
    }
    if (b_.compare(at, 3, "-->") != 0) return Fail("\"--\" inside a comment");
    i_ = at + 3;
    return true;
  }

  // Comments, processing instructions and blanks outside the root element.
  bool Misc() {
    for (;;) {
      Spaces();
      if (b_.compare(i_, 4, "<!--") == 0) {
        if (!Comment()) return false;
      } else if (b_.compare(i_, 2, "<?") == 0) {
        if (!Instruction()) return false;
      } else if (b_.compare(i_, 2, "<!") == 0) {
        return Fail("a document type declaration, which a manifest does not hold");
      } else {
        return true;
      }
    }
  }

  bool Name(std::string* name) {
    const std::size_t start = i_;
    while (i_ < b_.size() && NameChar(b_[i_])) ++i_;
    if (i_ == start || b_[start] == '-' || b_[start] == '.' || (b_[start] >= '0' && b_[start] <= '9')) {
      i_ = start;
      return Fail("a name was expected");
    }
    name->assign(b_, start, i_ - start);
    return true;
  }

  // &amp; and the like, and character references.
  bool Reference(std::string* out) {
    const std::size_t end = b_.find(';', i_);
    if (end == std::string::npos || end - i_ > 12) return Fail("'&' that starts no reference (write &amp;)");
    const std::string name = b_.substr(i_ + 1, end - i_ - 1);
    static const std::map<std::string, const char*> kNamed = {
        {"lt", "<"}, {"gt", ">"}, {"amp", "&"}, {"quot", "\""}, {"apos", "'"}};
    auto named = kNamed.find(name);
    if (named != kNamed.end()) {
      *out += named->second;
    } else if (name.size() > 1 && name[0] == '#') {
      const bool hex = name[1] == 'x';
      const std::string digits = name.substr(hex ? 2 : 1);
      unsigned long code = 0;
      bool ok = !digits.empty();
      for (char c : digits) {
        const int d = c >= '0' && c <= '9' ? c - '0'
                      : hex && (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10 : -1;
        if (d < 0 || code > 0x10FFFF) ok = false;
        if (d >= 0) code = code * (hex ? 16 : 10) + static_cast<unsigned long>(d);
      }
      ok = ok && code <= 0x10FFFF && (code >= 0x20 || code == 9 || code == 10 || code == 13) &&
           !(code >= 0xD800 && code <= 0xDFFF) && code != 0xFFFE && code != 0xFFFF;
      if (!ok) return Fail("&" + name + "; is no character XML can hold");
      std::u16string unit;
      if (code >= 0x10000) {
        unit += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
        unit += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
      } else {
        unit += static_cast<char16_t>(code);
      }
      *out += Utf8(unit);
    } else {
      return Fail("the entity &" + name + "; is not one XML defines (write &amp; for '&')");
    }
    i_ = end + 1;
    return true;
  }

  bool Resolve(const std::string& qualified, const Scope& scope, std::string* ns, std::string* local) {
    const std::size_t colon = qualified.find(':');
    const std::string prefix = colon == std::string::npos ? "" : qualified.substr(0, colon);
    *local = colon == std::string::npos ? qualified : qualified.substr(colon + 1);
    auto it = scope.find(prefix);
    if (it == scope.end() || it->second.empty()) {
      if (!prefix.empty()) return Fail("the namespace prefix '" + prefix + "' is not declared");
      ns->clear();
    } else {
      *ns = it->second.back();
    }
    return true;
  }

  // An attribute, name="value", its value with references resolved and
  // blanks read as XML reads them.
  bool Attribute(XmlAttribute* a) {
    if (!Name(&a->name)) return false;
    Spaces();
    if (i_ >= b_.size() || b_[i_] != '=') return Fail("'=' was expected after " + a->name);
    ++i_;
    Spaces();
    if (i_ >= b_.size() || (b_[i_] != '"' && b_[i_] != '\'')) return Fail("a quoted value was expected for " + a->name);
    const char quote = b_[i_++];
    while (i_ < b_.size() && b_[i_] != quote) {
      if (b_[i_] == '<') return Fail("'<' in the value of " + a->name + " (write &lt;)");
      if (b_[i_] == '&') {
        if (!Reference(&a->value)) return false;
      } else if (IsSpace(b_[i_])) {
        a->value += ' ';  // as XML reads a blank in an attribute
        ++i_;
      } else if (!Char(&a->value)) {
        return false;
      }
    }
    if (i_ >= b_.size()) return Fail("the value of " + a->name + " is not closed");
    ++i_;
    return true;
  }

  bool Element(XmlElement* e, Scope* scope, int depth) {
    if (depth > kDepthLimit) return Fail("elements nested more than " + std::to_string(kDepthLimit) + " deep");
    e->at = i_;
    ++i_;  // '<'
    std::string qualified;
    if (!Name(&qualified)) return false;
    Declarations declarations(scope);
    std::unordered_set<std::string> names;  // the attributes so far, to find one given twice
    for (;;) {
      const std::size_t before = i_;
      Spaces();
      if (i_ >= b_.size()) return Fail("the element <" + qualified + "> is not closed");
      if (b_[i_] == '>' || b_.compare(i_, 2, "/>") == 0) break;
      if (i_ == before) return Fail("a blank was expected before an attribute");
      XmlAttribute a;
      if (!Attribute(&a)) return false;
      if (!names.insert(a.name).second) return Fail("the attribute " + a.name + " is given twice");
      if (a.name == "xmlns") declarations.Declare("", a.value);
      if (a.name.compare(0, 6, "xmlns:") == 0) declarations.Declare(a.name.substr(6), a.value);
      e->attributes.push_back(std::move(a));
    }
    const std::size_t end = i_;
    i_ = e->at + 1;
    if (!Resolve(qualified, *scope, &e->ns, &e->local)) return false;
    i_ = end;
    if (b_[i_] == '/') {
      i_ += 2;
      return true;
    }
    ++i_;
    for (;;) {
      if (i_ >= b_.size()) return Fail("the element <" + qualified + "> is not closed with </" + qualified + ">");
      if (b_.compare(i_, 2, "</") == 0) {
        i_ += 2;
        std::string closing;
        if (!Name(&closing)) return false;
        if (closing != qualified) {
          i_ -= closing.size();
          return Fail("</" + closing + "> closes <" + qualified + ">");
        }
        Spaces();
        if (i_ >= b_.size() || b_[i_] != '>') return Fail("'>' was expected after </" + closing);
        ++i_;
        return true;
      }
      if (b_.compare(i_, 4, "<!--") == 0) {
        if (!Comment()) return false;
      } else if (b_.compare(i_, 9, "<![CDATA[") == 0) {
        i_ += 9;
        const std::size_t at = b_.find("]]>", i_);
        if (at == std::string::npos) return Fail("a CDATA section is not closed with ]]>");
        while (i_ < at) {
          if (!Char(&e->text)) return false;
        }
        i_ = at + 3;
      } else if (b_.compare(i_, 2, "<?") == 0) {
        if (!Instruction()) return false;
      } else if (b_[i_] == '<') {
        e->children.emplace_back();
        if (!Element(&e->children.back(), scope, depth + 1)) return false;
      } else if (b_[i_] == '&') {
        if (!Reference(&e->text)) return false;
      } else if (!Char(&e->text)) {
        return false;
      }
    }
  }

  const std::string& b_;
  std::size_t i_ = 0;
  std::string error_;
  std::size_t errorAt_ = 0;
};

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// A braced class identifier, {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, upper case; empty when it is none.
std::string ClassIdentifier(const std::string& text) {
  const std::string t = Upper(Trimmed(text));
  if (t.size() != 38 || t[0] != '{' || t[37] != '}') return "";
  for (std::size_t i = 1; i < 37; ++i) {
    const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    const bool hex = (t[i] >= '0' && t[i] <= '9') || (t[i] >= 'A' && t[i] <= 'F');
    if (dash ? t[i] != '-' : !hex) return "";
  }
  return t;
}

constexpr char kExportRemedy[] = "stub-check export --format manifest MODULE writes a manifest that matches";

class ManifestFindings {
 public:
  ManifestFindings(const std::string& file, const std::string& text, std::vector<Finding>* findings)
      : file_(file), text_(text), findings_(findings) {}
  // Findings of a kind a manifest may hold without end (one per element):
  // the first kWarningsPerCode are listed, the last of them saying how many
  // more there are.
  ~ManifestFindings() {
    for (const auto& [kind, seen] : kinds_) {
      if (seen.count <= kWarningsPerCode) continue;
      (*findings_)[seen.last].notes.push_back(std::to_string(seen.count - kWarningsPerCode) +
                                              " more like it in this manifest, not listed");
    }
  }
  void AddOfKind(const std::string& kind, const char* code, std::size_t at, const std::string& message,
                 const std::string& remedy) {
    Kind& seen = kinds_[kind];
    if (++seen.count > kWarningsPerCode) return;
    seen.last = findings_->size();
    Add(code, at, message, remedy);
  }
  void Add(const char* code, std::size_t at, const std::string& message, const std::string& remedy,
           Severity severity = Severity::kError) {
    // Findings mostly come in the order of the text: each place is counted on
    // from the last one, so that many findings cost one pass over the text.
    const bool onward = at >= lastAt_;
    const Place p = PlaceOf(text_, at, onward ? lastAt_ : 0, onward ? last_ : Place{1, 1});
    lastAt_ = std::min(at, text_.size());
    last_ = p;
    findings_->push_back({severity, code, file_, p.line, p.column, message, remedy});
  }

 private:
  struct Kind {
    int count = 0;
    std::size_t last = 0;
  };
  std::map<std::string, Kind> kinds_;
  std::size_t lastAt_ = 0;
  Place last_{1, 1};
  const std::string& file_;
  const std::string& text_;
  std::vector<Finding>* findings_;
};

// The class entries of one package class against the manifest's comClass elements for it.
void CheckClass(const ManifestClass& want, const std::string& script, const XmlElement& comClass,
                ManifestFindings* out) {
  const std::string id = GuidString(want.clsid);
  // ProgIDs: the progid attribute and each progid element, against the class key's two.
  std::vector<std::pair<std::string, std::size_t>> named;
  if (const std::string* p = comClass.Attribute("progid")) named.push_back({Trimmed(*p), comClass.at});
  for (const XmlElement* p : comClass.Children("progid")) named.push_back({Trimmed(p->text), p->at});
  std::vector<std::string> registered;
  for (const std::string* p : {&want.progId, &want.versionIndependentProgId}) {
    if (!p->empty()) registered.push_back(*p);
  }
  const std::string registeredText =
      registered.empty() ? std::string("registers no ProgID for it")
                         : "registers " + Quoted(registered[0]) + (registered.size() > 1 ? " and " + Quoted(registered[1]) : "");
  for (const auto& [progId, at] : named) {
    bool known = false;
    for (const std::string& r : registered) known = known || Lower(r) == Lower(progId);
    if (!known) {
      out->Add("manifest-progid", at,
               "the class " + id + " is given the ProgID " + Quoted(progId) + ", but " + script + " " +
                   registeredText + ": through the manifest the name creates the class, registered it does not",
               "name the ProgIDs " + script + " registers (the progid attribute and a progid element), or none; " +
                   kExportRemedy);
    }
  }
  for (const std::string& r : registered) {
    bool there = false;
    for (const auto& n : named) there = there || Lower(n.first) == Lower(r);
    if (!there) {
      out->Add("manifest-progid", comClass.at,
               "the class " + id + " is not given the ProgID " + Quoted(r) + ", which " + script +
                   " registers: through the manifest, creating the class by that name fails (CO_E_CLASSSTRING)",
               "add it: progid=\"" + r + "\" on the comClass, or <progid>" + r + "</progid> inside it; " +
                   kExportRemedy);
    }
  }
  // The threading model: without one, the class lives in the process's main apartment.
  const std::string* model = comClass.Attribute("threadingModel");
  const std::string written = model ? Trimmed(*model) : "";
  if (Lower(written) != Lower(want.threadingModel)) {
    const std::string says = written.empty() ? "names no threading model (the main apartment)"
                                             : "names the threading model " + Quoted(written);
    const std::string wants = want.threadingModel.empty() ? "registers none"
                                                          : "registers " + Quoted(want.threadingModel);
    out->Add("manifest-threading", comClass.at,
             "the class " + id + " " + says + ", but " + script + " " + wants +
                 ": through the manifest, COM chooses the apartment of its objects by another model than the package declares",
             want.threadingModel.empty() ? "leave threadingModel out, as " + script + " does; " + kExportRemedy
                                         : "write threadingModel=\"" + want.threadingModel + "\", as " + script +
                                               " registers; " + kExportRemedy);
  }
}

// An assembly version as Windows reads one: four decimal parts, each 0 to 65535.
bool ValidVersion(const std::string& version) {
  int parts = 0;
  for (std::size_t start = 0; start <= version.size(); ++parts) {
    std::size_t end = version.find('.', start);
    if (end == std::string::npos) end = version.size();
    if (end == start || end - start > 5) return false;
    unsigned long value = 0;
    for (std::size_t i = start; i < end; ++i) {
      if (version[i] < '0' || version[i] > '9') return false;
      value = value * 10 + static_cast<unsigned long>(version[i] - '0');
    }
    if (value > 65535) return false;
    start = end + 1;
  }
  return parts == 4;
}

void CheckVersion(const std::string& version, const XmlElement& identity, ManifestFindings* out) {
  if (ValidVersion(version)) return;
  out->Add("manifest-version", identity.at,
           "the version " + Quoted(version) + " is not four numbers from 0 to 65535 (1.2.3.4): Windows "
           "refuses the whole manifest, and the application does not start",
           "write the module's file version, four parts; " + std::string(kExportRemedy));
}

// Each assembly the manifest depends on: its version, and for a private
// assembly (one without a publicKeyToken, which Windows looks for beside the
// application, not among the system's shared assemblies) whether the package
// ships it beside the manifest, as NAME.dll or NAME.manifest or the same in a
// folder NAME.
void CheckDependencies(const std::string& file, const XmlElement& root, ManifestFindings* out) {
  const std::filesystem::path folder = io::PathOf(file).parent_path();
  for (const XmlElement* dependency : root.Children("dependency")) {
    for (const XmlElement* dependent : dependency->Children("dependentAssembly")) {
      for (const XmlElement* identity : dependent->Children("assemblyIdentity")) {
        if (const std::string* version = identity->Attribute("version")) CheckVersion(*version, *identity, out);
        const std::string* name = identity->Attribute("name");
        if (!name || identity->Attribute("publicKeyToken")) continue;
        bool shipped = false;
        std::error_code error;
        for (const std::filesystem::path& beside : {folder, folder / io::PathOf(*name)}) {
          for (const char* extension : {".dll", ".manifest"}) {
            shipped = shipped || std::filesystem::is_regular_file(beside / io::PathOf(*name + extension), error);
          }
        }
        if (shipped) continue;
        out->AddOfKind("dependency", "manifest-dependency", identity->at,
                 "the assembly depends on the assembly " + Quoted(*name) + ", which is not beside it (no " +
                     *name + ".dll or " + *name + ".manifest, nor in a folder " + *name +
                     "): Windows refuses the manifest, and the application does not start",
                 "ship " + *name + ".manifest (or the DLL holding it) beside this manifest, or remove the "
                 "dependency; the module needs none");
      }
    }
  }
}

// The assembly's identity: its type, name (the manifest's file name, and not
// the module's), version and architecture.
void CheckIdentity(const std::string& file, const XmlElement& identity, const ManifestExpectation& expected,
                   const std::string& notAssembly, ManifestFindings* out) {
  for (const char* attribute : {"type", "name", "version"}) {
    if (!identity.Attribute(attribute)) {
      out->Add("manifest-not-assembly", identity.at, std::string("the assemblyIdentity has no ") + attribute,
              notAssembly);
    }
  }
  // Windows looks for a private assembly NAME beside the application as
  // NAME.dll, then NAME.manifest (and the same in a folder NAME).
  if (const std::string* name = identity.Attribute("name")) {
    const std::string fileName = io::FileName(file);
    if (Lower(fileName) != Lower(*name + ".manifest")) {
      out->Add("manifest-name", identity.at,
              "the assembly is named " + Quoted(*name) + ", so Windows looks for its manifest as " + *name +
                  ".manifest, not " + fileName + ": the application that depends on it does not start",
              "save the manifest as " + *name + ".manifest in the application's folder, or give the "
              "assembly the file's name here and in the application's dependency");
    }
    if (NamedAsModule(*name, expected.moduleName)) {
      out->Add("manifest-name", identity.at,
              "the assembly is named after its module " + expected.moduleName + ": Windows' documented "
              "search for a private assembly finds " + expected.moduleName + " first, which holds no "
              "manifest, and stops before " + *name + ".manifest",
              "give the assembly another name, " + *name + ".Assembly say, with its file " + *name +
                  ".Assembly.manifest and the same name in the application's dependency; " + kExportRemedy,
              Severity::kWarning);
    }
  }
  if (const std::string* version = identity.Attribute("version")) CheckVersion(*version, identity, out);
  const std::string* type = identity.Attribute("type");
  if (type && Lower(*type) != "win32") {
    out->Add("manifest-not-assembly", identity.at,
            "the assemblyIdentity's type is " + Quoted(*type) + ", not win32", notAssembly);
  }
  const std::string want = ManifestArchitecture(expected.architecture);
  const std::string* arch = identity.Attribute("processorArchitecture");
  if (!want.empty() && (!arch || Lower(Trimmed(*arch)) != want)) {
    out->Add("manifest-architecture", identity.at,
            (arch ? "the assembly is for processorArchitecture " + Quoted(*arch)
                  : std::string("the assembly names no processorArchitecture")) +
                ", but " + expected.moduleName + " is an " + expected.architecture +
                " module: the application's dependency, written for the module, names another assembly, "
                "and the application does not start",
            "write processorArchitecture=\"" + want + "\" here and in the application's dependency; " +
                kExportRemedy);
  }
}

// The module among the files; answers them. The classes of every file are
// compared afterwards, so that a wrong file name is one finding, not one per class.
std::vector<const XmlElement*> CheckModuleAmongFiles(const XmlElement& root, const ManifestExpectation& expected,
                                               ManifestFindings* out) {
  const std::vector<const XmlElement*> files = root.Children("file");
  bool moduleFound = false;
  for (const XmlElement* f : files) {
    const std::string* name = f->Attribute("name");
    if (name && Lower(*name) == Lower(expected.moduleName)) moduleFound = true;
  }
  const std::string fileRemedy = "write <file name=\"" + expected.moduleName +
                                 "\">, the module copy's own name, with the manifest beside it; " + kExportRemedy;
  if (!moduleFound) {
    for (const XmlElement* f : files) {
      const std::string* name = f->Attribute("name");
      if (f->Children("comClass").empty()) continue;
      out->Add("manifest-file-name", f->at,
              "the classes are in <file name=" + (name ? Quoted(*name) : std::string("(none)")) +
                  ">, but the module is " + expected.moduleName +
                  ": creating them loads a file that is not the package's module, or none",
              fileRemedy);
    }
    if (files.empty()) {
      out->Add("manifest-file-name", root.at,
              "the assembly has no <file> element, so it serves no class of " + expected.moduleName, fileRemedy);
    }
  }
  return files;
}

// Each class of the package in the manifest once, as its script registers it,
// and no other class.
void CheckClasses(const XmlElement& root, const std::vector<const XmlElement*>& files,
                  const ManifestExpectation& expected, ManifestFindings* out) {
  std::vector<const XmlElement*> comClasses;
  for (const XmlElement* f : files) {
    for (const XmlElement* c : f->Children("comClass")) comClasses.push_back(c);
  }
  const std::size_t count = expected.classes.size();
  std::vector<std::string> ids;
  std::string classList;  // "Style.rgs {...}, StyleText.rgs {...}"
  for (std::size_t i = 0; i < count; ++i) {
    ids.push_back(GuidString(expected.classes[i].clsid));
    classList += (i ? ", " : "") + Utf8(PackageClasses[i].scriptName) + " " + ids[i];
  }
  std::vector<const XmlElement*> found(count, nullptr);
  for (const XmlElement* c : comClasses) {
    const std::string* clsid = c->Attribute("clsid");
    const std::string id = clsid ? ClassIdentifier(*clsid) : "";
    std::size_t which = count;
    for (std::size_t i = 0; i < count; ++i) {
      if (!id.empty() && id == Upper(ids[i])) which = i;
    }
    if (which == count) {
      out->AddOfKind("foreign class", "manifest-class", c->at,
              (clsid ? "the comClass " + Quoted(*clsid) +
                           (id.empty() ? " is not a class identifier {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
                                       : " is no class of this package (" + classList + "): the module refuses to create it (CLASS_E_CLASSNOTAVAILABLE)")
                     : std::string("a comClass has no clsid")),
              "give each comClass the identifier its script registers, and no other; " + std::string(kExportRemedy));
      continue;
    }
    const std::string script = Utf8(PackageClasses[which].scriptName);
    if (found[which]) {
      out->AddOfKind("class twice", "manifest-class", c->at,
              "the class " + ids[which] + " is in the manifest twice: Windows refuses a manifest that "
              "names a class twice, and the application does not start",
              "keep one comClass for it; " + std::string(kExportRemedy));
      continue;
    }
    found[which] = c;
    CheckClass(expected.classes[which], script, *c, out);
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (found[i]) continue;
    const std::string script = Utf8(PackageClasses[i].scriptName);
    out->Add("manifest-class", files.empty() ? root.at : files[0]->at,
            "the class " + ids[i] + " of " + script + " is not in the manifest: through the manifest, "
            "creating it fails with REGDB_E_CLASSNOTREG",
            "add <comClass clsid=\"" + ids[i] + "\" .../> with the identifier " + script + " holds; " +
                kExportRemedy);
  }
}

}  // namespace

void CheckManifest(const std::string& file, const std::string& bytes, const ManifestExpectation& expected,
                   std::vector<Finding>* findings) {
  const std::string text = Decoded(bytes);
  ManifestFindings out(file, text, findings);
  XmlElement root;
  XmlReader reader(text);
  if (!reader.Read(&root)) {
    out.Add("manifest-not-xml", reader.errorAt(),
            "the manifest is not well-formed XML: " + reader.error() +
                "; Windows refuses the whole manifest, and the application does not start",
            std::string("correct it at that place; ") + kExportRemedy);
    return;
  }
  const std::string notAssembly = std::string("an assembly manifest is <assembly xmlns=\"") + kAssemblyNamespace +
                                  "\" manifestVersion=\"1.0\"> with an <assemblyIdentity type=\"win32\" name=... "
                                  "version=... processorArchitecture=...>; " + kExportRemedy;
  if (root.ns != kAssemblyNamespace || root.local != "assembly") {
    out.Add("manifest-not-assembly", root.at,
            "the root element is <" + root.local + ">" +
                (root.ns.empty() ? std::string(" without a namespace") : " in the namespace " + Quoted(root.ns)) +
                ", so this is no assembly manifest",
            notAssembly);
    return;
  }
  const std::string* manifestVersion = root.Attribute("manifestVersion");
  if (!manifestVersion || *manifestVersion != "1.0") {
    out.Add("manifest-not-assembly", root.at, "the assembly's manifestVersion is not \"1.0\"", notAssembly);
  }
  const std::vector<const XmlElement*> identities = root.Children("assemblyIdentity");
  if (identities.size() != 1) {
    out.Add("manifest-not-assembly", identities.empty() ? root.at : identities[1]->at,
            identities.empty() ? "the assembly has no assemblyIdentity" : "the assembly has more than one assemblyIdentity",
            notAssembly);
  } else {
    CheckIdentity(file, *identities[0], expected, notAssembly, &out);
  }

  CheckDependencies(file, root, &out);

  const std::vector<const XmlElement*> files = CheckModuleAmongFiles(root, expected, &out);
  if (!expected.classesKnown) return;

  CheckClasses(root, files, expected, &out);
}

}  // namespace check
