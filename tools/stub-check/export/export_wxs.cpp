// stub-check export --format wxs: a WiX source fragment with the package's files and the registry values its
// registration writes, the module's path written as the installer's reference to the installed file.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "export/export_format.h"
#include "io/files.h"
#include "text/identifiers.h"
#include "text/text.h"

namespace check {
namespace {

// WiX identifiers: ASCII letters, digits, _ and ., starting with a letter or _, at most 72 (MSI columns).
constexpr std::size_t kWixIdentifierLimit = 72;
bool IdentifierStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IdentifierChar(char c) { return IdentifierStart(c) || (c >= '0' && c <= '9') || c == '.'; }

// A WiX identifier made from a file name, other characters as underscores.
std::string Identifier(const std::string& text) {
  std::string out;
  for (char c : text) out += IdentifierChar(c) ? c : '_';
  if (out.empty() || !IdentifierStart(out[0])) out = "_" + out;
  return out.substr(0, 50);
}

// The value of --directory-id or --group, or its default.
std::string WixOption(const ParsedLine& options, const std::string& option, const std::string& stem) {
  return options.Get(option, option == "--group" ? Identifier(stem) : "INSTALLFOLDER");
}

// Text the installer formats ([Property] references): brackets written literally.
std::string Formatted(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '[' ? "[\\[]" : c == ']' ? "[\\]]" : std::string(1, c);
  return out;
}

// A value as WiX attributes (Name, Type, Value); false if the installer cannot hold it.
bool WixValue(const RegValue& value, const std::string& modulePath, const std::string& fileId,
              std::string* attributes, std::string* problem) {
  std::string xmlProblem;
  *attributes = value.name.empty() ? "" : " Name=\"" + Xml(Formatted(Utf8(value.name)), &xmlProblem) + "\"";
  const std::u16string text = TextUpToNul(value.data);
  if (value.type == REG_SZ && TextData(text) == value.data) {
    // The module's path becomes the installer's reference to the installed file.
    const std::string plain = Utf8(text);
    std::string formatted;
    std::size_t from = 0, at;
    for (; (at = plain.find(modulePath, from)) != std::string::npos; from = at + modulePath.size()) {
      formatted += Formatted(plain.substr(from, at - from)) + "[#" + fileId + "]";
    }
    formatted += Formatted(plain.substr(from));
    *attributes += " Type=\"string\" Value=\"" + Xml(formatted, &xmlProblem) + "\"";
  } else if (value.type == REG_DWORD && value.data.size() == 4) {
    const std::uint32_t n = value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                            static_cast<std::uint32_t>(value.data[3]) << 24;
    *attributes += " Type=\"integer\" Value=\"" + std::to_string(static_cast<std::int32_t>(n)) + "\"";
  } else if (value.type == REG_BINARY) {
    std::string hex;
    for (BYTE b : value.data) hex += {"0123456789ABCDEF"[b >> 4], "0123456789ABCDEF"[b & 15]};
    *attributes += " Type=\"binary\" Value=\"" + hex + "\"";
  } else {
    *problem = "the value " + RegValueLine(value) +
               " is of a type the WiX fragment cannot express with wixl (multi-string); "
               "export it with --format reg";
    return false;
  }
  if (xmlProblem.empty()) return true;
  *problem = "the value " + RegValueLine(value) + ": " + xmlProblem + "; change it in the script";
  return false;
}

// The fragment's XML declaration and its comment: what it holds and how to build it.
std::string WixHeader(const ExportedPackage& e, const std::string& fileId, std::string* xmlProblem) {
  // A comment may not hold "--": the names in it are written with the dashes apart.
  auto comment = [xmlProblem](const std::string& name) {
    std::string t = Xml(name, xmlProblem);
    for (std::size_t at; (at = t.find("--")) != std::string::npos;) t.insert(at + 1, " ");
    return t;
  };
  const std::string module = comment(e.moduleName), stem = comment(e.stem);
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!-- " + module + ": its files and what " +
         (e.perUser ? "regsvr32 /n /i:user" : "regsvr32") + " writes (stub-check export).\n" +
         "     Build in the folder holding " + module + " and " + stem + "/, with a product\n" +
         "     source that references the group: wixl -a " + e.arch + " -D SourceDir=. -o " + stem +
         ".msi product.wxs THIS.wxs" +
         (e.moduleFile.hasVersion
              ? "\n     wixl leaves the File table's version empty; set the module's afterwards:\n"
                "     msibuild " +
                    stem + ".msi -q \"UPDATE File SET Version = '" + e.moduleFile.version +
                    "' WHERE File = '" + fileId + "'\"\n    "
              : std::string()) +
         " -->\n";
}

}  // namespace

bool CheckWixOptions(const ParsedLine& options, const std::string& stem, std::string* problem) {
  for (const char* option : {"--directory-id", "--group"}) {
    const std::string text = WixOption(options, option, stem);
    const bool valid = !text.empty() && text.size() <= kWixIdentifierLimit && IdentifierStart(text[0]) &&
                       std::all_of(text.begin(), text.end(), IdentifierChar);
    if (valid) continue;
    *problem =
        option + (" " + Quoted(text)) + " is no WiX identifier" +
        (text.size() > kWixIdentifierLimit ? " (it is " + std::to_string(text.size()) + " characters long)"
                                           : "") +
        ": use 1 to " + std::to_string(kWixIdentifierLimit) +
        " ASCII letters, digits, underscores and periods, starting with a letter or an underscore";
    return false;
  }
  return true;
}

// The module and its folder as files, the values as RegistryValues (each component's first its KeyPath).
bool WriteWixFragment(const ExportedPackage& e, std::string* out, std::string* problem) {
  std::string xmlProblem;
  auto Xml = [&xmlProblem](const std::string& t) { return check::Xml(t, &xmlProblem); };
  const std::string base = Identifier(e.stem), fileId = base + ".module";
  const std::string win64 = e.arch == "x64" ? " Win64=\"yes\"" : "";
  std::string values[2];  // the package's, the categories'
  bool keyPath[2] = {false, false};
  for (const ExportedKey& k : e.keys) {
    const std::string head = "        <RegistryValue Root=\"" + Utf8(ShortRootName(k.root)) + "\" Key=\"" +
                             Xml(Formatted(k.below)) + "\"";
    std::string& lines = values[k.category];
    // An empty key: made at install and taken away with what is under it at removal.
    if (k.key->values.empty()) lines += head + " Name=\"*\" Type=\"string\" Value=\"\"/>\n";
    for (const auto& [folded, value] : k.key->values) {
      std::string attributes;
      if (!WixValue(value, Utf8(e.install.modulePath), fileId, &attributes, problem)) return false;
      lines += head + attributes + (keyPath[k.category] ? "" : " KeyPath=\"yes\"") + "/>\n";
      keyPath[k.category] = true;
    }
  }
  // The components' identifiers come from the package, architecture and mode.
  std::string identity = "package";
  for (const GUID& id : e.install.ids) identity += " " + GuidString(id);
  identity += " " + e.arch + (e.perUser ? " per-user" : "") + "|";
  std::vector<std::string> components;
  // Its Guid named from `what`, or none (never removed) when `what` is empty.
  auto component = [&](const std::string& id, const std::string& what, const std::string& body,
                       const std::string& indent) {
    components.push_back(id);
    return indent + "<Component Id=\"" + id + "\" Guid=\"" + (what.empty() ? "" : NamedGuid(what)) + "\"" +
           win64 + ">\n" + body + indent + "</Component>\n";
  };
  // The file version, for the installer's replacement rules; wixl (0.101) drops it: the header sets it.
  const std::string version =
      e.moduleFile.hasVersion ? " DefaultVersion=\"" + e.moduleFile.version + "\"" : "";
  std::string files = component(fileId, identity + "file " + e.moduleName,
                                "        <File Id=\"" + fileId + "\" Name=\"" + Xml(e.moduleName) +
                                    "\" Source=\"$(var.SourceDir)/" + Xml(e.moduleName) +
                                    "\" KeyPath=\"yes\"" + version + "/>\n",
                                "      ");
  std::string folder;
  for (const ScriptFile& script : e.package.scripts) {
    const std::string name = io::FileName(script.realPath), id = base + "." + Identifier(name);
    folder +=
        component(id, identity + "file " + e.stem + "/" + name,
                  "          <File Id=\"" + id + "\" Name=\"" + Xml(name) + "\" Source=\"$(var.SourceDir)/" +
                      Xml(e.stem) + "/" + Xml(name) + "\" KeyPath=\"yes\"/>\n",
                  "        ");
  }
  files += "      <Directory Id=\"" + base + ".folder\" Name=\"" + Xml(e.stem) + "\">\n" + folder +
           "      </Directory>\n";
  if (!values[0].empty()) files += component(base + ".registry", identity + values[0], values[0], "      ");
  if (!values[1].empty()) {
    // The categories are shared with every package, those regsvr32 registered too, which reference counts
    // never see: as with self-registration, removal never takes them (no Guid; wixl has no Permanent).
    files += "      <!-- The component categories, shared by every package: installed, never removed. -->\n" +
             component(base + ".categories", "", values[1], "      ");
  }
  std::string text =
      WixHeader(e, fileId, &xmlProblem) +
      "<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\">\n  <Fragment>\n    <DirectoryRef Id=\"" +
      WixOption(e.options, "--directory-id", e.stem) + "\">\n" + files + "    </DirectoryRef>\n" +
      "    <ComponentGroup Id=\"" + WixOption(e.options, "--group", e.stem) + "\">\n";
  for (const std::string& id : components) text += "      <ComponentRef Id=\"" + id + "\"/>\n";
  if (xmlProblem.empty())
    *out = text + "    </ComponentGroup>\n  </Fragment>\n</Wix>\n";
  else
    *problem = "the WiX fragment cannot be written: " + xmlProblem +
               "; rename it (XML holds UTF-8 "
               "text without control characters other than tab and line breaks)";
  return xmlProblem.empty();
}

}  // namespace check
