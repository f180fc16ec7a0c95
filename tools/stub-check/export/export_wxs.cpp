// stub-check export --format wxs: a WiX source fragment with the package's
// files (the module, with its file version, and its package folder) and the
// registry values its registration writes, the module's path written as the
// installer's reference to the installed file.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "export/export_format.h"
#include "io/files.h"
#include "text/text.h"

namespace check {
namespace {


// WiX's identifiers: ASCII letters, digits, underscores and periods, starting
// with a letter or an underscore, at most 72 characters (the width of the
// installer's identifier columns).
constexpr std::size_t kWixIdentifierLimit = 72;

// Text the installer formats ([Property] references): brackets written literally.
std::string Formatted(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '[') out += "[\\[]";
    else if (c == ']') out += "[\\]]";
    else out += c;
  }
  return out;
}

// A WiX identifier made from a file name: letters, digits, underscores and periods.
std::string Identifier(const std::string& text) {
  std::string out;
  for (char c : text) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '.';
    out += ok ? c : '_';
  }
  if (out.empty() || !((out[0] >= 'A' && out[0] <= 'Z') || (out[0] >= 'a' && out[0] <= 'z') || out[0] == '_')) {
    out = "_" + out;
  }
  return out.substr(0, 50);
}

bool ValidIdentifier(const std::string& text) {
  if (text.empty() || text.size() > kWixIdentifierLimit) return false;
  for (char c : text) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '.';
    if (!ok) return false;
  }
  return (text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z') || text[0] == '_';
}

std::string IdentifierProblem(const std::string& option, const std::string& text) {
  return option + " " + Quoted(text) + " is no WiX identifier" +
         (text.size() > kWixIdentifierLimit ? " (it is " + std::to_string(text.size()) + " characters long)" : "") +
         ": use 1 to " + std::to_string(kWixIdentifierLimit) +
         " ASCII letters, digits, underscores and periods, starting with a letter or an underscore";
}

struct ValueOut {
  std::string attributes;  // Name="..." Type="..." Value="..."
};

// A value as WiX attributes; false when the installer's tables cannot hold its type.
bool WixValue(const RegValue& value, const std::string& modulePath, const std::string& fileId,
              ValueOut* out, std::string* problem) {
  std::string attributes, xmlProblem;
  if (!value.name.empty()) attributes += " Name=\"" + Xml(Formatted(Utf8(value.name)), &xmlProblem) + "\"";
  const std::u16string text = TextUpToNul(value.data);
  if (value.type == REG_SZ && TextData(text) == value.data) {
    // The module's path becomes the installer's reference to the installed file.
    const std::string plain = Utf8(text);
    std::string formatted;
    std::size_t from = 0, at;
    while ((at = plain.find(modulePath, from)) != std::string::npos) {
      formatted += Formatted(plain.substr(from, at - from)) + "[#" + fileId + "]";
      from = at + modulePath.size();
    }
    formatted += Formatted(plain.substr(from));
    attributes += " Type=\"string\" Value=\"" + Xml(formatted, &xmlProblem) + "\"";
  } else if (value.type == REG_DWORD && value.data.size() == 4) {
    const std::uint32_t n = value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                            static_cast<std::uint32_t>(value.data[3]) << 24;
    attributes += " Type=\"integer\" Value=\"" + std::to_string(static_cast<std::int32_t>(n)) + "\"";
  } else if (value.type == REG_BINARY) {
    std::string hex;
    char digits[4];
    for (BYTE b : value.data) {
      std::snprintf(digits, sizeof digits, "%02X", b);
      hex += digits;
    }
    attributes += " Type=\"binary\" Value=\"" + hex + "\"";
  } else {
    *problem = "the value " + RegValueLine(value) +
               " is of a type the WiX fragment cannot express with wixl (multi-string); "
               "export it with --format reg";
    return false;
  }
  if (!xmlProblem.empty()) {
    *problem = "the value " + RegValueLine(value) + ": " + xmlProblem + "; change it in the script";
    return false;
  }
  out->attributes = attributes;
  return true;
}

