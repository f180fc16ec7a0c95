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
// No function here loads a package's module into the host except
// CreateClass, which checks the package again first, refuses one that would
// show a box while it loads, and tries a package out of process before its
// first creation (TryPackage), so that no package can end or hold the host
// by crashing, exiting or hanging while it is created.
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

/// The state of a class or a package. Each is one row of the library's
/// table of states: StateName gives its word, StateRemedy what to do about
/// it, StateDetailSources the facts that come with it (DetailText and
/// StateDetail render them); docs/hosts.md lists every state.
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
  BadIdentifier,      ///< "bad-identifier": a script's class identifier does not parse (the module would show
                      ///< "Invalid GUID!")
  Stale,              ///< "stale": registered for this module, but its script names another identifier now
  Changed,            ///< "changed": its registration names another module now than when found
  CreateFailed,       ///< "create-failed": the checks passed, the creation failed (Class::result;
                      ///< CLASS_E_CLASSNOTAVAILABLE: the module file serves none of the classes
                      ///< its scripts name, so it is no package module, the engine's DLL say;
                      ///< REGDB_E_CLASSNOTREG: the engine is not installed)
  TimedOut,           ///< "timed-out": the probe did not end within the time limit and was
                      ///< killed (Class::milliseconds: the limit)
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
  Crashed,            ///< "crashed": the probe died of an exception while it created the class
                      ///< (Class::result: the exception code; Class::path: the faulting module,
                      ///< where the probe could tell)
  Exited,             ///< "exited": the probe ended while it created the class, without
                      ///< reporting (Class::result: the code passed to ExitProcess)
  ProbeFailed,        ///< "probe-failed": the probe could not be run, or what it reported was
                      ///< malformed and not trusted (Class::result: the error; Class::path:
                      ///< the probe, or what was wrong with its report)
};

/// The lower-case word for a state ("working", "no-server", ...).
const char* StateName(State state);

/// What to do about a state, one sentence ("" for ready and working), as
/// docs/hosts.md gives it. `result` is the class's (Class::result): a
/// creation that failed because the module file serves none of its classes
/// (CLASS_E_CLASSNOTAVAILABLE) has a remedy of its own.
const wchar_t* StateRemedy(State state, HRESULT result);

/// A fact that comes with a state, and the field of Class it is read from.
enum class DetailSource {
  None,            ///< nothing
  ClassKey,        ///< the class key, HKEY_CLASSES_ROOT\CLSID\{clsid}
  ServerKey,       ///< the class's InprocServer32 key under it
  ServerPath,      ///< serverPath: the module path as registered
  LongPath,        ///< path: a module path too long to be loaded
  Machine,         ///< machine: the module's machine (x86, x64, arm64, or 0xXXXX)
  Folder,          ///< path: the package folder
  Script,          ///< path: a script
  Identifier,      ///< identifierText: what a script holds where an identifier belongs
  CurrentClsid,    ///< scriptClsid: the identifier the script names now
  Result,          ///< result, as 0xXXXXXXXX
  Manifest,        ///< path: the assembly manifest
  Limit,           ///< milliseconds: the time limit that ran out
  FaultingModule,  ///< path: the module an exception happened in, where known
  ExceptionCode,   ///< result: the exception code, as 0xXXXXXXXX
  ExitCode,        ///< result: the code the process ended with, in decimal
  ProbeProblem,    ///< path: what went wrong with the probe or its report
};

/// The facts that come with a state, in the order they are shown; where
/// there are fewer than two, DetailSource::None fills the rest.
struct StateDetails {
  DetailSource sources[2];
};
StateDetails StateDetailSources(State state);

/// One class found for a package, with what its registration says and what
/// the checks found.
struct Class {
  ClassKind kind = ClassKind::Style;
  CLSID clsid = {};
  std::wstring description;               ///< the class key's default value
  std::wstring progId;                    ///< the ProgID subkey's default value
  std::wstring threadingModel;            ///< InprocServer32's ThreadingModel value
                                          ///< (Origin::Folder: description, progId and threadingModel
                                          ///< are the comClass entry's in the assembly manifest, read
                                          ///< whenever the scripts name the class, even where the
                                          ///< module checks fail)
  std::wstring versionIndependentProgId;  ///< Origin::Folder: the comClass entry's first
                                          ///< progid element; Origin::Registry: empty (the
                                          ///< class key's VersionIndependentProgID is not read)
  bool hasServer = false;                 ///< an InprocServer32 key is there
  std::wstring serverPath;                ///< InprocServer32's default value (REG_EXPAND_SZ expanded)

