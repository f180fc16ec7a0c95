// check --manifest: an assembly manifest read as XML (well-formed, with its namespaces), then its identity,
// files and classes held against the module file and what the scripts register, each difference a finding.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string_view>

#include "host/manifest_screen.h"
#include "io/files.h"
#include "manifest/manifest.h"
#include "package/package_classes.h"
#include "scripts/script_reading.h"
#include "text/identifiers.h"

namespace check {

namespace {

constexpr char kAssemblyNamespace[] = "urn:schemas-microsoft-com:asm.v1";
// Nesting deeper than the host library's reader takes is refused here too.
constexpr std::size_t kDepthLimit = stub::host::detail::kManifestDepthLimit;

struct XmlElement {
  std::string qualified, ns, local;               // the name as written; its namespace and local part
  std::map<std::string, std::string> attributes;  // by name as written
  std::vector<XmlElement> children;
  std::string text;  // the character data directly inside
  std::size_t at = 0;

  const std::string* Attribute(const std::string& name) const {
    auto it = attributes.find(name);
    return it == attributes.end() ? nullptr : &it->second;
  }
  std::string Value(const std::string& name) const { return Attribute(name) ? *Attribute(name) : ""; }
  // The elements of the assembly's namespace along `path` below this one ("file/comClass").
  std::vector<const XmlElement*> Children(const std::string& path) const {
    const std::size_t slash = path.find('/');
    std::vector<const XmlElement*> out;
    for (const XmlElement& c : children) {
      if (c.ns != kAssemblyNamespace || c.local != path.substr(0, slash)) continue;
      const auto below = slash == std::string::npos ? std::vector<const XmlElement*>{&c}
                                                    : c.Children(path.substr(slash + 1));
      out.insert(out.end(), below.begin(), below.end());
    }
    return out;
  }
};

// A well-formed XML document (UTF-8), or the first place it is not; open elements on a stack, not recursion.
struct XmlReader {
  const std::string& b;
  std::size_t i = 0;
  std::string error{}, hint{};
  std::size_t errorAt = 0;

  bool Read(XmlElement* root) {
    const std::size_t start = At("\xEF\xBB\xBF") ? 3 : 0;
    std::vector<XmlElement*> open;  // the root first
    bool ended = false;             // the root element has ended
    for (i = start; i < b.size();) {
      XmlElement* in = open.empty() ? nullptr : open.back();
      bool ok = true;
      if (At("<!--")) {
        i += 4;  // "--" inside a comment is taken, as the system takes it
        ok = SkipPast("-->", "a comment is not closed with -->");
      } else if (At("<?")) {
        const bool xml =  // the XML declaration, which stands only at the very start
            Lower(b.substr(i + 2, 3)) == "xml" && i + 5 < b.size() && (IsSpace(b[i + 5]) || b[i + 5] == '?');
        if (xml && !(i == start && At("<?xml") && IsSpace(b[i + 5]))) {
          return Fail("an XML declaration after the start", "keep one <?xml ...?>, at the very start");
        }
        ok = SkipPast("?>", "a processing instruction is not closed with ?>");
      } else if (in && At("<![CDATA[")) {
        i += 9;
        ok = SkipPast("]]>", "a CDATA section is not closed with ]]>", &in->text);
      } else if (!in && At("<!")) {
        return Fail("a document type declaration, which a manifest does not hold");
      } else if (in && At("</")) {
        i += 2;
        std::string closing;
        if (!Name(&closing)) return false;
        if (closing != in->qualified) {
          return Fail("</" + closing + "> closes <" + in->qualified + ">", "", i - closing.size());
        }
        Spaces();
        if (!At(">")) return Fail("'>' was expected after </" + closing);
        ++i;
        open.pop_back();
        ended = open.empty();
      } else if (!in && (ended || b[i] != '<')) {
        if (!IsSpace(b[i])) return Fail(ended ? "more after the root element" : "text before any element");
        ++i;
      } else if (b[i] == '<') {
        if (open.size() + 1 > kDepthLimit) {  // the host library's limit, below the system's
          return Fail("elements nested more than " + std::to_string(kDepthLimit) + " deep");
        }
        XmlElement* e = in ? &in->children.emplace_back() : root;
        ok = StartTag(e, open);
        if (ok && b[i - 2] != '/') open.push_back(e);  // not <.../>
        ended = open.empty();
      } else {
        ok = b[i] == '&' ? Reference(&in->text) : Char(&in->text);
      }
      if (!ok) return false;
    }
    if (open.empty()) return ended || Fail("there is no element");
    return Fail("<" + open.back()->qualified + "> is not closed with </" + open.back()->qualified + ">");
  }

