// The assembly manifest of a package, for registration-free activation: the
// module copy as the assembly's one file, and each class as a comClass with
// what its script registers (identifier, ProgIDs, threading model,
// description) and nothing else. An application whose own manifest depends on
// the assembly creates the classes with nothing in the registry.
#include <cstdio>

#include "manifest/manifest.h"
#include "package/package_classes.h"
#include "new/verbs.h"
#include "package/self_registration.h"
#include "platform/emulated/emulator.h"

namespace check {

namespace {

// The text of REG_SZ data (UTF-16LE with its terminator), or empty.
std::string StringValue(const RegKey* key, const std::u16string& name) {
  if (!key) return "";
  auto it = key->values.find(FoldCase(name));
  if (it == key->values.end() || it->second.type != REG_SZ) return "";
  const std::vector<BYTE>& data = it->second.data;
  std::u16string text;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (c == 0) break;
    text += c;
  }
  return Utf8(text);
}

// Text for an XML attribute or element: markup characters escaped, a tab or
// line break as a character reference so that no parser turns it into a
// blank; a character XML cannot hold sets `problem`.
std::string XmlText(const std::string& text, std::string* problem) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = Utf8Sequence(text, i);
    const unsigned char u = static_cast<unsigned char>(text[i]);
    const bool noncharacter = n == 3 && text.compare(i, 2, "\xEF\xBF") == 0 &&
                              (text[i + 2] == '\xBE' || text[i + 2] == '\xBF');
    if (n == 0 || (u < 0x20 && u != '\t' && u != '\n' && u != '\r') || noncharacter) {
      if (problem->empty()) {
        *problem = Quoted(text) + " holds " +
                   (n == 0 ? std::string("bytes that are not UTF-8") : std::string("a character XML cannot hold"));
      }
      i += n ? n : 1;
      continue;
    }
    switch (text[i]) {
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

// The threading models a comClass can name; without one the class lives in
// the process's main apartment, as a class key without ThreadingModel.
bool ManifestThreadingModel(const std::string& model) {
  const std::string m = Lower(model);
  return m == "apartment" || m == "free" || m == "both" || m == "neutral";
}

}  // namespace

ManifestClass RegisteredClass(const GUID& id, const std::function<const RegKey*(const std::string&)>& lookup) {
  ManifestClass c;
  c.clsid = id;
  const std::string key = "CLSID\\" + GuidString(id);
  c.description = StringValue(lookup(key), u"");
  c.threadingModel = StringValue(lookup(key + "\\InprocServer32"), u"ThreadingModel");
  c.progId = StringValue(lookup(key + "\\ProgID"), u"");
  c.versionIndependentProgId = StringValue(lookup(key + "\\VersionIndependentProgID"), u"");
  return c;
}

bool RegisteredClasses(const Package& package, const Install& install, std::vector<ManifestClass>* classes,
                       std::string* problem) {
  emu::Reset();
  emu::SetModuleFileName(sys::ThisModule(), install.modulePath);
  for (const ScriptFile& script : package.scripts) {
    emu::PutFile(install.directory + Utf16(script.name), script.bytes);
  }
  const HRESULT result = RegisterServer();
  if (result != S_OK) {
    *problem = "registration fails with " + DescribeResult(result);
    return false;
  }
  const Snapshot registry = TakeSnapshot();
  auto lookup = [&registry](const std::string& path) -> const RegKey* {
    auto it = registry.find(FoldCase(u"HKEY_CLASSES_ROOT\\" + Utf16(path)));
    return it == registry.end() ? nullptr : &it->second;
  };
  classes->clear();
  for (const GUID& id : install.ids) classes->push_back(RegisteredClass(id, lookup));
  return true;
}

std::string ManifestArchitecture(const std::string& arch) {
  return arch == "x86" ? "x86" : arch == "x64" ? "amd64" : "";
}

bool NamedAsModule(const std::string& name, const std::string& moduleName) {
  return Lower(name + ".dll") == Lower(moduleName);
}

bool ValidAssemblyName(const std::string& name, const std::string& moduleName, std::string* problem) {
  const std::string rule =
      ": an assembly's name (which is also its file's, NAME.manifest) takes ASCII letters, digits, "
      "underscores and periods, starting with a letter or a digit, with no period at the end or two in a row";
  if (name.empty()) {
    *problem = "the assembly name is empty" + rule;
    return false;
  }
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool letterOrDigit = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (letterOrDigit || c == '_') continue;
    if (c == '.' && i > 0 && i + 1 < name.size() && name[i + 1] != '.') continue;
    *problem = "cannot name an assembly " + Quoted(name) + rule;
    return false;
  }
  if (name[0] == '_') {
    *problem = "cannot name an assembly " + Quoted(name) + rule;
    return false;
  }
  if (NamedAsModule(name, moduleName)) {
    *problem = "cannot name the assembly " + Quoted(name) + " after its module " + moduleName +
               ": Windows looks for a private assembly NAME first as NAME.dll, where it finds the module "
               "without a manifest, and stops before NAME.manifest; give it another name (" + name +
               ".Assembly, say)";
    return false;
  }
  return true;
}