  State state = State::Unchecked;
  HRESULT result = S_OK;        ///< CreateFailed: what the creation answered;
                                ///< BadManifest: why the activation context was refused
  WORD machine = 0;             ///< OtherArchitecture: the module's IMAGE_FILE_HEADER::Machine
  std::wstring path;            ///< FolderMissing: the folder; ScriptMissing, ScriptUnreadable,
                                ///< BadIdentifier: the script; PathTooLong: the module path
  std::wstring identifierText;  ///< BadIdentifier: the text the scan found (what the box would show)
  CLSID scriptClsid = {};       ///< Stale: the identifier the script names now
  DWORD milliseconds = 0;       ///< What the probe took to create the class (TimedOut: the limit)
  std::wstring receivedPath;    ///< Working, by a probe: the module path the engine received,
                                ///< where the engine tells (IStubSampleEngine); else empty
  bool remembered = false;      ///< the state after a probe is a verdict from the memory of
                                ///< verdicts, not from a probe started now
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

/// One fact of a class as text: a path, a key, a braced identifier, a
/// machine's name, a result as 0xXXXXXXXX, a number; "" where the class
/// holds none (DetailSource::None, a faulting module not known).
std::wstring DetailText(const Class& entry, DetailSource source);

/// The facts behind a class's state as one text: those of its state that
/// are not empty, joined by ": " ("C:\P\Birch\Style.rgs: {0123-BAD}").
/// Empty for states that have none (ready, working).
std::wstring StateDetail(const Class& entry);

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
/// package module. `folder` may be relative: it is made full against the
/// current directory at the call (GetFullPathNameW), so every module path
/// and manifest path is full, with backslashes only; a \\?\ prefix is
/// dropped where the path without it names the same folder. Fails only when
/// the folder cannot be listed (HRESULT_FROM_WIN32 of the error; a folder
/// that is not there gives ERROR_PATH_NOT_FOUND or ERROR_FILE_NOT_FOUND, a
/// file ERROR_DIRECTORY).
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
/// and sets its state. Unless Options::probeFirst is off, the class is
/// loaded here only where a probe created it: a package whose module has no
/// verdict in the memory of verdicts yet is tried out of process first
/// (TryPackage, with Options::probeTimeLimit), and a class whose verdict is
/// CreateFailed is answered with that verdict's result, nothing loaded. A
/// package whose verdict is Crashed, Exited or TimedOut is refused with that
/// state and nothing loaded, until its module or the engine changes or its
/// verdict is forgotten (ForgetVerdict). A package of Origin::Folder is created with an
/// activation context of its assembly manifest active around the call; the
/// engine the module creates in turn is found as the process finds it (the
/// registry, or the application's own manifest). Answers
/// STUBHOST_E_NOT_READY, with nothing loaded, when the checks or the verdict
/// refuse it (the class's state says why) or the package has no class of
/// that kind. The creation itself has no time limit: it runs in this
/// process, for the object the caller wants.
HRESULT CreateClass(Package& package, ClassKind kind, REFIID iid, void** object);

/// Checks the package again and, if it passes, tries it out of process:
/// StubProbe.exe of the module's own architecture (a 64-bit host tries a
/// 32-bit package, and the reverse) creates and releases its style and its
/// text style in an apartment of the calling thread's kind, and reports what
/// each creation answered, the module path the engine received and the time
/// it took. Nothing of the package is loaded into this process. The probe
/// runs in a job object that ends it with its host, with error modes that
/// show no box and on a window station nobody sees; a probe that has not
/// ended within `timeLimitMilliseconds` (0 or INFINITE: no limit) is killed,
/// and its classes not reported by then are TimedOut. A probe that crashes
/// leaves its class Crashed, one that ends without reporting Exited, one
/// whose report is malformed ProbeFailed. The verdict is kept in the memory
/// of verdicts, per user, and a later TryPackage of the same module file
/// (path, size, last write time and the two identifiers unchanged) takes it
/// from there without a probe (Class::remembered), except a TimedOut verdict
/// when this limit is longer than the one that ran out. Answers S_OK when
/// both were created, S_FALSE otherwise (the states say why),
/// STUBHOST_E_NOT_READY (nothing started) when no class of the pair in use
/// passed the checks, or the error of starting the probe
/// (HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when there is no StubProbe.exe
/// for the module's architecture; Options::probeFolder says where it is
/// looked for).
HRESULT TryPackage(Package& package, DWORD timeLimitMilliseconds);

/// How this process's trials and creations go. Set once, before the first
/// trial, or between trials; every thread sees the same options.
struct Options {
  /// CreateClass probes a package that has no verdict yet before it loads
  /// it here. Turn it off only for packages the host trusts: a package that
  /// crashes or hangs in its first creation then ends or holds the host.
  bool probeFirst = true;
  /// The time limit of that first probe, in milliseconds (0: no limit).
  DWORD probeTimeLimit = 30000;
  /// The folder StubProbe.exe is looked for in; empty: the folder of the
  /// module this library is linked into (the application's .exe, or
  /// StubHost.dll). The probe of an architecture is taken from the first of
  /// FOLDER\StubProbe.exe, FOLDER\..\ARCH\StubProbe.exe and
  /// FOLDER\ARCH\StubProbe.exe (ARCH: x86 or x64) that is built for it, so
  /// that a release's x64 and x86 folders serve both.
  std::wstring probeFolder;
};
Options GetOptions();
void SetOptions(const Options& options);

/// Forgets the verdict the memory of verdicts holds for the package's module,
/// so that its next trial probes it again; S_OK also when there was none.
HRESULT ForgetVerdict(const Package& package);
/// Forgets every verdict of this user.
HRESULT ForgetVerdicts();
/// How many probe processes this process has started so far.
LONG ProbesStarted();

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

/// CreateClass and TryPackage: the package did not pass its checks (or its
/// verdict refuses it), so its module was not loaded.
#define STUBHOST_E_NOT_READY MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x0201)

#endif  // STUB_STUB_HOST_H
