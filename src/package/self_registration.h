// Registration and removal of the package: its classes' component categories
// and the package's two registry scripts, read from the package folder on disk.
#pragma once

#include "platform/platform.h"
#include "platform/unique_resource.h"
#include "registrar/script_parser.h"

/// "Tarvo Styles", the category of the `Stub` class.
extern const CATID CATID_TarvoStyles;
/// "Tarvo Texts", the category of the `StubText` class.
extern const CATID CATID_TarvoTexts;

/// Enters `categoryId` (with `description`, at most 127 characters kept, locale
/// 1033) into the component categories and `classId` into that category. Answers
/// the category manager's creation failure, else the class entry's result.
HRESULT RegisterCategory(const char16_t* description, const CLSID& classId,
                         const CATID& categoryId);

/// Loads the whole file at `scriptPath`, decoded from UTF-8, as a new terminated
/// text in a module heap block. `*text` is emptied first and filled only on
/// success. A file that cannot be opened or read whole (a folder, a
/// device, a file that changes while read) shows "Failed to load file!" naming
/// the path and answers E_INVALIDARG; E_OUTOFMEMORY when the text does not fit
/// in memory. Undecodable bytes become U+FFFD and a byte-order mark stays U+FEFF.
HRESULT LoadScriptText(const char16_t* scriptPath, CHeapMemory<char16_t>* text);

/// Runs the script at `scriptPath` in `mode` with %Module% standing for
/// `moduleLongPath`; answers the load failure or the interpreter's result.
HRESULT RunScriptFile(const char16_t* moduleLongPath, const char16_t* scriptPath,
                      ScriptMode mode);

/// Runs `directory`Style.rgs, then, only if that answered S_OK,
/// `directory`StyleText.rgs; answers the first result that is not S_OK, else
/// the second script's result.
HRESULT RunPackageScripts(const char16_t* moduleLongPath, const char16_t* directory,
                          ScriptMode mode);

/// What DllRegisterServer does for this module: re-reads both class identifiers
/// from the package, enters the classes into their categories (failures
/// ignored), runs both scripts in registration mode and answers their result.
/// After a successful run the category entries are made once more, so that a
/// script that replaced its class key cannot leave the class out of its category.
HRESULT RegisterServer();

/// What DllUnregisterServer does for this module: re-reads both class
/// identifiers and runs both scripts in removal mode. Categories stay.
HRESULT UnregisterServer();

/// What DllInstall does for this module. The one command line it knows is
/// "user" (in any letter case): registration (`install` TRUE) or removal for
/// the current user alone. It runs as RegisterServer or UnregisterServer with
/// HKEY_CLASSES_ROOT standing for HKEY_CURRENT_USER\Software\Classes in this
/// process for the duration of the call, restored on every way out; the
/// category entries are written there by the module itself (see
/// RegisterCategoryForUser). Any other command line, a null one included,
/// answers E_INVALIDARG and changes nothing. A failure to redirect answers
/// its error before anything is read or written.
HRESULT InstallServer(BOOL install, const char16_t* commandLine);

/// Writes under HKEY_CLASSES_ROOT, through the module's own registry calls,
/// the two entries the categories manager makes for `classId` in `categoryId`:
/// Component Categories\{category} with the value "409" = `description`, and
/// CLSID\{class}\Implemented Categories\{category}. Answers the first
/// registry failure.
HRESULT RegisterCategoryForUser(const char16_t* description, const CLSID& classId,
                                const CATID& categoryId);
