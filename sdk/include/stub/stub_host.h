// The host library (Stub::Host, libstubhost.a): what an application that uses
// style packages needs to find them, tell which of them can work, and create
// their classes without ever loading a package that would stop the process
// on a message box. C++ with the Windows headers only; link ole32, oleaut32,
// uuid and advapi32 (the CMake target Stub::Host does).
//
//   std::vector<stub::host::Package> packages;
//   HRESULT hr = stub::host::FindRegisteredPackages(packages);  // lists, pairs, checks
//   for (stub::host::Package& package : packages) {
//     if (package.state() != stub::host::State::Ready) continue;  // the reason is in state()
//     IUnknown* style = nullptr;
//     hr = stub::host::CreateClass(package, stub::host::ClassKind::Style, IID_IUnknown,
//                                  reinterpret_cast<void**>(&style));
//   }
//
// A package is the classes one module file serves. Packages are found either
// through the two component categories (FindRegisteredPackages,
// Origin::Registry) or, registered nowhere, in a folder of the application's
// own (FindFolderPackages, Origin::Folder), where each is created through its
// assembly manifest. The checks, the creation and the trial take a package
// whatever its origin.
//
// No function here loads a package's module except CreateClass and
// TryPackage, and both check the package again first and refuse one that
// would show a box while it loads.
#ifndef STUB_STUB_HOST_H
#define STUB_STUB_HOST_H

#include <windows.h>
#include <objbase.h>

#include <string>
#include <vector>

#include "stub/stub_categories.h"

namespace stub {
namespace host {

/// The style (category Tarvo Styles, its identifier in Style.rgs) or the
/// text style (Tarvo Texts, StyleText.rgs) of a package.
enum class ClassKind { Style, Text };

/// Where a package was found.
enum class Origin {
  Registry,  ///< through the component categories; its classes' keys under HKCR\CLSID
  Folder,    ///< in a folder the application names: NAME.dll, the folder NAME and the
             ///< package's assembly manifest side by side; nothing registered
};

/// The state of a class or a package. StateName gives the word the sample
/// host prints; docs/hosts.md says what each means and what to do about it.
enum class State {
  Unchecked,          ///< "unchecked": not checked yet
  Ready,              ///< "ready": every check passed; not created yet
  Working,            ///< "working": created (and, by TryPackage, released)
  NoServer,           ///< "no-server": no InprocServer32 key (a removed package's stale entry)
  PathTooLong,        ///< "path-too-long": the module path has MAX_PATH (260) characters or more
  ModuleMissing,      ///< "module-missing": the module file is not there
  NotAModule,         ///< "not-a-module": the file is no PE image
  OtherArchitecture,  ///< "other-architecture": a module of another machine than this process
  FolderMissing,      ///< "folder-missing": the package folder is not there
  ScriptMissing,      ///< "script-missing": nothing is there as Style.rgs or StyleText.rgs
  ScriptUnreadable,   ///< "script-unreadable": something is there as a script but cannot be read
                      ///< as one (a folder, a pipe, a link in a circle, a file that will not open)
  BadIdentifier,      ///< "bad-identifier": a script's class identifier does not parse (the module would show "Invalid GUID!")
  Stale,              ///< "stale": registered for this module, but its script names another identifier now
  Changed,            ///< "changed": its registration names another module now than when found
  CreateFailed,       ///< "create-failed": the checks passed, the creation failed (Class::result;
                      ///< CLASS_E_CLASSNOTAVAILABLE: the module file serves none of the classes
                      ///< its scripts name, so it is no package module, the engine's DLL say;
                      ///< REGDB_E_CLASSNOTREG: the engine is not installed)
  TimedOut,           ///< "timed-out": TryPackage's time limit ran out before the creation ended
  NoStyle,            ///< "no-style" (packages only): the module serves no style class
  NoText,             ///< "no-text" (packages only): the module serves no text style class
  ManifestMissing,    ///< "manifest-missing" (Origin::Folder): no assembly manifest of the module beside it
  BadManifest,        ///< "bad-manifest" (Origin::Folder): the manifest is refused (Class::result):
                      ///< by the library's own screen before the system sees it (an ERROR_SXS_
                      ///< code), as unreadable (a folder, a pipe), or by the system
  NotInManifest,      ///< "not-in-manifest" (Origin::Folder): the manifest has no comClass of the
                      ///< identifier the script names under the module's file name
  BadServer,          ///< "bad-server": an InprocServer32 key whose default value is no module
                      ///< path (missing, empty, or not a string: a REG_DWORD, say)
  SameIdentifier,     ///< "same-identifier": both scripts name one identifier, so the module
                      ///< serves both classes as that one class (Class::path: StyleText.rgs)
};

/// The lower-case word for a state ("working", "no-server", ...).
const char* StateName(State state);

/// One class found for a package, with what its registration says and what
/// the checks found.
struct Class {
  ClassKind kind = ClassKind::Style;
  CLSID clsid = {};
  std::wstring description;     ///< the class key's default value
  std::wstring progId;          ///< the ProgID subkey's default value
  std::wstring threadingModel;  ///< InprocServer32's ThreadingModel value
                                ///< (Origin::Folder: description, progId and threadingModel
                                ///< are the comClass entry's in the assembly manifest)
  bool hasServer = false;       ///< an InprocServer32 key is there
  std::wstring serverPath;      ///< InprocServer32's default value (REG_EXPAND_SZ expanded)

