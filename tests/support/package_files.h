// Package folders with their scripts, for tests: in the emulator's file system
// on Linux, as real files in a fresh temporary folder under Wine.
#pragma once

#include <string>
#include <vector>

/// Files laid out for one test; all of them are removed on destruction.
class PackageFiles {
 public:
  PackageFiles();
  ~PackageFiles();
  PackageFiles(const PackageFiles&) = delete;
  PackageFiles& operator=(const PackageFiles&) = delete;

  /// The folder everything goes under, with a trailing backslash.
  const std::u16string& Root() const { return root_; }
  /// Writes `bytes` to Root() + `relative` (folders are made as needed); answers the path.
  std::u16string Put(const std::u16string& relative, const std::string& bytes);
  /// Writes `name`\Style.rgs and `name`\StyleText.rgs; answers the package directory.
  std::u16string PutPackage(const std::u16string& name, const std::string& style,
                            const std::string& styleText);

 private:
  std::u16string root_;
  std::vector<std::u16string> files_;
  std::vector<std::u16string> folders_;  // made here, removed last-first (Wine)
};

/// A realistic registry script whose class identifier text is `idText`, right
/// after the script's second "{" where the module looks for it.
std::string ScriptWithClassId(const std::string& idText);

/// A package script as an author writes one: a ProgID naming the class, and a
/// class key replaced as a whole (ForceRemove) holding the server path and the
/// threading model. Both keys are described as "Tarvo package".
std::string AuthorScript(const std::string& progId, const std::string& idText,
                         const std::string& threading = "Apartment");
