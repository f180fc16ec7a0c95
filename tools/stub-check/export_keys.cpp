// stub-check export: what registering a package writes, for an installer to
// write itself instead of running the module's self-registration: as .reg text
// for `reg import`, or as a WiX source fragment with the package's files and
// registry keys, each by its own writer (kWriters); or as the package's
// assembly manifest, for applications that use it without the registry
// (manifest_writer.cpp). The keys come from the module's own registration run over the
// emulated platform on an empty registry, the category entries included.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "checker.h"
#include "command_line.h"
#include "manifest.h"
#include "package/package_classes.h"
#include "package/self_registration.h"
#include "platform/emulated/emulator.h"
#include "verbs.h"

namespace check {

// WiX's identifiers: ASCII letters, digits, underscores and periods, starting
// with a letter or an underscore, at most 72 characters (the width of the
// installer's identifier columns).
constexpr std::size_t kWixIdentifierLimit = 72;

const VerbSpec kExportSpec = {
    "export",
    "[--format reg|wxs|manifest] [--per-user] [--module-path PATH]\n"
    "                         [--directory-id ID] [--group NAME] [--assembly-name NAME] MODULE",
    "MODULE",
    "  Prints exactly what registering the package MODULE (Aurora.dll, its scripts\n"
    "  in Aurora/ beside it) writes on a registry without it, the category entries\n"
    "  included, for an installer to write instead of self-registration; or, with\n"
    "  --format manifest, the package's assembly manifest, for registration-free use.\n",
    {
        {"--format", "reg|wxs", false,
         "reg (default): .reg text for `reg import`, machine-wide under\n"
         "HKEY_LOCAL_MACHINE\\Software\\Classes;\n"
         "wxs: a WiX fragment with the module (and its file version), its\n"
         "package folder and the registry values, the module's path written as [#file];\n"
         "manifest: the package as a side-by-side assembly, for applications that\n"
         "create its classes without the registry (save it as NAME.manifest)"},
        {"--per-user", nullptr, false,
         "the keys a per-user registration writes (regsvr32 /n /i:user),\n"
         "under HKEY_CURRENT_USER\\Software\\Classes"},
        {"--module-path", "PATH", false,
         "reg: the absolute Windows path the module is installed at (required),\n"
         "with the module's own file name; no <>\"|?* or control characters"},
        {"--directory-id", "ID", false, "wxs: the directory the module goes to (default INSTALLFOLDER)"},
        {"--group", "NAME", false, "wxs: the ComponentGroup to define (default: the module's name less .dll)"},
        {"--assembly-name", "NAME", false,
         "manifest: the assembly's name, which names its file NAME.manifest\n"
         "(default: the module's name less .dll, then .Assembly: Fjord.Assembly);\n"
         "ASCII letters, digits, underscores and periods, not the module's own name"},
    },
    "  ID and --group's NAME are WiX identifiers: 1 to 72 ASCII letters, digits, underscores\n"
    "  and periods, starting with a letter or an underscore.\n"
    "  Line breaks, tabs and other control characters in the scripts' values are\n"
    "  written so that they stay what they are (hex(1): in .reg text, &#9; and the\n"
    "  like in XML); a key or value name that .reg or XML text cannot hold is refused.\n"
    "A package with errors is not exported: stub-check check MODULE shows them.\n"
    "exit code: 0 printed, 2 refused or failed (nothing printed)\n"};

namespace {

namespace fs = std::filesystem;

int Refuse(const std::string& message) {
  std::fprintf(stderr, "stub-check export: %s\n", message.c_str());
  return 2;
}

// The package of a module copy, its scripts found as Windows finds them: in any letter case.
void LoadPackage(const std::string& module, Package* package) {
  package->input = module;
  package->moduleName = fs::path(module).filename().string();
  package->realFolder = module.substr(0, module.size() > 4 ? module.size() - 4 : 0) + "/";
  for (int i = 0; i < 2; ++i) {
    package->scripts[i].name = Utf8(PackageClasses[i].scriptName);
    FindScript(package->realFolder, &package->scripts[i]);
  }
}

// The text of REG_SZ data: UTF-16LE less its terminator.
bool TextOf(const std::vector<BYTE>& data, std::u16string* text) {
  if (data.size() < 2 || data.size() % 2 || data[data.size() - 1] || data[data.size() - 2]) return false;
  text->clear();
  for (std::size_t i = 0; i + 2 < data.size(); i += 2) {
    *text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  }
  return true;
}

// One key as an installer writes it: its root and the path below the root.
struct KeyOut {
  std::string root;   // HKLM, HKCU, HKU
  std::string below;  // Software\Classes\CLSID\{...}
  const RegKey* key;
  bool category;      // a component category, shared by every package
};

bool MapKey(const std::u16string& display, bool perUser, KeyOut* out) {
  const std::string path = Utf8(display);
  const std::size_t slash = path.find('\\');
  const std::string head = path.substr(0, slash);
  const std::string rest = slash == std::string::npos ? "" : path.substr(slash + 1);
  if (head == "HKEY_CLASSES_ROOT") {
    out->root = perUser ? "HKCU" : "HKLM";
    out->below = rest.empty() ? "Software\\Classes" : "Software\\Classes\\" + rest;
  } else if (head == "HKEY_LOCAL_MACHINE" || head == "HKEY_CURRENT_USER" || head == "HKEY_USERS") {
    out->root = head == "HKEY_LOCAL_MACHINE" ? "HKLM" : head == "HKEY_CURRENT_USER" ? "HKCU" : "HKU";
    out->below = rest;
  } else {
    return false;
  }
  out->category = Lower(out->below).rfind("software\\classes\\component categories\\", 0) == 0;
  return true;
}

std::string LongRoot(const std::string& root) {
  return root == "HKLM" ? "HKEY_LOCAL_MACHINE" : root == "HKCU" ? "HKEY_CURRENT_USER" : "HKEY_USERS";
}

// Text for an XML attribute or comment. A tab, a line break and a carriage
// return are written as character references, so that no parser turns them
// into blanks; a character XML cannot hold at all (other control characters,
// U+FFFE, U+FFFF) or bytes that are not UTF-8 set `problem`.
std::string Xml(const std::string& text, std::string* problem) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const std::size_t n = Utf8Sequence(text, i);
    const unsigned char u = static_cast<unsigned char>(c);
    if (n == 0 || (u < 0x20 && c != '\t' && c != '\n' && c != '\r') ||
        (n == 3 && text.compare(i, 2, "\xEF\xBF") == 0 && (text[i + 2] == '\xBE' || text[i + 2] == '\xBF'))) {
      if (problem->empty()) {
        *problem = Quoted(text) + " holds " +
                   (n == 0 ? std::string("bytes that are not UTF-8") : std::string("a character XML cannot hold"));
      }
      i += n ? n : 1;
      continue;
    }
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\t': out += "&#9;"; break;
      case '\n': out += "&#10;"; break;
      case '\r': out += "&#13;"; break;
      default: out.append(text, i, n);
    }
    i += n;
  }
  return out;
}

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
  std::u16string text;
  if (value.type == REG_SZ && TextOf(value.data, &text)) {
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

// What the writers write: the package, checked, and the keys its registration writes.
struct Exported {
  std::string moduleName, stem, arch;
  std::string modulePath;  // reg: where the module is installed
  std::string directoryId, group;  // wxs
  bool perUser;
  const ModuleFile& moduleFile;
  const Package& package;
  GUID ids[2];
  std::u16string installPath;  // wxs: the path the keys were made with, replaced by [#file]
  const std::vector<KeyOut>& keys;
  std::string assemblyName;  // manifest
};

// .reg text for `reg import`, with regedit's line ends.
bool WriteReg(const Exported& e, std::string* out, std::string* /*problem: none*/) {
  const std::string &moduleName = e.moduleName, &modulePath = e.modulePath, &arch = e.arch;
  const bool perUser = e.perUser;
  std::string text = "Windows Registry Editor Version 5.00\n\n";
  text += "; " + moduleName + " installed as " + modulePath + ": what " +
          (perUser ? "regsvr32 /n /i:user" : "regsvr32") + " writes (stub-check export)\n";
  if (arch == "x86") {
    text += "; a 32-bit module: on 64-bit Windows import into the 32-bit view:\n"
            ";   reg import FILE /reg:32\n";
  }
  if (!perUser) text += "; machine-wide: import from an elevated prompt\n";
  for (const KeyOut& k : e.keys) {
    text += "\n[" + LongRoot(k.root) + "\\" + k.below + "]\n";
    for (const auto& [folded, value] : k.key->values) text += RegValueLine(value) + "\n";
  }
  // Line ends as regedit writes them; reg import reads either.
  out->clear();
  for (char c : text) *out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return true;
}

// A WiX fragment: the module and its package folder as files, the values as
// RegistryValue elements, all in one ComponentGroup.
bool WriteWix(const Exported& e, std::string* out, std::string* problem) {
  const std::string &moduleName = e.moduleName, &stem = e.stem, &arch = e.arch;
  const bool perUser = e.perUser;
  const ModuleFile& moduleFile = e.moduleFile;
  std::string text, xmlProblem;
  auto Xml = [&xmlProblem](const std::string& t) { return check::Xml(t, &xmlProblem); };
  const std::string win64 = arch == "x64" ? " Win64=\"yes\"" : "";
  const std::string base = Identifier(stem);
  const std::string fileId = base + ".module";
  const std::string folderId = base + ".folder";
  const std::string identity = "package " + GuidString(e.ids[0]) + " " + GuidString(e.ids[1]) +
                         " " + arch + (perUser ? " per-user" : "") + "|";
  const std::string placeholder = Utf8(e.installPath);
  std::string files, packageValues, categoryValues;
  bool packageKeyPath = false, categoryKeyPath = false;  // each component's first value is its key path
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
    const std::string name = fs::path(script.realPath).filename().string();
    const std::string id = base + "." + Identifier(name);
    folder += component(id, identity + "file " + stem + "/" + name,
                        "          <File Id=\"" + id + "\" Name=\"" + Xml(name) + "\" Source=\"$(var.SourceDir)/" +
                            Xml(stem) + "/" + Xml(name) + "\" KeyPath=\"yes\"/>\n",
                        "        ");
  }
  files += "      <Directory Id=\"" + folderId + "\" Name=\"" + Xml(stem) + "\">\n" + folder + "      </Directory>\n";
  for (const KeyOut& k : e.keys) {
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
    (k.category ? categoryValues : packageValues) += lines;
  }
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
  text += "<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\">\n";
  text += "  <Fragment>\n";
  text += "    <DirectoryRef Id=\"" + e.directoryId + "\">\n" + files + registry + "    </DirectoryRef>\n";
  text += "    <ComponentGroup Id=\"" + e.group + "\">\n";
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

// The assembly manifest: the module and its classes as registration leaves them.
bool WriteManifest(const Exported& e, std::string* out, std::string* problem) {
  if (!e.moduleFile.hasVersion) {
    *problem = e.moduleName + " has no version resource, and an assembly's identity needs the "
               "module's version: give a copy of Stub.dll";
    return false;
  }
  AssemblyFacts facts;
  facts.name = e.assemblyName;
  facts.version = e.moduleFile.version;
  facts.architecture = e.arch;
  facts.fileName = e.moduleName;
  auto lookup = [&e](const std::string& path) -> const RegKey* {
    const std::string below = Lower("Software\\Classes\\" + path);
    for (const KeyOut& k : e.keys) {
      if (Lower(k.below) == below) return k.key;
    }
    return nullptr;
  };
  for (int i = 0; i < 2; ++i) facts.classes[i] = RegisteredClass(e.ids[i], lookup);
  return WriteAssemblyManifest(facts, out, problem);
}

// One writer per format: a new format is one function and one row.
struct Writer {
  const char* format;
  bool (*write)(const Exported&, std::string* text, std::string* problem);
};
constexpr Writer kWriters[] = {{"reg", WriteReg}, {"wxs", WriteWix}, {"manifest", WriteManifest}};

}  // namespace