  State state = State::Unchecked;
  HRESULT result = S_OK;        ///< CreateFailed: what the creation answered;
                                ///< BadManifest: why the activation context was refused
  WORD machine = 0;             ///< OtherArchitecture: the module's IMAGE_FILE_HEADER::Machine
  std::wstring path;            ///< FolderMissing: the folder; ScriptMissing, ScriptUnreadable,
                                ///< BadIdentifier: the script; PathTooLong: the module path
  std::wstring identifierText;  ///< BadIdentifier: the text the scan found (what the box would show)
  CLSID scriptClsid = {};       ///< Stale: the identifier the script names now
};

/// The classes one module file serves. The pair in use (the classes whose
/// identifiers the scripts name now) comes first, style then text; classes
/// registered for the same module whose identifiers the scripts no longer
/// name follow as Stale (a package registered again with new identifiers
/// keeps its old class keys). A class without an InprocServer32 key has no
/// module to pair by and is a package of its own.
struct Package {
  Origin origin = Origin::Registry;
  /// The path the module will know itself by: a full server path of fewer
  /// than MAX_PATH characters as the loader names the file it opens (the
  /// system's full form: "." and ".." resolved, the trailing points and
  /// blanks the file system ignores dropped, so C:\P\Trail.dll. is
  /// C:\P\Trail.dll), in its long form where that has fewer than MAX_PATH
  /// characters; else the server path as registered (the module itself
  /// falls back so). Empty without a server.
  std::wstring modulePath;
  /// The package folder: modulePath less its last four characters.
  std::wstring folder;
  /// Origin::Folder: the assembly manifest the classes are created through
  /// (where it is expected when it is missing). Empty otherwise.
  std::wstring manifestPath;
  std::vector<Class> classes;