// The fragment's XML declaration and its comment: what it holds and how to build it.
std::string WixHeader(const ExportedPackage& e, const std::string& fileId, std::string* xmlProblem) {
  const std::string &moduleName = e.moduleName, &stem = e.stem, &arch = e.arch;
  const ModuleFile& moduleFile = e.moduleFile;
  const bool perUser = e.perUser;
  auto Xml = [xmlProblem](const std::string& t) { return check::Xml(t, xmlProblem); };
  std::string text;
  // A comment may not hold "--": the names in it are written with the dashes apart.
  auto commentText = [](std::string t) {
    for (std::size_t at; (at = t.find("--")) != std::string::npos;) t.insert(at + 1, " ");
    return t;
  };
  text = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
  text += "<!-- " + commentText(Xml(moduleName)) + ": its files and what " + (perUser ? "regsvr32 /n /i:user" : "regsvr32") +
          " writes (stub-check export).\n"
          "     Build in the folder holding " + commentText(Xml(moduleName)) + " and " +
          commentText(Xml(stem)) + "/, with a product\n"
          "     source that references the group: wixl -a " + arch +
          " -D SourceDir=. -o " + commentText(Xml(stem)) + ".msi product.wxs THIS.wxs" +
          (moduleFile.hasVersion
               ? "\n     wixl leaves the File table's version empty; set the module's afterwards:\n"
                 "     msibuild " + commentText(Xml(stem)) + ".msi -q \"UPDATE File SET Version = '" +
                     moduleFile.version + "' WHERE File = '" + fileId + "'\"\n    "
               : std::string()) +
          " -->\n";
  return text;
}

// The package's values and the category values as RegistryValue elements,
// each component's first value its key path.
bool WixValues(const ExportedPackage& e, const std::string& placeholder, const std::string& fileId,
               std::string* packageValues, std::string* categoryValues, std::string* problem) {
  std::string xmlProblem;
  auto Xml = [&xmlProblem](const std::string& t) { return check::Xml(t, &xmlProblem); };
  bool packageKeyPath = false, categoryKeyPath = false;
  for (const ExportedKey& k : e.keys) {
    std::string lines;
    const std::string head = "        <RegistryValue Root=\"" + k.root + "\" Key=\"" + Xml(Formatted(k.below)) + "\"";
    if (k.key->values.empty()) {
      // An empty key: made at install and taken away with what is under it at removal.
      lines += head + " Name=\"*\" Type=\"string\" Value=\"\"/>\n";
    }
    for (const auto& [folded, value] : k.key->values) {
      ValueOut v;
      if (!WixValue(value, placeholder, fileId, &v, problem)) return false;
      bool& keyPath = k.category ? categoryKeyPath : packageKeyPath;
      const bool first = !keyPath;
      keyPath = true;
      lines += head + v.attributes + (first ? " KeyPath=\"yes\"" : "") + "/>\n";
    }
    *(k.category ? categoryValues : packageValues) += lines;
  }
  if (!xmlProblem.empty()) {
    *problem = "the WiX fragment cannot be written: " + xmlProblem + "; rename it (XML holds UTF-8 "
               "text without control characters other than tab and line breaks)";
    return false;
  }
  return true;
}

}  // namespace

bool CheckWixOptions(const ParsedLine& options, const std::string& stem, std::string* problem) {
  const std::string directoryId = options.Get("--directory-id", "INSTALLFOLDER");
  const std::string group = options.Get("--group", Identifier(stem));
  if (!ValidIdentifier(directoryId)) {
    *problem = IdentifierProblem("--directory-id", directoryId);
    return false;
  }
  if (!ValidIdentifier(group)) {
    *problem = IdentifierProblem("--group", group);
    return false;
  }
  return true;
}

