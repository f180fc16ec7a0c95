#include "package/self_registration.h"

#include "package/class_identity.h"
#include "package/component_categories.h"
#include "package/module_path.h"
#include "package/registration_turn.h"
#include "package/script_files.h"
#include "platform/hresult.h"
#include "platform/unique_resource.h"
#include "server/server_module.h"

namespace {

// Makes HKEY_CLASSES_ROOT stand for the current user's classes key in this
// process, held by `redirection` until it is given back.
HRESULT RedirectClassesToUser(CKeyOverride* redirection) {
  CUniqueKey userClasses;
  LONG status =
      sys::RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Classes", 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, userClasses.Put(), nullptr);
  if (status == ERROR_SUCCESS) {
    status = sys::RegOverridePredefKey(HKEY_CLASSES_ROOT, userClasses.Get());
  }
  if (status != ERROR_SUCCESS) return HResultFromWin32(status);
  redirection->Reset(HKEY_CLASSES_ROOT);
  return S_OK;
}  // the redirection keeps its own reference to the key closed here

HRESULT Register(CategoryWriter writeCategory, PackageOutcome* outcome) {
  char16_t longPath[kModulePathCapacity];
  char16_t directory[kModulePathCapacity];
  // The scripts on disk may have changed since the module was loaded.
  HRESULT result = LocateThisPackage(longPath, directory);
  if (FAILED(result)) return result;

  CRegistrationTurn turn(longPath);
  EnterPackageCategories(writeCategory);
  result = RunPackageScripts(longPath, directory, ScriptMode::kRegister, outcome);
  // A script that replaces its class key (ForceRemove) deletes the category
  // entries just made; entering them again makes a successful registration
  // always end with the classes in their categories.
  if (SUCCEEDED(result)) EnterPackageCategories(writeCategory);
  return result;
}

}  // namespace

HRESULT RegisterServer(PackageOutcome* outcome) { return Register(RegisterCategory, outcome); }

HRESULT UnregisterServer(PackageOutcome* outcome) {
  char16_t longPath[kModulePathCapacity];
  char16_t directory[kModulePathCapacity];
  // The scripts on disk may have changed since the module was loaded.
  HRESULT result = LocateThisPackage(longPath, directory);
  if (FAILED(result)) return result;
  CRegistrationTurn turn(longPath);
  return RunPackageScripts(longPath, directory, ScriptMode::kRemove, outcome);
}

HRESULT InstallServer(BOOL install, const char16_t* commandLine, PackageOutcome* outcome) {
  if (!commandLine || sys::lstrcmpiW(commandLine, u"user") != 0) return E_INVALIDARG;
  CKeyOverride redirection;
  HRESULT result = RedirectClassesToUser(&redirection);
  if (FAILED(result)) return result;
  result = install ? Register(RegisterCategoryForUser, outcome) : UnregisterServer(outcome);
  // Should the root stay redirected, every later HKCR call of the host process
  // would land in the user's classes: a clean run that cannot give it back fails.
  const LONG restored = redirection.Close();
  if (SUCCEEDED(result) && restored != ERROR_SUCCESS) return HResultFromWin32(restored);
  return result;
}