  /// The style and the text style in use, or null where there is none.
  Class* style();
  Class* text();
  const Class* style() const;
  const Class* text() const;
  /// The package's state: the first of the pair in use (style, then text)
  /// that is not Working or Ready; else NoStyle or NoText where one is
  /// missing (a kind whose only classes are stale reports Stale); else
  /// Working when both were created, else Ready. Stale classes beside a
  /// complete pair do not change it.
  State state() const;
};

/// The machine of this process's modules (IMAGE_FILE_MACHINE_AMD64 or _I386).
WORD HostMachine();

/// Lists the classes of both categories as the registry view of this
/// process's kind holds them, pairs them into packages (in the order of
/// their module paths, compared without regard to case, packages without a
/// server last) and checks each (CheckPackage). Loads no package module.
/// The classes are those the component categories manager lists for each
/// category when no required category is offered (a class with a Required
/// Categories entry is left out), read from the class keys in one pass for
/// both categories. COM must be initialised on the calling thread. Fails
/// only when the class keys cannot be read (the registry's error).
HRESULT FindRegisteredPackages(std::vector<Package>& packages);

/// Lists the packages an application keeps in `folder` without registering
/// them: every NAME.dll there (of any kind) with a folder NAME beside it. Each
/// package's two classes are those its scripts name, described by the comClass
/// entries of its assembly manifest beside the module: NAME.Assembly.manifest
/// (the name stub-check export gives the assembly), else NAME.manifest, else
/// another .manifest there whose file element names NAME.dll. Nothing is
/// read from the registry and the categories play no part. Packages come in
/// the order of their module paths, each checked (CheckPackage). Loads no
/// package module. Fails only when the folder cannot be listed
/// (HRESULT_FROM_WIN32 of the error; a folder that is not there gives
/// ERROR_PATH_NOT_FOUND or ERROR_FILE_NOT_FOUND).
HRESULT FindFolderPackages(const std::wstring& folder, std::vector<Package>& packages);

/// Checks a package without loading its module, setting the state of each
/// class: server key, module path length, module file, its machine, the
/// package folder, both scripts, the identifier each script names (scanned
/// as the module scans it, then parsed with CLSIDFromString as the module
/// does), and each class's identifier against the one its script names now.
/// Every class of a package that passes is Ready, Stale ones aside. A package
/// of Origin::Folder takes its two classes from its scripts again, and is
/// checked further: its manifest is there, the system makes an activation
/// context of it, and that context serves both identifiers. A class created
/// before (Working) that passes again stays Working: creating one class of a
/// package never changes the state of the other.
void CheckPackage(Package& package);

/// Checks the package again and, if the class of `kind` in use is Ready or
/// Working, creates it on the calling thread (CoCreateInstance, in-process)
/// and sets its state. A package of Origin::Folder is created with an
/// activation context of its assembly manifest active around the call; the
/// engine the module creates in turn is found as the process finds it (the
/// registry, or the application's own manifest). Answers STUBHOST_E_NOT_READY, with nothing loaded,
/// when the checks fail (the class's state says why) or the package has no
/// class of that kind. No time limit: a creation that hangs in the engine
/// holds the caller (TryPackage tries a package under a time limit first).
HRESULT CreateClass(Package& package, ClassKind kind, REFIID iid, void** object);

/// Checks the package again and, if it passes, creates and releases its
/// style and its text style on a new thread that joins an apartment of the
/// calling thread's kind (a single-threaded one of its own, or the
/// multithreaded one; single-threaded when COM is not initialised on the
/// caller), then lets COM unload what it no longer needs there. Waits at
/// most `timeLimitMilliseconds` for the whole package (INFINITE: no limit).
/// When the limit runs out, the classes not created by then are TimedOut,
/// and the thread is left to finish on its own; whatever it created is
/// released when it does. Answers S_OK when both were created, S_FALSE
/// otherwise (the states say why), STUBHOST_E_NOT_READY (nothing loaded)
/// when no class of the pair in use passed the checks, or the error of
/// starting the thread.
HRESULT TryPackage(Package& package, DWORD timeLimitMilliseconds);

/// The package folder of a module path: the path less its last four
/// characters (the extension, not examined). Empty where nothing would be
/// left.
std::wstring PackageFolder(const std::wstring& modulePath);

/// Reads the class identifier a script names the way the module does (docs:
/// "Where the class identifier stands"): `text` receives the scanned text.
/// Answers S_OK with `clsid` set; CO_E_CLASSSTRING (or CLSIDFromString's
/// error) when the text is no identifier; or the error of opening the file,
/// as HRESULT_FROM_WIN32 (ERROR_BAD_FILE_TYPE for a pipe or a device, which
/// is not read: reading one could wait for good).
HRESULT ReadScriptClassId(const std::wstring& scriptPath, CLSID& clsid, std::wstring& text);

}  // namespace host
}  // namespace stub

/// CreateClass and TryPackage: the package did not pass its checks, so its
/// module was not loaded.
#define STUBHOST_E_NOT_READY MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x0201)

#endif  // STUB_STUB_HOST_H
