// Registration and removal of the package, machine-wide or for one user: its
// classes' component categories and the package's registry scripts.
#pragma once

#include "package/script_files.h"
#include "platform/platform.h"

/// What DllRegisterServer does for this module: re-reads both class identifiers
/// from the package, enters the classes into their categories (failures
/// ignored), runs both scripts in registration mode and answers their result.
/// After a successful run the category entries are made once more, so that a
/// script that replaced its class key cannot leave the class out of its category.
/// `outcome`, when given, receives how the scripts' run ended (see RunPackageScripts).
/// Runs of the same module file, in any process, take turns (CRegistrationTurn).
HRESULT RegisterServer(PackageOutcome* outcome = nullptr);

/// What DllUnregisterServer does for this module: re-reads both class
/// identifiers and runs both scripts in removal mode, in turn with other runs
/// of the same module file. A class registered to another module file keeps
/// its keys (see RunPackageScripts). Categories stay.
HRESULT UnregisterServer(PackageOutcome* outcome = nullptr);

/// What DllInstall does for this module. The one command line it knows is
/// "user" (in any letter case): registration (`install` TRUE) or removal for
/// the current user alone. It runs as RegisterServer or UnregisterServer with
/// HKEY_CLASSES_ROOT standing for HKEY_CURRENT_USER\Software\Classes in this
/// process for the duration of the call, restored on every way out; the
/// category entries are written there by the module itself (see
/// RegisterCategoryForUser). Any other command line, a null one included,
/// answers E_INVALIDARG and changes nothing. A failure to redirect answers
/// its error before anything is read or written; a failure to give the
/// redirection back answers its error when the work itself succeeded.
HRESULT InstallServer(BOOL install, const char16_t* commandLine, PackageOutcome* outcome = nullptr);