// A WiX fragment: the module and its package folder as files, the values as
// RegistryValue elements, all in one ComponentGroup.
bool WriteWixFragment(const ExportedPackage& e, std::string* out, std::string* problem) {
  const std::string &moduleName = e.moduleName, &stem = e.stem, &arch = e.arch;
  const std::string directoryId = e.options.Get("--directory-id", "INSTALLFOLDER");
  const std::string group = e.options.Get("--group", Identifier(stem));
  const bool perUser = e.perUser;
  const ModuleFile& moduleFile = e.moduleFile;
  std::string text, xmlProblem;
  auto Xml = [&xmlProblem](const std::string& t) { return check::Xml(t, &xmlProblem); };
  const std::string win64 = arch == "x64" ? " Win64=\"yes\"" : "";
  const std::string base = Identifier(stem);
  const std::string fileId = base + ".module";
  const std::string folderId = base + ".folder";
  // What the components' identifiers are derived from: the same package, architecture
  // and mode always give the same identifiers.
  std::string identity = "package";
  for (const GUID& id : e.install.ids) identity += " " + GuidString(id);
  identity += " " + arch + (perUser ? " per-user" : "") + "|";
  const std::string placeholder = Utf8(e.install.modulePath);
  std::string files, packageValues, categoryValues;
  std::vector<std::string> components;
  auto component = [&](const std::string& id, const std::string& what, const std::string& body,
                       const std::string& indent) {
    components.push_back(id);
    return indent + "<Component Id=\"" + id + "\" Guid=\"" + NamedGuid(what) + "\"" + win64 + ">\n" +
           body + indent + "</Component>\n";
  };
  // The module's file version, for the installer's file replacement rules.
  // WiX writes it into the File table; wixl (0.101) writes no file version at
  // all, so the header comment gives the msibuild command that sets it.
  const std::string version = moduleFile.hasVersion ? " DefaultVersion=\"" + moduleFile.version + "\"" : "";
  files += component(fileId, identity + "file " + moduleName,
                     "        <File Id=\"" + fileId + "\" Name=\"" + Xml(moduleName) +
                         "\" Source=\"$(var.SourceDir)/" + Xml(moduleName) + "\" KeyPath=\"yes\"" +
                         version + "/>\n",
                     "      ");
  std::string folder;
  for (const ScriptFile& script : e.package.scripts) {
    const std::string name = io::FileName(script.realPath);
    const std::string id = base + "." + Identifier(name);
    folder += component(id, identity + "file " + stem + "/" + name,
                        "          <File Id=\"" + id + "\" Name=\"" + Xml(name) + "\" Source=\"$(var.SourceDir)/" +
                            Xml(stem) + "/" + Xml(name) + "\" KeyPath=\"yes\"/>\n",
                        "        ");
  }
  files += "      <Directory Id=\"" + folderId + "\" Name=\"" + Xml(stem) + "\">\n" + folder + "      </Directory>\n";
  if (!WixValues(e, placeholder, fileId, &packageValues, &categoryValues, problem)) return false;
  std::string registry;
  if (!packageValues.empty()) {
    registry += component(base + ".registry", identity + packageValues, packageValues, "      ");
  }
  if (!categoryValues.empty()) {
    // The categories are shared with every other package, those registered by
    // regsvr32 included, which the installer's reference counts never see. So,
    // as self-registration does, removal never takes them: a component without
    // an identifier is written by the installer but never registered, counted
    // or removed (permanent in effect; wixl cannot write the Permanent attribute).
    components.push_back(base + ".categories");
    registry += "      <!-- The component categories, shared by every package: installed, never removed. -->\n"
                "      <Component Id=\"" + base + ".categories\" Guid=\"\"" + win64 + ">\n" +
                categoryValues + "      </Component>\n";
  }
  text = WixHeader(e, fileId, &xmlProblem);
  text += "<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\">\n";
  text += "  <Fragment>\n";
  text += "    <DirectoryRef Id=\"" + directoryId + "\">\n" + files + registry + "    </DirectoryRef>\n";
  text += "    <ComponentGroup Id=\"" + group + "\">\n";
  for (const std::string& id : components) text += "      <ComponentRef Id=\"" + id + "\"/>\n";
  text += "    </ComponentGroup>\n";
  text += "  </Fragment>\n";
  text += "</Wix>\n";
  if (!xmlProblem.empty()) {
    *problem = "the WiX fragment cannot be written: " + xmlProblem + "; rename it (XML holds UTF-8 "
               "text without control characters other than tab and line breaks)";
    return false;
  }
  *out = text;
  return true;
}

}  // namespace check
