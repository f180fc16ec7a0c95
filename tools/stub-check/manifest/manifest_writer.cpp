// The assembly manifest of a package, for registration-free activation: the
// module copy as the assembly's one file, and each class as a comClass with
// what its script registers (identifier, ProgIDs, threading model,
// description) and nothing else. An application whose own manifest depends on
// the assembly creates the classes with nothing in the registry.
#include <cstdio>

#include "manifest/manifest.h"
#include "package/package_classes.h"
#include "io/checked_files.h"
#include "text/text.h"

namespace check {

namespace {

// The text of REG_SZ data (UTF-16LE with its terminator), or empty.
std::string StringValue(const RegKey* key, const std::u16string& name) {
  if (!key) return "";
  auto it = key->values.find(FoldCase(name));
  if (it == key->values.end() || it->second.type != REG_SZ) return "";
  return Utf8(TextUpToNul(it->second.data));
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

bool RegisteredClasses(const Install& install, std::vector<ManifestClass>* classes) {
  if (install.registration.result != S_OK) return false;
  RegKey unchanged;
  auto lookup = [&](const std::string& path) -> const RegKey* {
    const std::u16string full = install.classesKey + u"\\" + Utf16(path);
    auto it = install.registered.find(FoldCase(full));
    if (it != install.registered.end()) return &it->second;
    return ReadRegKey(full, &unchanged) ? &unchanged : nullptr;
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
  // The name is also a file's and a folder's (NAME.manifest, NAME\), so it
  // follows Windows' file names: at most 255 characters with ".manifest", and
  // no device name.
  constexpr std::size_t kLongest = 255 - std::char_traits<char>::length(".manifest");
  const std::string rule =
      ": an assembly's name (which is also its file's, NAME.manifest) takes ASCII letters, digits, "
      "underscores and periods, with no period first, last or two in a row, at most " +
      std::to_string(kLongest) + " characters, and no device name (CON, AUX, COM1, ...)";
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
  if (name.size() > kLongest || !DeviceName(name).empty()) {
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
    if (!c.threadingModel.empty()) line += " threadingModel=\"" + Xml(c.threadingModel, &xmlProblem) + "\"";
    if (!first.empty()) line += " progid=\"" + Xml(first, &xmlProblem) + "\"";
    if (!c.description.empty()) line += " description=\"" + Xml(c.description, &xmlProblem) + "\"";
    if (second.empty()) {
      line += "/>\n";
    } else {
      line += ">\n      <progid>" + Xml(second, &xmlProblem) + "</progid>\n    </comClass>\n";
    }
    if (!xmlProblem.empty()) {
      *problem = "the manifest cannot be written: " + script + " registers " + xmlProblem +
                 " for " + GuidString(c.clsid) + "; change it in the script";
      return false;
    }
    classes += line;
  }
  const std::string file = Xml(facts.fileName, &xmlProblem);
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
