// The assembly manifest of a package: the module copy as the assembly's one file, each class as a comClass
// with what its script registers (identifier, ProgIDs, threading model, description) and nothing else.
#include "io/checked_files.h"
#include "manifest/manifest.h"
#include "package/package_classes.h"
#include "text/identifiers.h"

namespace check {

ManifestClass RegisteredClass(const GUID& id,
                              const std::function<const RegKey*(const std::string&)>& lookup) {
  // The text of the REG_SZ value `name` of the key at `path`, or empty.
  const auto text = [&lookup](const std::string& path, const std::u16string& name) -> std::string {
    const RegKey* key = lookup(path);
    if (!key) return "";
    auto it = key->values.find(FoldCase(name));
    return it != key->values.end() && it->second.type == REG_SZ ? Utf8(TextUpToNul(it->second.data)) : "";
  };
  const std::string key = "CLSID\\" + GuidString(id);
  return {id, text(key, u""), text(key + "\\InprocServer32", u"ThreadingModel"), text(key + "\\ProgID", u""),
          text(key + "\\VersionIndependentProgID", u"")};
}

bool RegisteredClasses(const Install& install, std::vector<ManifestClass>* classes) {
  if (install.registration.result != S_OK) return false;
  auto lookup = [&](const std::string& path) -> const RegKey* {
    const std::u16string full = FoldCase(install.classesKey + u"\\" + Utf16(path));
    for (const Snapshot* keys : {&install.registered, &install.unchangedClassKeys})
      if (auto it = keys->find(full); it != keys->end()) return &it->second;
    return nullptr;
  };
  classes->clear();
  for (const GUID& id : install.ids) classes->push_back(RegisteredClass(id, lookup));
  return true;
}

bool ValidAssemblyName(const std::string& name, const std::string& moduleName, std::string* problem) {
  // The name is also a file's and a folder's (NAME.manifest, NAME\), so it follows Windows' file names: at
  // most 255 characters with ".manifest", and no device name.
  constexpr std::size_t kLongest = 255 - std::char_traits<char>::length(".manifest");
  const char* const kAllowed = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.";
  const bool valid = !name.empty() && name.size() <= kLongest && DeviceName(name).empty() &&
                     name.find_first_not_of(kAllowed) == std::string::npos && name.front() != '.' &&
                     name.back() != '.' && name.find("..") == std::string::npos;
  if (!valid) {
    *problem = (name.empty() ? "the assembly name is empty" : "cannot name an assembly " + Quoted(name)) +
               ": an assembly's name (which is also its file's, NAME.manifest) takes ASCII letters, digits, "
               "underscores and periods, with no period first, last or two in a row, at most " +
               std::to_string(kLongest) + " characters, and no device name (CON, AUX, COM1, ...)";
    return false;
  }
  if (!NamedAsModule(name, moduleName)) return true;
  *problem = "cannot name the assembly " + Quoted(name) + " after its module " + moduleName +
             ": Windows looks for a private assembly NAME first as NAME.dll, where it finds the module "
             "without a manifest, and stops before NAME.manifest; give it another name (" +
             name + ".Assembly, say)";
  return false;
}

bool WriteAssemblyManifest(const AssemblyFacts& facts, std::string* text, std::string* problem) {
  const std::string arch = ManifestArchitecture(facts.architecture);
  if (arch.empty()) {
    *problem = "the module is for " + facts.architecture + "; a package's manifest is for x86 or x64";
    return false;
  }
  std::string xmlProblem, classes;
  for (std::size_t i = 0; i < facts.classes.size(); ++i) {
    const ManifestClass& c = facts.classes[i];
    const std::string script = Utf8(PackageClasses[i].scriptName), model = Lower(c.threadingModel);
    // The models a comClass can name; without one the class lives in the main apartment (as with no value)
    if (!model.empty() && model != "apartment" && model != "free" && model != "both" && model != "neutral") {
      *problem = script + " registers the threading model " + Quoted(c.threadingModel) + " for " +
                 GuidString(c.clsid) +
                 ", which a manifest cannot name: use Apartment, Free, Both or "
                 "Neutral in the script (or none, for the main apartment)";
      return false;
    }
    // The ProgID COM reports for the class goes in the attribute; the version-independent one, which a client
    // uses to create "the current version", as a progid element of the class.
    std::string first = c.progId, second = c.versionIndependentProgId;
    if (first.empty()) first.swap(second);
    if (Lower(first) == Lower(second)) second.clear();
    classes += "    <comClass clsid=\"" + GuidString(c.clsid) + "\"";
    if (!model.empty()) classes += " threadingModel=\"" + Xml(c.threadingModel, &xmlProblem) + "\"";
    if (!first.empty()) classes += " progid=\"" + Xml(first, &xmlProblem) + "\"";
    if (!c.description.empty()) classes += " description=\"" + Xml(c.description, &xmlProblem) + "\"";
    const std::string element = "<progid>" + Xml(second, &xmlProblem) + "</progid>";
    classes += second.empty() ? "/>\n" : ">\n      " + element + "\n    </comClass>\n";
    if (!xmlProblem.empty()) {
      *problem = "the manifest cannot be written: " + script + " registers " + xmlProblem + " for " +
                 GuidString(c.clsid) + "; change it in the script";
      return false;
    }
  }
  const std::string file = Xml(facts.fileName, &xmlProblem);
  if (!xmlProblem.empty()) {
    *problem = "the module's file name " + xmlProblem + "; rename the package";
    return false;
  }
  // The dependency goes in a comment: the identity to copy into the application's manifest stays the one this
  // assembly carries. A comment may not hold "--": a file name's dashes are written apart there.
  std::string shown = file;
  for (std::size_t at; (at = shown.find("--")) != std::string::npos;) shown.insert(at + 1, " ");
  const std::string identity = "<assemblyIdentity type=\"win32\" name=\"" + facts.name + "\" version=\"" +
                               facts.version + "\" processorArchitecture=\"" + arch + "\"/>\n";
  *text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
      "<!-- " +
      shown +
      " as a side-by-side assembly: its classes as its scripts register them\n"
      "     (stub-check export). Save it as " +
      facts.name +
      ".manifest in the application's folder,\n"
      "     beside " +
      shown +
      " and its package folder. The application's own manifest names it:\n"
      "  <dependency>\n"
      "    <dependentAssembly>\n"
      "      " +
      identity +
      "    </dependentAssembly>\n"
      "  </dependency>\n"
      "-->\n"
      "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
      "  " +
      identity + "  <file name=\"" + file + "\">\n" + classes +
      "  </file>\n"
      "</assembly>\n";
  return true;
}

}  // namespace check