  static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
  bool At(const char* s) const { return b.compare(i, std::strlen(s), s) == 0; }
  void Spaces() { i = std::min(b.find_first_not_of(" \t\r\n", i), b.size()); }
  // False, with what is wrong at `at` (where the reader is, by default) and how to write it instead.
  bool Fail(const std::string& what, const std::string& how = "", std::size_t at = std::string::npos) {
    error = what;
    hint = how;
    errorAt = std::min(std::min(at, i), b.size());
    return false;
  }

  // One character, appended to `out` when given. The system takes any byte
  // (other encodings, control characters): so does this reader, keeping a
  // byte that is not UTF-8 as U+FFFD so that what it reports stays UTF-8.
  bool Char(std::string* out) {
    const std::size_t n = Utf8Sequence(b, i);
    if (out) out->append(n == 0 ? std::string("\xEF\xBF\xBD") : b.substr(i, n));
    i += n == 0 ? 1 : n;
    return true;
  }

  // On past the next `end`, each character before it one XML may hold.
  bool SkipPast(const char* end, const char* unclosed, std::string* out = nullptr) {
    const std::size_t at = b.find(end, i);
    if (at == std::string::npos) return Fail(unclosed);
    while (i < at) {
      if (!Char(out)) return false;
    }
    i = at + std::strlen(end);
    return true;
  }

  bool Name(std::string* name) {
    const std::size_t start = i;
    const auto nameChar = [](char c) {
      return c & 0x80 || std::isalnum(c) || std::string_view("_:-.").find(c) < 4;
    };
    while (i < b.size() && nameChar(b[i])) ++i;
    if (i == start || std::strchr("-.0123456789", b[start])) return Fail("a name was expected", "", start);
    name->assign(b, start, i - start);
    return true;
  }

  // An entity XML defines (&amp; and four more) or a character reference.
  bool Reference(std::string* out) {
    const std::size_t end = b.find(';', i);
    if (end == std::string::npos || end - i > 12) {
      *out += "&";  // taken as written, as the system takes it
      ++i;
      return true;
    }
    const std::string name = b.substr(i + 1, end - i - 1);
    static const std::map<std::string, const char*> kNamed = {
        {"lt", "<"}, {"gt", ">"}, {"amp", "&"}, {"quot", "\""}, {"apos", "'"}};
    const bool hex = name.size() > 1 && name[0] == '#' && name[1] == 'x';
    const char* const last = name.data() + name.size();
    unsigned long code = 0;
    const char* const first = std::min(name.data() + (hex ? 2 : 1), last);
    const auto [stop, bad] = std::from_chars(first, last, code, hex ? 16 : 10);
    if (auto named = kNamed.find(name); named != kNamed.end()) {
      *out += named->second;
    } else if (name.empty() || name[0] != '#') {
      *out += "&";  // an entity XML does not define stays as written, as the system reads it
      ++i;
      return true;
    } else if (bad != std::errc() || stop != last || code > 0x10FFFF || (code < 32 && !IsSpace(char(code))) ||
               (code >= 0xD800 && code <= 0xDFFF) || code == 0xFFFE || code == 0xFFFF) {
      return Fail("&" + name + "; is no character XML can hold");
    } else {
      const unsigned long high = code - 0x10000;
      const char16_t pair[] = {char16_t(0xD800 + (high >> 10)), char16_t(0xDC00 + (high & 0x3FF))};
      *out += Utf8(code < 0x10000 ? std::u16string(1, char16_t(code)) : std::u16string(pair, 2));
    }
    i = end + 1;
    return true;
  }

