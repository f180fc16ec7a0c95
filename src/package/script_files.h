// The package's registry scripts on disk: loading one as text and running
// one or both through the interpreter.
#pragma once

#include "platform/platform.h"
#include "platform/unique_resource.h"
#include "registrar/script_parser.h"

/// Loads the whole file at `scriptPath`, decoded from UTF-8, as a new terminated
/// text in a module heap block. `*text` is emptied first and filled only on
/// success. A file that cannot be opened or read whole (a folder, a
/// device, a file that changes while read) shows "Failed to load file!" naming
/// the path and answers E_INVALIDARG; E_OUTOFMEMORY when the text does not fit
/// in memory. Undecodable bytes become U+FFFD and a byte-order mark stays U+FEFF.
HRESULT LoadScriptText(const char16_t* scriptPath, CHeapMemory<char16_t>* text);

/// Runs the script at `scriptPath` in `mode` with %Module% standing for
/// `moduleLongPath`; answers the load failure or the interpreter's result.
/// `outcome`, when given, receives how the interpreter's run ended (untouched
/// when the script could not be loaded).
HRESULT RunScriptFile(const char16_t* moduleLongPath, const char16_t* scriptPath, ScriptMode mode,
                      ScriptOutcome* outcome = nullptr);

/// How a run of the package's scripts ended, for a caller that explains it
/// (the package checker); the module's own runs ask for none.
struct PackageOutcome {
  /// The row of PackageClasses whose script's result ended the run, or -1
  /// when every script answered S_OK.
  int script = -1;
  /// How that script's interpreter run ended; untouched (all defaults) when
  /// the script could not be loaded.
  ScriptOutcome run;
  /// The rows of PackageClasses whose script removal did not run, because
  /// their class is registered to another module file.
  bool kept[2] = {false, false};
};

/// Runs each script of the package (Style.rgs, then StyleText.rgs) from
/// `directory`, the next only while the last answered S_OK; answers the first
/// result that is not S_OK, else the last script's result. `outcome`, when
/// given, receives which script ended the run and how. In removal, a script
/// whose class the registry names another module file's server (FindClassServer)
/// is not run and counts as S_OK: removing it would take that module's class,
/// and the ProgIDs beside it, from a package that is still installed.
HRESULT RunPackageScripts(const char16_t* moduleLongPath, const char16_t* directory, ScriptMode mode,
                          PackageOutcome* outcome = nullptr);