int ExportCommand(const std::vector<std::string>& args) {
  ParsedLine line;
  std::string problem;
  if (!ParseCommandLine(kExportSpec, args, &line, &problem)) return Refuse(problem);
  if (line.help) return PrintChecked("stub-check export", Usage(kExportSpec)) ? 0 : 2;
  const std::string format = line.Get("--format", "reg"), modulePath = line.Get("--module-path");
  const std::string directoryId = line.Get("--directory-id", "INSTALLFOLDER");
  std::string group = line.Get("--group");
  const bool perUser = line.Has("--per-user");
  if (line.operands.empty() || line.operands[0].empty()) {
    return Refuse("no module given: name the package's module copy (stub-check export Aurora.dll; "
                  "stub-check export --help)");
  }
  const std::string module = line.operands[0];
  const Writer* writer = nullptr;
  for (const Writer& w : kWriters) {
    if (format == w.format) writer = &w;
  }
  if (!writer) return Refuse("--format must be reg, wxs or manifest, not " + Quoted(format));
  const std::string arch = ModuleArchitecture(module, &problem);
  if (arch.empty()) return Refuse(module + ": " + problem + " (give the module copy, Aurora.dll)");
  // Its version, for the installer's file table.
  std::string moduleBytes;
  if (!ReadRegularFile(module, kModuleSizeLimit, &moduleBytes, &problem)) {
    return Refuse("cannot read " + module + ": " + problem);
  }
  const ModuleFile moduleFile = ReadModuleFile(module, true, moduleBytes);
  std::string().swap(moduleBytes);

  const std::string moduleName = fs::path(module).filename().string();
  const std::string stem = moduleName.substr(0, moduleName.size() > 4 ? moduleName.size() - 4 : 0);
  if (ShowBytes(moduleName) != moduleName) {
    return Refuse("the module's file name " + Quoted(moduleName) + " is not UTF-8 text, which .reg and "
                  "WiX text must be: rename the package to a UTF-8 name");
  }
  if (format != "manifest" && line.Has("--assembly-name")) {
    return Refuse("--assembly-name is for --format manifest");
  }
  // By default the module's name and ".Assembly": an assembly named as its
  // module would be looked for in the module file itself (NAME.dll comes
  // before NAME.manifest in Windows' search for a private assembly).
  const std::string assemblyName = line.Get("--assembly-name", stem + ".Assembly");
  if (format == "reg") {
    if (modulePath.empty()) {
      return Refuse("--module-path PATH is required for --format reg: the keys name the module's "
                    "installed path (e.g. --module-path \"C:\\Program Files\\Tarvo\\" + moduleName + "\")");
    }
    if (!CheckWindowsModulePath(modulePath, &problem)) {
      return Refuse("--module-path " + Quoted(modulePath) + ": " + problem +
                    "; give the path the module is installed at, C:\\...\\" + moduleName);
    }
    const std::string installedName = modulePath.substr(modulePath.rfind('\\') + 1);
    if (Lower(installedName) != Lower(moduleName)) {
      return Refuse("--module-path names the file " + installedName + ", but the module is " +
                    moduleName + ": installed under another name it would look for its scripts in "
                    "another folder");
    }
  } else if (format == "manifest") {
    // The assembly is the module and its folder where the application is:
    // nothing is installed anywhere, for the machine or for a user.
    for (const char* option : {"--module-path", "--per-user", "--directory-id", "--group"}) {
      if (line.Has(option)) {
        return Refuse(std::string(option) + " is for --format reg or wxs: a manifest names the module "
                      "beside it and writes no registry key");
      }
    }
    if (!ValidAssemblyName(assemblyName, moduleName, &problem)) {
      return Refuse(problem + (line.Has("--assembly-name") ? "" : "; give another with --assembly-name NAME"));
    }
  } else {
    if (!modulePath.empty()) {
      return Refuse("--module-path is for --format reg: in the WiX fragment the installer names "
                    "the installed file itself ([#file])");
    }
    if (group.empty()) group = Identifier(stem);
    if (!ValidIdentifier(directoryId)) return Refuse(IdentifierProblem("--directory-id", directoryId));
    if (!ValidIdentifier(group)) return Refuse(IdentifierProblem("--group", group));
  }

  // The package checked as installed where its keys will point; one with errors is not exported.
  Package package;
  LoadPackage(module, &package);
  const std::u16string installPath =
      Utf16(format == "reg" ? modulePath : "C:\\Program Files\\O'Brien's Packages\\" + moduleName);
  emu::Reset();  // from an empty registry
  const Install install = RunInstall(package, installPath);
  std::vector<Finding> findings = install.findings;
  CheckPackage(package, install, &findings);
  int errors = 0;
  for (const Finding& f : findings) {
    if (f.severity != Severity::kError || ToldByScriptProblem(package, f)) continue;
    if (++errors <= 3) std::fprintf(stderr, "stub-check export: %s%s%s\n", f.file.c_str(), f.file.empty() ? "" : ": ", f.message.c_str());
  }
  if (errors) return Refuse("the package has " + std::to_string(errors) + " error(s); nothing exported "
                            "(stub-check check " + module + " shows them)");

  // Registration once more, this time keeping the registry it leaves.
  emu::Reset();
  emu::SetModuleFileName(sys::ThisModule(), installPath);
  for (const ScriptFile& script : package.scripts) {
    emu::PutFile(install.directory + Utf16(script.name), script.bytes);
  }
  const HRESULT result = perUser ? InstallServer(TRUE, u"user") : RegisterServer();
  if (result != S_OK) {
    return Refuse(std::string(perUser ? "per-user " : "") + "registration fails with " +
                  DescribeResult(result) + "; stub-check check " + module + " shows why");
  }
  const Snapshot registry = TakeSnapshot();

  // What an installer writes: keys with values, and keys that are empty leaves;
  // keys made only on the way to others come with them.
  std::vector<KeyOut> keys;
  for (auto it = registry.begin(); it != registry.end(); ++it) {
    auto next = std::next(it);
    const bool hasSubkeys = next != registry.end() && next->first.size() > it->first.size() &&
                            next->first.compare(0, it->first.size(), it->first) == 0 &&
                            next->first[it->first.size()] == u'\\';
    if (it->second.values.empty() && hasSubkeys) continue;
    KeyOut out;
    out.key = &it->second;
    if (!MapKey(it->second.path, perUser, &out)) {
      return Refuse("registration writes " + Utf8(it->second.path) + ", under a root installers cannot write");
    }
    // Every name must survive the text it is written in.
    if (!RegNameWritable(it->second.path)) {
      return Refuse("registration writes the key " + Quoted(Utf8(it->second.path)) +
                    ", whose name holds a line break or another control character that .reg and "
                    "installer text cannot hold; rename the key in the script");
    }
    for (const auto& [folded, value] : it->second.values) {
      if (!RegNameWritable(value.name)) {
        return Refuse("registration writes the value " + Quoted(Utf8(value.name)) + " under " +
                      Utf8(it->second.path) + ", whose name holds a line break or another control "
                      "character that .reg and installer text cannot hold; rename it in the script");
      }
    }
    keys.push_back(out);
  }
  if (perUser) {
    for (const KeyOut& k : keys) {
      if (k.root == "HKCU") continue;
      std::fprintf(stderr,
                   "stub-check export: warning: the scripts write %s\\%s, outside the classes root: a "
                   "per-user install runs without elevation and cannot write there, and the key is "
                   "not the user's; write every key under HKCR for a per-user package\n",
                   LongRoot(k.root).c_str(), k.below.c_str());
      break;
    }
  }

  const Exported exported{moduleName, stem,       arch,    modulePath,
                          directoryId, group,     perUser, moduleFile,
                          package,     {install.ids[0], install.ids[1]}, installPath, keys,
                          assemblyName};
  std::string text;
  if (!writer->write(exported, &text, &problem)) return Refuse(problem);
  return PrintChecked("stub-check export", text) ? 0 : 2;
}

}  // namespace check