  // <name attribute="value" ...> or <... />: references resolved, blanks read as spaces, the namespace found.
  bool StartTag(XmlElement* e, const std::vector<XmlElement*>& open) {
    e->at = i++;
    if (!Name(&e->qualified)) return false;
    for (std::size_t before = i;; before = i) {
      Spaces();
      if (i >= b.size()) return Fail("the element <" + e->qualified + "> is not closed");
      if (At(">") || At("/>")) break;
      if (i == before) return Fail("a blank was expected before an attribute");
      std::string name, value;
      if (!Name(&name)) return false;
      Spaces();
      if (!At("=")) return Fail("'=' was expected after " + name);
      ++i;
      Spaces();
      if (!At("\"") && !At("'")) return Fail("a quoted value was expected for " + name);
      for (const char quote = b[i++]; i < b.size() && b[i] != quote;) {
        if (b[i] == '<') return Fail("'<' in the value of " + name, "write &lt;");
        if (IsSpace(b[i])) {
          value += ' ';
          ++i;
        } else if (b[i] == '&' && name == "clsid") {
          value += b[i++];  // the system reads a clsid as written, references and all
        } else if (!(b[i] == '&' ? Reference(&value) : Char(&value))) {
          return false;
        }
      }
      if (i++ >= b.size()) return Fail("the value of " + name + " is not closed");
      const bool twice = !e->attributes.emplace(name, value).second;
      if (twice) return Fail("the attribute " + name + " is given twice");
    }
    i += At("/>") ? 2 : 1;
    const std::size_t colon = e->qualified.find(':');
    const std::string prefix = colon == std::string::npos ? "" : e->qualified.substr(0, colon);
    e->local = e->qualified.substr(colon == std::string::npos ? 0 : colon + 1);
    const std::string declaration = prefix.empty() ? "xmlns" : "xmlns:" + prefix;
    const std::string* ns = e->Attribute(declaration);
    for (auto it = open.rbegin(); !ns && it != open.rend(); ++it) ns = (*it)->Attribute(declaration);
    e->ns = ns ? *ns : "";
    return ns || prefix.empty() ||
           Fail("the namespace prefix '" + prefix + "' is not declared", "", e->at + 1);
  }
};

const std::string kExport = "; stub-check export --format manifest MODULE writes a manifest that matches";
constexpr char kRefused[] = "Windows refuses the whole manifest, and the application does not start";

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  return first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// One manifest's findings, each at its offset; of a kind with one per element, kWarningsPerCode are listed.
struct ManifestFindings : CappedFindings {
  const std::string &file, &text;
  std::size_t lastAt = 0;
  Place last{1, 1};

