// stub-check export --format manifest: the package as a side-by-side assembly, its classes as registered.
#include "export/export_format.h"
#include "manifest/manifest.h"

namespace check {

bool CheckManifestOptions(const ParsedLine& options, const std::string& stem, std::string* problem) {
  // The assembly is the module and its folder where the application is:
  // nothing is installed anywhere, for the machine or for a user.
  for (const char* option : {"--per-user", "--directory-id", "--group"}) {
    if (!options.Has(option)) continue;
    *problem = std::string(option) +
               " is for --format reg or wxs: a manifest names the module "
               "beside it and writes no registry key";
    return false;
  }
  // By default NAME.Assembly: an assembly named as its module would be looked
  // for in NAME.dll, which comes before NAME.manifest in Windows' search.
  if (ValidAssemblyName(options.Get("--assembly-name", stem + ".Assembly"), stem + ".dll", problem))
    return true;
  if (!options.Has("--assembly-name")) *problem += "; give another with --assembly-name NAME";
  return false;
}

bool WriteManifestFile(const ExportedPackage& e, std::string* out, std::string* problem) {
  if (!e.moduleFile.hasVersion) {
    *problem = e.moduleName +
               " has no version resource, and an assembly's identity needs the "
               "module's version: give a copy of Stub.dll";
    return false;
  }
  AssemblyFacts facts;
  facts.name = e.options.Get("--assembly-name", e.stem + ".Assembly");
  facts.version = e.moduleFile.version;
  facts.architecture = e.arch;
  facts.fileName = e.moduleName;
  auto lookup = [&e](const std::string& path) -> const RegKey* {
    const std::string below = Lower("Software\\Classes\\" + path);
    const auto same = [&below](const ExportedKey& k) { return Lower(k.below) == below; };
    const auto key = std::find_if(e.keys.begin(), e.keys.end(), same);
    return key == e.keys.end() ? nullptr : key->key;
  };
  for (const GUID& id : e.install.ids) facts.classes.push_back(RegisteredClass(id, lookup));
  return WriteAssemblyManifest(facts, out, problem);
}

}  // namespace check