bool WriteAssemblyManifest(const AssemblyFacts& facts, std::string* text, std::string* problem) {
  const std::string arch = ManifestArchitecture(facts.architecture);
  if (arch.empty()) {
    *problem = "the module is for " + facts.architecture + "; a package's manifest is for x86 or x64";
    return false;
  }
  std::string xmlProblem;
  const std::string identity = "type=\"win32\" name=\"" + facts.name + "\" version=\"" + facts.version +
                               "\" processorArchitecture=\"" + arch + "\"";
  std::string classes;
  for (std::size_t i = 0; i < facts.classes.size(); ++i) {
    const ManifestClass& c = facts.classes[i];
    const std::string script = Utf8(PackageClasses[i].scriptName);
    if (!c.threadingModel.empty() && !ManifestThreadingModel(c.threadingModel)) {
      *problem = script + " registers the threading model " + Quoted(c.threadingModel) + " for " +
                 GuidString(c.clsid) + ", which a manifest cannot name: use Apartment, Free, Both or "
                 "Neutral in the script (or none, for the main apartment)";
      return false;
    }
    // The ProgID COM reports for the class goes in the attribute; the
    // version-independent one, which a client uses to create "the current
    // version", as a progid element of the class.
    std::string first = c.progId, second = c.versionIndependentProgId;
    if (first.empty()) first.swap(second);
    if (Lower(first) == Lower(second)) second.clear();
    std::string line = "    <comClass clsid=\"" + GuidString(c.clsid) + "\"";
    if (!c.threadingModel.empty()) line += " threadingModel=\"" + XmlText(c.threadingModel, &xmlProblem) + "\"";
    if (!first.empty()) line += " progid=\"" + XmlText(first, &xmlProblem) + "\"";
    if (!c.description.empty()) line += " description=\"" + XmlText(c.description, &xmlProblem) + "\"";
    if (second.empty()) {
      line += "/>\n";
    } else {
      line += ">\n      <progid>" + XmlText(second, &xmlProblem) + "</progid>\n    </comClass>\n";
    }
    if (!xmlProblem.empty()) {
      *problem = "the manifest cannot be written: " + script + " registers " + xmlProblem +
                 " for " + GuidString(c.clsid) + "; change it in the script";
      return false;
    }
    classes += line;
  }
  const std::string file = XmlText(facts.fileName, &xmlProblem);
  if (!xmlProblem.empty()) {
    *problem = "the module's file name " + xmlProblem + "; rename the package";
    return false;
  }
  // The dependency goes in a comment: the identity to copy into the
  // application's manifest stays the one this assembly carries. A comment
  // may not hold "--": a file name's dashes are written apart there.
  std::string shown = file;
  for (std::size_t at; (at = shown.find("--")) != std::string::npos;) shown.insert(at + 1, " ");
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";
  out += "<!-- " + shown + " as a side-by-side assembly: its classes as its scripts register them\n"
         "     (stub-check export). Save it as " + facts.name + ".manifest in the application's folder,\n"
         "     beside " + shown + " and its package folder. The application's own manifest names it:\n"
         "  <dependency>\n"
         "    <dependentAssembly>\n"
         "      <assemblyIdentity " + identity + "/>\n"
         "    </dependentAssembly>\n"
         "  </dependency>\n"
         "-->\n";
  out += "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n";
  out += "  <assemblyIdentity " + identity + "/>\n";
  out += "  <file name=\"" + file + "\">\n" + classes + "  </file>\n";
  out += "</assembly>\n";
  *text = out;
  return true;
}

}  // namespace check