  void Add(FindingCode code, std::size_t at, const std::string& message, std::vector<std::string> notes,
           const std::string& remedy) {
    Add(code, at, message, std::move(notes), remedy, RowOf(code).severity);
  }
  // `severity` other than the row's: for a code that is an error in one case and a warning in another.
  void Add(FindingCode code, std::size_t at, const std::string& message, std::vector<std::string> notes,
           const std::string& remedy, Severity severity) {
    // Each place is counted on from the last one: many findings in text order cost one pass over the text.
    const bool onward = at >= lastAt;
    last = PlaceOf(text, at, onward ? lastAt : 0, onward ? last : Place{1, 1});
    lastAt = std::min(at, text.size());
    findings->push_back({severity, code, file, last.line, last.column, message, remedy, 0, std::move(notes)});
  }
  void NotAssembly(std::size_t at, const std::string& message, std::vector<std::string> notes = {}) {
    Add(FindingCode::kManifestNotAssembly, at, message, std::move(notes),
        std::string("an assembly manifest is <assembly xmlns=\"") + kAssemblyNamespace +
            "\" manifestVersion=\"1.0\"> with an <assemblyIdentity type=\"win32\" name=... version=... "
            "processorArchitecture=...>" +
            kExport);
  }
};

// The ProgIDs and threading model of one package class against its comClass.
void CheckClass(const ManifestClass& want, const std::string& script, const XmlElement& comClass,
                ManifestFindings* out) {
  const std::string ofClass = "the class " + GuidString(want.clsid);
  // The progid attribute and each progid element, against the class key's two.
  std::vector<std::pair<std::string, std::size_t>> named;  // each ProgID with its place
  if (const std::string* p = comClass.Attribute("progid")) named.push_back({Trimmed(*p), comClass.at});
  for (const XmlElement* p : comClass.Children("progid")) named.push_back({Trimmed(p->text), p->at});
  std::string registers;
  for (const std::string* p : {&want.progId, &want.versionIndependentProgId}) {
    if (!p->empty()) registers += (registers.empty() ? " registers " : " and ") + Quoted(*p);
  }
  if (registers.empty()) registers = " registers no ProgID for it";
  const auto same = [](const auto& a, const auto& b) { return !a.empty() && Lower(a) == Lower(b); };
  for (const auto& [progId, at] : named) {
    if (same(progId, want.progId) || same(progId, want.versionIndependentProgId)) continue;
    out->Add(FindingCode::kManifestProgId, at,
             "the ProgID " + Quoted(progId) + " is not one " + script + " registers",
             {ofClass, script + registers,
              "through the manifest the name creates the class, registered it does not"},
             "name the ProgIDs " + script +
                 " registers (the progid attribute and a progid element), or "
                 "none" +
                 kExport);
  }
  for (const std::string& r : {want.progId, want.versionIndependentProgId}) {
    const bool has = std::any_of(named.begin(), named.end(), [&](const auto& n) { return same(r, n.first); });
    if (r.empty() || has) continue;
    out->Add(FindingCode::kManifestProgId, comClass.at,
             "the comClass lacks the ProgID " + Quoted(r) + " of " + script,
             {ofClass, "through the manifest, creating the class by that name fails (CO_E_CLASSSTRING)"},
             "add progid=\"" + r + "\" to the comClass, or <progid>" + r + "</progid> inside it" + kExport);
  }
  const std::string written = Trimmed(comClass.Value("threadingModel")), wanted = want.threadingModel;
  if (Lower(written) == Lower(wanted)) return;
  out->Add(FindingCode::kManifestThreading, comClass.at,
           "the comClass names " + (written.empty() ? "no threading model" : Quoted(written)) + ", but " +
               script + " registers " + (wanted.empty() ? "none" : Quoted(wanted)),
           {ofClass, "without a threading model, a class lives in the process's main apartment",
            "through the manifest, COM chooses the apartment of its objects by another model than the "
            "package declares"},
           (wanted.empty() ? "leave threadingModel out, as " + script + " does"
                           : "write threadingModel=\"" + wanted + "\", as " + script + " registers") +
               kExport);
}

// An assembly version as Windows reads one: four decimal parts, each 0 to 65535.
void CheckVersion(const XmlElement& identity, ManifestFindings* out) {
  const std::string* version = identity.Attribute("version");
  unsigned p[4];
  char more;
  if (version && (version->find_first_not_of("0123456789.") != std::string::npos ||
                  std::sscanf(version->c_str(), "%5u.%5u.%5u.%5u%c", p, p + 1, p + 2, p + 3, &more) != 4 ||
                  std::max({p[0], p[1], p[2], p[3]}) > 65535)) {
    out->Add(FindingCode::kManifestVersion, identity.at,
             "the version " + Quoted(*version) + " is not four numbers from 0 to 65535", {kRefused},
             "write the module's file version, four parts (1.2.3.4)" + kExport);
  }
}

// Each assembly the manifest depends on: its version, and whether a private one (without a publicKeyToken,
// looked for beside the application) is beside the manifest as NAME.dll or NAME.manifest, or in folder NAME.
void CheckDependencies(const FileSystem& files, const std::string& file, const XmlElement& root,
                       ManifestFindings* out) {
  const std::filesystem::path folder = io::PathOf(file).parent_path();
  for (const XmlElement* identity : root.Children("dependency/dependentAssembly/assemblyIdentity")) {
    CheckVersion(*identity, out);
    const std::string* name = identity->Attribute("name");
    if (!name || identity->Attribute("publicKeyToken")) continue;
    bool shipped = false;
    for (const char* extension : {".dll", ".manifest"}) {
      const std::filesystem::path f = io::PathOf(*name + extension);
      for (const std::filesystem::path& place : {folder / f, folder / io::PathOf(*name) / f})
        shipped = shipped || files.Status(io::TextOf(place)).kind == PathStatus::Kind::kFile;
    }
    if (shipped || !out->Listed("dependency")) continue;
    out->Add(FindingCode::kManifestDependency, identity->at,
             "the dependency " + Quoted(*name) + " is not beside the manifest",
             {"no " + *name + ".dll or " + *name + ".manifest, nor in a folder " + *name,
              "Windows refuses the manifest, and the application does not start"},
             "ship " + *name +
                 ".manifest (or the DLL holding it) beside this manifest, or remove the "
                 "dependency; the module needs none");
  }
}

// The assembly's identity: type, name (the manifest's file name, not the module's), version, architecture.
void CheckIdentity(const std::string& file, const XmlElement& identity, const ManifestExpectation& expected,
                   ManifestFindings* out) {
  for (std::string a : {"type", "name", "version"}) {
    if (!identity.Attribute(a)) out->NotAssembly(identity.at, "the assemblyIdentity has no " + a);
  }
  // Windows looks for a private assembly NAME as NAME.dll, then NAME.manifest (and the same in folder NAME).
  const std::string* name = identity.Attribute("name");
  const std::string fileName = io::FileName(file), module = expected.moduleName;
  if (name && Lower(fileName) != Lower(*name + ".manifest")) {
    out->Add(FindingCode::kManifestName, identity.at,
             "the file name does not match the assembly " + Quoted(*name),
             {"Windows looks for its manifest as " + *name + ".manifest, not " + fileName,
              "the application that depends on it does not start"},
             "save the manifest as " + *name +
                 ".manifest in the application's folder, or give the assembly "
                 "the file's name here and in the application's dependency");
  }
  if (name && NamedAsModule(*name, module)) {
    out->Add(FindingCode::kManifestName, identity.at, "the assembly is named after its module " + module,
             {"Windows' documented search for a private assembly finds " + module + " first",
              module + " holds no manifest, and the search stops before " + *name + ".manifest"},
             "give the assembly another name, " + *name + ".Assembly say, with its file " + *name +
                 ".Assembly.manifest and the same name in the application's dependency" + kExport,
             Severity::kWarning);
  }
  CheckVersion(identity, out);
  const std::string* type = identity.Attribute("type");
  if (type && Lower(*type) != "win32") {
    out->NotAssembly(identity.at, "the assemblyIdentity's type is " + Quoted(*type) + ", not win32");
  }
  const std::string want = ManifestArchitecture(expected.architecture);
  const std::string* arch = identity.Attribute("processorArchitecture");
  if (want.empty() || (arch && Lower(Trimmed(*arch)) == want)) return;
  out->Add(FindingCode::kManifestArchitecture, identity.at,
           arch ? "the assembly is for processorArchitecture " + Quoted(*arch) + ", not " + want
                : "the assembly names no processorArchitecture",
           {module + " is an " + expected.architecture + " module",
            "the application's dependency, written for the module, names another assembly, and the "
            "application does not start"},
           "write processorArchitecture=\"" + want + "\" here and in the application's dependency" + kExport);
}

// The module among the files (a wrong name one finding), then each package class once, as registered.
void CheckFiles(const XmlElement& root, const ManifestExpectation& expected, ManifestFindings* out) {
  const std::vector<const XmlElement*> files = root.Children("file");
  const std::string module = expected.moduleName;
  bool moduleFound = false;
  for (const XmlElement* f : files) moduleFound = moduleFound || Lower(f->Value("name")) == Lower(module);
  const std::string remedy =
      "write <file name=\"" + module + "\">, the module copy's own name, the manifest beside it" + kExport;
  for (const XmlElement* f : files) {
    const std::string* name = f->Attribute("name");
    if (moduleFound || f->Children("comClass").empty()) continue;
    out->Add(FindingCode::kManifestFileName, f->at,
             "the classes are in <file name=" + (name ? Quoted(*name) : "(none)") + ">, not in " + module,
             {"creating them loads a file that is not the package's module, or none"}, remedy);
  }
  if (files.empty()) {
    out->Add(FindingCode::kManifestFileName, root.at, "the assembly has no <file> element",
             {"so it serves no class of " + module}, remedy);
  }
  if (!expected.classesKnown) return;
  const std::size_t count = expected.classes.size();
  const std::string kShape = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";  // a class identifier's
  std::vector<std::string> ids, folded, scripts;  // folded: the ids as a clsid is compared with them
  std::string classList = "its classes:";         // "its classes: Style.rgs {...}, StyleText.rgs {...}"
  for (std::size_t i = 0; i < count; ++i) {
    ids.push_back(GuidString(expected.classes[i].clsid));
    folded.push_back(Lower(ids[i]));
    scripts.push_back(Utf8(PackageClasses[i].scriptName));
    classList += (i ? ", " : " ") + scripts[i] + " " + ids[i];
  }
  std::vector<bool> found(count, false);
  for (const XmlElement* c : root.Children("file/comClass")) {
    const std::string* clsid = c->Attribute("clsid");
    const std::string id = clsid ? *clsid : "";  // as the system reads it: blanks make it no identifier
    const std::size_t which = std::find(folded.begin(), folded.end(), Lower(id)) - folded.begin();
    if (which < count && !found[which]) {
      found[which] = true;
      CheckClass(expected.classes[which], scripts[which], *c, out);
      continue;
    }
    if (!out->Listed(which < count ? "class twice" : "foreign class")) continue;
    const std::string remedy = "give each comClass the identifier its script registers, no other" + kExport;
    if (which < count) {
      out->Add(FindingCode::kManifestClass, c->at, "the class " + ids[which] + " is in the manifest twice",
               {"Windows may refuse a manifest that names a class twice (Wine takes it)"},
               "keep one comClass for it" + kExport, Severity::kWarning);
    } else if (!clsid) {
      out->Add(FindingCode::kManifestClass, c->at, "a comClass has no clsid", {}, remedy);
    } else if (!std::equal(id.begin(), id.end(), kShape.begin(), kShape.end(), [](char c, char x) {
                 return x == 'X' ? std::isxdigit(static_cast<unsigned char>(c)) != 0 : c == x;
               })) {
      out->Add(FindingCode::kManifestClass, c->at,
               "the comClass " + Quoted(*clsid) + " is not a class identifier",
               {"a class identifier is " + kShape}, remedy);
    } else {
      out->Add(FindingCode::kManifestClass, c->at,
               "the comClass " + Quoted(*clsid) + " is no class of this package",
               {classList, "the module refuses to create it (CLASS_E_CLASSNOTAVAILABLE)"}, remedy);
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (found[i]) continue;
    out->Add(
        FindingCode::kManifestClass, files.empty() ? root.at : files[0]->at,
        "the class " + ids[i] + " of " + scripts[i] + " is not in the manifest",
        {"through the manifest, creating it fails with REGDB_E_CLASSNOTREG"},
        "add <comClass clsid=\"" + ids[i] + "\" .../>, the identifier " + scripts[i] + " holds" + kExport);
  }
}

// What the host library's reader refuses (and the host marks bad-manifest)
// that the checks below would not find: one finding at its place.
// The reader's places are in the text less a UTF-8 byte order mark.
std::size_t ScreenPlace(const stub::host::detail::ManifestScreen& screen, const std::string& text) {
  return screen.at + (text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0);
}

bool ScreenRefuses(const stub::host::detail::ManifestScreen& screen, const std::string& text,
                   bool classesChecked, ManifestFindings* out) {
  using stub::host::detail::ManifestFault;
  const std::size_t at = ScreenPlace(screen, text);
  switch (screen.fault) {
    case ManifestFault::None:
    case ManifestFault::NotAssembly:
    case ManifestFault::MissingIdentity:
    case ManifestFault::BadVersion:
      return false;  // found below, with the package's terms
    case ManifestFault::TooLarge:
    case ManifestFault::NotXml:
    case ManifestFault::DocumentType:
    case ManifestFault::SecondDeclaration:
    case ManifestFault::TooDeep:
    case ManifestFault::DuplicateAttribute:
      out->Add(FindingCode::kManifestNotXml, at, "not a manifest the host library reads", {kRefused},
               "correct it at that place" + kExport);
      return true;
    case ManifestFault::Markup:
      out->Add(FindingCode::kManifestNotXml, at,
               "a CDATA section or a processing instruction, which a manifest does not hold", {kRefused},
               "write the text plainly, without <![CDATA[ or <?...?>" + kExport);
      return true;
    case ManifestFault::NoClassId:
      if (classesChecked) return false;  // each such comClass is found with the package's classes
      out->Add(FindingCode::kManifestClass, at, "a comClass whose clsid is not a braced class identifier",
               {"a class identifier is {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, written as it is, without "
                "references",
                kRefused},
               "give each comClass the identifier its script registers" + kExport);
      return true;
    case ManifestFault::ClassInTwoFiles:
      out->Add(FindingCode::kManifestClass, at, "a class is in the manifest under two <file> elements",
               {"the system takes the manifest, then cannot create the class"},
               "keep the class under the module's <file> only" + kExport);
      return true;
  }
  return false;
}

// The manifest's findings, the reader's verdict `screen` among them.
void CheckRead(const std::string& file, const std::string& text,
               const stub::host::detail::ManifestScreen& screen, const ManifestExpectation& expected,
               ManifestFindings& out) {
  XmlElement root;
  XmlReader reader{text};
  if (!reader.Read(&root)) {
    out.Add(FindingCode::kManifestNotXml, reader.errorAt, "not well-formed XML: " + reader.error, {kRefused},
            (reader.hint.empty() ? "correct it at that place" : reader.hint) + kExport);
    return;
  }
  if (ScreenRefuses(screen, text, expected.classesKnown, &out)) return;
  if (root.ns != kAssemblyNamespace || root.local != "assembly") {
    return out.NotAssembly(root.at, "the root element <" + root.local + "> is no assembly manifest's",
                           {root.ns.empty() ? "it has no namespace" : "its namespace is " + Quoted(root.ns)});
  }
  if (root.Value("manifestVersion") != "1.0") out.NotAssembly(root.at, "the manifestVersion is not \"1.0\"");
  const std::vector<const XmlElement*> identities = root.Children("assemblyIdentity");
  if (identities.empty()) out.NotAssembly(root.at, "the assembly has no assemblyIdentity");
  if (identities.size() > 1) {
    out.Add(FindingCode::kManifestNotAssembly, identities[1]->at,
            "the assembly has a second assemblyIdentity", {"Windows may refuse it (Wine reads the first)"},
            "keep one assemblyIdentity" + kExport, Severity::kWarning);
  }
  if (identities.size() == 1) CheckIdentity(file, *identities[0], expected, &out);
  CheckDependencies(expected.files ? *expected.files : SystemFiles(), file, root, &out);
  CheckFiles(root, expected, &out);
}

}  // namespace

void CheckManifest(const std::string& file, const std::string& bytes, const ManifestExpectation& expected,
                   std::vector<Finding>* findings) {
  const std::string text = Decoded(bytes);
  const stub::host::detail::ManifestScreen screen = stub::host::detail::ScreenManifest(bytes);
  const std::size_t first = findings->size();
  {
    ManifestFindings out{{findings, "manifest"}, file, text};
    CheckRead(file, text, screen, expected, out);
  }
  // What the host library refuses is an error here, found by a check above or else said so at its place.
  const bool error = std::any_of(findings->begin() + static_cast<std::ptrdiff_t>(first), findings->end(),
                                 [](const Finding& f) { return f.severity == Severity::kError; });
  if (screen.fault == stub::host::detail::ManifestFault::None || error) return;
  ManifestFindings out{{findings, "manifest"}, file, text};
  out.NotAssembly(ScreenPlace(screen, text), "the host library refuses this manifest here", {kRefused});
}

}  // namespace check
