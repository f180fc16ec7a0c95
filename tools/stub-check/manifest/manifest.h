// Registration-free packages: the assembly manifest that lets an application create a package's classes with
// nothing in the registry, as `export --format manifest` writes it and `check --manifest` reads it back.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "checks/package.h"
#include "findings/finding.h"
#include "io/file_system.h"
#include "registry/registry_state.h"
#include "text/text.h"

namespace check {

/// One class as its script registers it, in a comClass's terms; an empty string where none is registered.
struct ManifestClass {
  GUID clsid = {};
  std::string description;               // the class key's default value
  std::string threadingModel;            // InprocServer32's ThreadingModel
  std::string progId;                    // the class key's ProgID
  std::string versionIndependentProgId;  // its VersionIndependentProgID
};

/// What a package's assembly manifest says.
struct AssemblyFacts {
  std::string name;                    // the assembly's name, which names NAME.manifest
  std::string version;                 // the module's file version, four parts
  std::string architecture;            // the module's: "x86" or "x64"
  std::string fileName;                // the module copy's file name, "Fjord.dll"
  std::vector<ManifestClass> classes;  // one per row of PackageClasses
  const FileSystem* files =
      nullptr;  // where the assemblies it depends on are looked for; null: SystemFiles()
};

/// The class `id` as the registration left it; `lookup` answers a key below the classes root, or null.
ManifestClass RegisteredClass(const GUID& id, const std::function<const RegKey*(const std::string&)>& lookup);

/// The classes as `install`'s registration left them (its keys over those it left); false if it failed.
bool RegisteredClasses(const Install& install, std::vector<ManifestClass>* classes);

/// The processorArchitecture of a module of `arch` ("x86" or "x64"): "x86" or "amd64"; empty for any other.
inline std::string ManifestArchitecture(const std::string& arch) {
  return arch == "x86" ? "x86" : arch == "x64" ? "amd64" : "";
}

/// Whether Windows looks for an assembly of this name as `moduleName` itself (NAME.dll), with no manifest.
inline bool NamedAsModule(const std::string& name, const std::string& moduleName) {
  return Lower(name + ".dll") == Lower(moduleName);
}

/// Whether `name` can name the assembly of `moduleName`, and the file NAME.manifest; else `problem` says why.
bool ValidAssemblyName(const std::string& name, const std::string& moduleName, std::string* problem);

/// The assembly manifest of `facts`, the dependency on it in a comment; false if a value cannot stand in it.
bool WriteAssemblyManifest(const AssemblyFacts& facts, std::string* text, std::string* problem);

/// What a manifest is checked against: the module copy (no architecture unless x86 or x64) and its classes.
struct ManifestExpectation {
  std::string moduleName, architecture;
  bool classesKnown = false;           // its registration ran
  std::vector<ManifestClass> classes;  // one per row of PackageClasses
  const FileSystem* files =
      nullptr;  // where the assemblies it depends on are looked for; null: SystemFiles()
};

/// A finding for each way `bytes`, the manifest `file`, is no assembly manifest or differs from `expected`.
void CheckManifest(const std::string& file, const std::string& bytes, const ManifestExpectation& expected,
                   std::vector<Finding>* findings);

}  // namespace check
