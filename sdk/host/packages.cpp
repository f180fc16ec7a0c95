// Finding the installed packages through the component categories, or the
// packages an application keeps unregistered in a folder of its own; pairing
// their classes by module, checking each package before its module is
// loaded, and creating its classes (through the assembly manifest for a
// package of a folder).
#include <comcat.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "checks.h"
#include "manifest.h"
#include "owners.h"
#include "stub/stub_host.h"

namespace stub {
namespace host {
namespace {

using detail::OpenKey;
using detail::UniqueKey;

// Environment strings longer than this are not expanded (the documented
// limit of ExpandEnvironmentStringsW's buffers).
constexpr DWORD kExpandLimit = 32767;

// A string value of `key` (the default value for a null name): false where
// it is absent or not a string. The text ends at the value's real size, or
// at its first null character before that, as a C string would. A
// REG_EXPAND_SZ value (an installer may write a server path so) comes back
// with its environment variables expanded, as COM reads it, where the text
// and its expansion fit the expansion's limit; else as written. (Wine 8's
// RegGetValueW, asked to expand, faults for values of about 32,000
// characters and more: measured, so it is never asked.)
bool ReadString(HKEY key, const wchar_t* name, std::wstring& value) {
  value.clear();
  std::wstring text;
  DWORD type = REG_NONE;
  // Most values fit a path's buffer: read into one first, and ask for the
  // size only when the value is longer.
  DWORD bytes = MAX_PATH * sizeof(wchar_t);
  text.assign(MAX_PATH + 1, L'\0');
  LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&text[0]), &bytes);
  bool read = status == ERROR_SUCCESS;
  if (status == ERROR_MORE_DATA) status = ERROR_SUCCESS;
  for (int attempt = 0; attempt < 4 && status == ERROR_SUCCESS && !read; ++attempt) {
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    // A unit more than the value holds, zeroed: the text ends in it at the latest.
    text.assign((bytes + 1) / sizeof(wchar_t) + 1, L'\0');
    DWORD got = static_cast<DWORD>((text.size() - 1) * sizeof(wchar_t));
    status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&text[0]), &got);
    if (status == ERROR_SUCCESS) {
      bytes = std::min<DWORD>(got, static_cast<DWORD>((text.size() - 1) * sizeof(wchar_t)));
      read = true;
    } else if (status == ERROR_MORE_DATA) {
      // The value grew since its size was asked: ask again.
      status = RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes);
    }
  }
  if (!read || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
  const wchar_t* begin = text.c_str();
  const wchar_t* end = std::find(begin, begin + bytes / sizeof(wchar_t), L'\0');
  value.assign(begin, end);
  if (type == REG_EXPAND_SZ && value.size() < kExpandLimit) {
    std::wstring expanded(kExpandLimit + 1, L'\0');
    const DWORD units = ExpandEnvironmentStringsW(value.c_str(), &expanded[0], kExpandLimit);
    if (units > 0 && units <= kExpandLimit) value.assign(expanded.c_str());
  }
  return true;
}

std::wstring GuidText(const GUID& id) {
  wchar_t text[40] = {};
  StringFromGUID2(id, text, 40);
  return text;
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
bool IsFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// What the module file is, read without loading it.
enum class ModuleFile { Missing, NotAModule, Module };

// The machine field of a PE image's file header. One read takes the headers
// of any module a linker writes (the file header follows the DOS header
// within its first kilobyte); a file that puts it further is read there.
ModuleFile ReadMachine(const std::wstring& path, WORD& machine) {
  const detail::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0
               ? ModuleFile::NotAModule
               : ModuleFile::Missing;
  }
  // A pipe or a device is no module file, and reading one could wait for good.
  if (GetFileType(file.Get()) != FILE_TYPE_DISK) return ModuleFile::Missing;
  unsigned char head[1024];
  DWORD got = 0;
  bool read = ReadFile(file.Get(), head, sizeof head, &got, nullptr) != 0;
  IMAGE_DOS_HEADER dos = {};
  read = read && got >= sizeof dos;
  if (read) std::memcpy(&dos, head, sizeof dos);
  read = read && dos.e_magic == IMAGE_DOS_SIGNATURE && dos.e_lfanew > 0;
  struct {
    DWORD signature;
    IMAGE_FILE_HEADER header;
  } nt = {};
  if (read && static_cast<DWORD>(dos.e_lfanew) + sizeof nt <= got) {
    std::memcpy(&nt, head + dos.e_lfanew, sizeof nt);
  } else if (read) {
    LARGE_INTEGER position = {};
    position.QuadPart = dos.e_lfanew;
    DWORD more = 0;
    read = SetFilePointerEx(file.Get(), position, nullptr, FILE_BEGIN) &&
           ReadFile(file.Get(), &nt, sizeof nt, &more, nullptr) && more == sizeof nt;
  }
  if (!read || nt.signature != IMAGE_NT_SIGNATURE) return ModuleFile::NotAModule;
  machine = nt.header.Machine;
  return ModuleFile::Module;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The length of a path's root, which has no long form of its own: "X:\",
// "\\server\share\", "\\?\X:\", "\\?\UNC\server\share\", "\"; 0 for a relative path.
std::size_t RootLength(const std::wstring& path) {
  std::size_t at = 0;
  int shareParts = 0;
  if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) &&
      (path[2] == L'?' || path[2] == L'.') && IsSeparator(path[3])) {
    at = 4;
    if (path.compare(at, 4, L"UNC\\") == 0) {
      at += 4;
      shareParts = 2;
    }
  } else if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    at = 2;
    shareParts = 2;
  }
  for (; shareParts > 0 && at < path.size(); --shareParts) {
    while (at < path.size() && !IsSeparator(path[at])) ++at;
    if (at < path.size()) ++at;
  }
  if (shareParts == 0 && at + 1 < path.size() && path[at + 1] == L':') at += 2;
  if (at < path.size() && IsSeparator(path[at])) ++at;
  return at;
}

// The long form of a path of fewer than MAX_PATH characters, where it too
// has fewer: each part after the root that may be a short name as the file
// system names it. False
// where a part is not there or the long form would be MAX_PATH or longer.
// It asks for one part at a time, so no call ever sees a long path: Wine 8's
// GetLongPathNameW writes past a buffer of its own for a long form of more
// than about 1,024 characters (measured: a corrupted stack at 1,028, page
// faults from 1,030 on, whatever size the caller's buffer has).
bool LongForm(const std::wstring& path, std::wstring& longPath) {
  if (path.empty() || path.size() >= MAX_PATH || path.find_first_of(L"*?") != std::wstring::npos) {
    return false;
  }
  std::size_t start = RootLength(path);
  std::wstring result = path.substr(0, start);
  while (start < path.size()) {
    std::size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    std::wstring part = path.substr(start, end - start);
    // A short name the system makes for a longer one holds a '~'; any other
    // part is its own long form (looking each up costs a directory search,
    // a slow one in a large folder).
    if (part.find(L'~') != std::wstring::npos) {
      WIN32_FIND_DATAW found = {};
      const detail::UniqueSearch search(FindFirstFileW(path.substr(0, end).c_str(), &found));
      if (!search) return false;
      part = found.cFileName;
    }
    result += part;
    if (end < path.size()) result += path[end];
    if (result.size() >= MAX_PATH) return false;
    start = end + 1;
  }
  longPath = result;
  return true;
}

// A full path (X:\... or \\server\share\...) as the loader names the module
// it opens by it: the system's own full form, with "." and ".." parts
// resolved, forward slashes turned back, and the trailing points and blanks
// the file system ignores taken off its parts ("Trail.dll." opens, and
// reports itself as, "Trail.dll"). A relative path (found by the loader's
// search), one the system takes literally (\\?\, \\.\) and one of MAX_PATH
// characters or more come back unchanged.
std::wstring LoaderForm(const std::wstring& path) {
  const bool full = path.size() >= 3 &&
                    ((path[1] == L':' && IsSeparator(path[2])) ||
                     (IsSeparator(path[0]) && IsSeparator(path[1]) && path[2] != L'?' && path[2] != L'.'));
  if (!full || path.size() >= MAX_PATH || path.find(L'\0') != std::wstring::npos) return path;
  wchar_t text[MAX_PATH] = {};
  const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, text, nullptr);
  return length == 0 || length >= MAX_PATH ? path : std::wstring(text, length);
}

// The name the module will know itself by: the server path as the loader
// names the file it opens, in its long form where that fits a module path
// (MAX_PATH units with the terminator), else as registered, as the module
// itself falls back.
std::wstring ModulePathOf(const std::wstring& serverPath) {
  const std::wstring loaded = LoaderForm(serverPath);
  std::wstring longPath;
  return LongForm(loaded, longPath) ? longPath : loaded;
}

// Case-insensitive order of paths, as the file system compares them.
int ComparePaths(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                              TRUE) -
         CSTR_EQUAL;
}

// What the registry says now about one class, from its key `path` under
// `parent`: description, ProgID and server.
void ReadRegistration(Class& entry, HKEY parent, const std::wstring& path) {
  entry.description.clear();
  entry.progId.clear();
  entry.threadingModel.clear();
  entry.serverPath.clear();
  entry.hasServer = false;
  UniqueKey classKey;
  if (OpenKey(parent, path, classKey) != ERROR_SUCCESS) return;
  ReadString(classKey.Get(), nullptr, entry.description);
  UniqueKey progIdKey;
  if (OpenKey(classKey.Get(), L"ProgID", progIdKey) == ERROR_SUCCESS) {
    ReadString(progIdKey.Get(), nullptr, entry.progId);
  }
  UniqueKey server;
  entry.hasServer = OpenKey(classKey.Get(), L"InprocServer32", server) == ERROR_SUCCESS;
  if (entry.hasServer) {
    ReadString(server.Get(), nullptr, entry.serverPath);
    ReadString(server.Get(), L"ThreadingModel", entry.threadingModel);
  }
}
void ReadRegistration(Class& entry) {
  ReadRegistration(entry, HKEY_CLASSES_ROOT, L"CLSID\\" + GuidText(entry.clsid));
}

const wchar_t* const kScripts[2] = {L"Style.rgs", L"StyleText.rgs"};

// Ready where `script` is there as a file to be read; else ScriptMissing
// where nothing is there, ScriptUnreadable where something else is (a
// folder, a pipe, a link that leads nowhere or in a circle).
State ScriptState(const std::wstring& script) {
  const DWORD attributes = GetFileAttributesW(script.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? State::ScriptMissing
                                                                          : State::ScriptUnreadable;
  }
  return attributes & FILE_ATTRIBUTE_DIRECTORY ? State::ScriptUnreadable : State::Ready;
}

// Gives every class of the package one state (with its detail).
void SetAll(Package& package, State state, const std::wstring& path = std::wstring(), WORD machine = 0) {
  for (Class& entry : package.classes) {
    entry.state = state;
    entry.path = path;
    entry.machine = machine;
  }
}

// The checks that hold for the module file and its package as a whole: the
// module reads both scripts while it loads, so one failure stops every
// class. Answers false (the states set) on a failure; else fills `scriptIds`,
// and `otherMachine` with the module's machine where it is of the other
// architecture a probe can still try (x86 beside x64), else 0.
bool CheckModule(Package& package, CLSID (&scriptIds)[2], WORD& otherMachine) {
  otherMachine = 0;
  if (package.modulePath.empty()) {
    // A key without a module path (its default value missing, empty, or no
    // string at all) is another fault than no key: COM cannot load either.
    const bool key = std::any_of(package.classes.begin(), package.classes.end(),
                                 [](const Class& entry) { return entry.hasServer; });
    SetAll(package, key ? State::BadServer : State::NoServer);
    return false;
  }
  // Measured under 64-bit Wine 8: a server path of 261 characters or more is
  // never loaded (REGDB_E_CLASSNOTREG); at exactly 260 the module is loaded
  // and, unable to name its folder from a name cut to fit, shows a box.
  for (const Class& entry : package.classes) {
    if (entry.serverPath.size() >= MAX_PATH) {
      SetAll(package, State::PathTooLong, entry.serverPath);
      return false;
    }
  }
  if (package.modulePath.size() >= MAX_PATH) {
    SetAll(package, State::PathTooLong, package.modulePath);
    return false;
  }
  WORD machine = 0;
  const ModuleFile module = ReadMachine(package.modulePath, machine);
  if (module != ModuleFile::Module) {
    SetAll(package, module == ModuleFile::Missing ? State::ModuleMissing : State::NotAModule);
    return false;
  }
  if (machine != HostMachine()) {
    if (machine != IMAGE_FILE_MACHINE_I386 && machine != IMAGE_FILE_MACHINE_AMD64) {
      SetAll(package, State::OtherArchitecture, std::wstring(), machine);
      return false;
    }
    // Never loaded here, but a probe of its own kind can try it: the
    // checks go on, and what passes is OtherArchitecture in the end.
    otherMachine = machine;
  }
  if (package.folder.empty()) {
    SetAll(package, State::FolderMissing, package.folder);
    return false;
  }
  // The module reads Style.rgs first, and stops at the first script that fails.
  for (int i = 0; i < 2; ++i) {
    const std::wstring script = package.folder + L"\\" + kScripts[i];
    // Opened as the module opens it (reading, shared for reading and writing):
    // a script that cannot be opened is another box than one that does not parse.
    std::wstring text;
    const HRESULT read = ReadScriptClassId(script, scriptIds[i], text);
    if (SUCCEEDED(read)) continue;
    // Where the first script cannot be opened, the folder may be what is missing.
    if (i == 0 && HRESULT_FACILITY(read) == FACILITY_WIN32 && !IsFolder(package.folder)) {
      SetAll(package, State::FolderMissing, package.folder);
      return false;
    }
    const bool opened = HRESULT_FACILITY(read) != FACILITY_WIN32;
    const State state =
        opened ? State::BadIdentifier
        : read == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || read == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)
            ? ScriptState(script)
            : State::ScriptUnreadable;
    SetAll(package, state, script);
    if (opened) {
      for (Class& entry : package.classes) entry.identifierText = text;
    }
    return false;
  }
  // Both scripts naming one identifier make both classes that one class,
  // which the module serves as the style: neither is what it says.
  if (IsEqualCLSID(scriptIds[0], scriptIds[1])) {
    SetAll(package, State::SameIdentifier, package.folder + L"\\" + kScripts[1]);
    return false;
  }
  return true;
}

// The pair in use first (style, then text), then the stale classes by kind
// and identifier.
void OrderClasses(Package& package) {
  std::stable_sort(package.classes.begin(), package.classes.end(), [](const Class& a, const Class& b) {
    const bool aStale = a.state == State::Stale, bStale = b.state == State::Stale;
    if (aStale != bStale) return bStale;
    if (a.kind != b.kind) return a.kind == ClassKind::Style;
    return GuidText(a.clsid) < GuidText(b.clsid);
  });
}

Class* InUse(std::vector<Class>& classes, ClassKind kind) {
  for (Class& entry : classes) {
    if (entry.kind == kind && entry.state != State::Stale) return &entry;
  }
  return nullptr;
}

bool ClsidLess(const CLSID& a, const CLSID& b) { return std::memcmp(&a, &b, sizeof a) < 0; }

// The subkeys of `key` named by a GUID, in the order the registry gives
// them; another name (longer, or no GUID) is passed over. The registry's
// error where the key cannot be enumerated to its end.
template <typename Each>
LSTATUS ForEachGuidKey(HKEY key, Each each) {
  for (DWORD index = 0;; ++index) {
    wchar_t name[40] = {};
    DWORD length = 40;
    const LSTATUS status = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) return status;
    GUID id = {};
    if (length == 38 && SUCCEEDED(IIDFromString(name, &id))) each(name, id);
  }
}

// Whether the class under `classes` named `name` requires a category of its
// container: a Required Categories key with an entry.
bool RequiresCategories(HKEY classes, const wchar_t* name) {
  UniqueKey required;
  if (OpenKey(classes, std::wstring(name) + L"\\Required Categories", required) != ERROR_SUCCESS) {
    return false;
  }
  DWORD subkeys = 0;
  return RegQueryInfoKeyW(required.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                          nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
         subkeys > 0;
}

// The classes of both categories, each read from the registry: those the
// component categories manager lists for each category with no required
// categories, read where the manager keeps them. A class of a category has
// the key CLSID\{clsid}\Implemented Categories\{catid}; a class that requires
// any category of its container (a Required Categories key with an entry)
// is left out. One pass over the class keys finds both categories, where the
// manager passes over every class key of the registry once per category.
// Ordered by kind, then identifier; the registry's error where the class
// keys cannot be enumerated.
HRESULT ListCategories(std::vector<Class>& classes) {
  UniqueKey root;
  const LSTATUS opened = OpenKey(HKEY_CLASSES_ROOT, L"CLSID", root);
  if (opened == ERROR_FILE_NOT_FOUND) return S_OK;
  if (opened != ERROR_SUCCESS) return HRESULT_FROM_WIN32(opened);
  const CATID* const categories[2] = {&CATID_TarvoStyles, &CATID_TarvoTexts};
  const LSTATUS listed = ForEachGuidKey(root.Get(), [&](const wchar_t* name, const GUID& clsid) {
    UniqueKey implemented;
    if (OpenKey(root.Get(), std::wstring(name) + L"\\Implemented Categories", implemented) != ERROR_SUCCESS) {
      return;
    }
    bool member[2] = {};
    ForEachGuidKey(implemented.Get(), [&](const wchar_t*, const GUID& category) {
      for (int i = 0; i < 2; ++i) member[i] = member[i] || IsEqualGUID(category, *categories[i]);
    });
    if ((!member[0] && !member[1]) || RequiresCategories(root.Get(), name)) return;
    Class entry;
    entry.clsid = clsid;
    ReadRegistration(entry, root.Get(), name);
    for (int i = 0; i < 2; ++i) {
      if (!member[i]) continue;
      entry.kind = i == 0 ? ClassKind::Style : ClassKind::Text;
      classes.push_back(entry);
    }
  });
  if (listed != ERROR_SUCCESS) return HRESULT_FROM_WIN32(listed);
  std::sort(classes.begin(), classes.end(), [](const Class& a, const Class& b) {
    if (a.kind != b.kind) return a.kind == ClassKind::Style;
    return ClsidLess(a.clsid, b.clsid);
  });
  return S_OK;
}

// A package of a folder has exactly its two classes, style then text, read
// afresh from its scripts and manifest at every check.
void KeepFolderPair(Package& package) {
  package.classes.assign(2, Class());
  package.classes[1].kind = ClassKind::Text;
  for (Class& entry : package.classes) {
    entry.hasServer = true;
    entry.serverPath = package.modulePath;
  }
}

// The file name of a path: what follows its last separator.
std::wstring FileName(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Gives a class of a folder package what the manifest's comClass entry of
// its identifier, under the module's file name, says of it; false where the
// manifest has none.
bool DescribeFromManifest(Class& entry, const std::vector<detail::ManifestClass>& listed,
                          const std::wstring& moduleFile) {
  for (const detail::ManifestClass& candidate : listed) {
    CLSID clsid = {};
    if (ComparePaths(candidate.file, moduleFile) != 0 ||
        FAILED(CLSIDFromString(candidate.clsid.c_str(), &clsid)) || !IsEqualCLSID(clsid, entry.clsid)) {
      continue;
    }
    entry.description = candidate.description;
    entry.progId = candidate.progId;
    entry.versionIndependentProgId = candidate.versionIndependentProgId;
    entry.threadingModel = candidate.threadingModel;
    return true;
  }
  return false;
}

// A folder package the module checks refused (a path too long, a module of
// another machine, a script that fails) still is the classes its scripts
// name: each script that can be read gives its class's identifier, and the
// manifest what it says of them. Nothing is loaded, and no state changes.
void DescribeFolderPair(Package& package) {
  if (package.folder.empty()) return;
  for (Class& entry : package.classes) {
    CLSID named = {};
    std::wstring text;
    const std::wstring script = package.folder + L"\\" + kScripts[entry.kind == ClassKind::Style ? 0 : 1];
    if (SUCCEEDED(ReadScriptClassId(script, named, text))) entry.clsid = named;
  }
  std::vector<detail::ManifestClass> listed;
  if (package.manifestPath.empty() || !detail::ReadManifestClasses(package.manifestPath, listed)) return;
  const std::wstring moduleFile = FileName(package.modulePath);
  for (Class& entry : package.classes) DescribeFromManifest(entry, listed, moduleFile);
}

// The checks of a package of a folder beyond those of its module and scripts:
// its classes become the identifiers the scripts name, described by the
// manifest; the manifest must be there, make an activation context, and that
// context must serve both classes from the module's file.
void CheckFolderManifest(Package& package, const CLSID (&scriptIds)[2]) {
  for (Class& entry : package.classes) {
    entry.clsid = scriptIds[entry.kind == ClassKind::Style ? 0 : 1];
  }
  // The manifest is screened before the system's activation-context code
  // sees it: what the screen refuses never reaches that code.
  std::vector<detail::ManifestClass> listed;
  const HRESULT screened = detail::ReadManifest(package.manifestPath, listed);
  if (screened == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ||
      screened == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)) {
    SetAll(package, State::ManifestMissing, package.manifestPath);
    return;
  }
  if (FAILED(screened)) {
    SetAll(package, State::BadManifest, package.manifestPath);
    for (Class& entry : package.classes) entry.result = screened;
    return;
  }
  const std::wstring moduleFile = FileName(package.modulePath);
  for (Class& entry : package.classes) {
    if (DescribeFromManifest(entry, listed, moduleFile)) entry.state = State::Ready;
  }
  // Whether the system takes the manifest, and which classes its context
  // serves, is the system's to say: it is asked, which loads no module.
  detail::ActivationContext context;
  const std::wstring directory = package.modulePath.substr(0, package.modulePath.size() - moduleFile.size());
  const HRESULT made = context.Create(package.manifestPath, directory);
  for (Class& entry : package.classes) {
    if (FAILED(made)) {
      entry.state = State::BadManifest;
      entry.result = made;
      entry.path = package.manifestPath;
    } else if (entry.state != State::Ready || !context.ServesClass(entry.clsid)) {
      entry.state = State::NotInManifest;
      entry.path = package.manifestPath;
    }
  }
}

}  // namespace

WORD HostMachine() {
#ifdef _WIN64
  return IMAGE_FILE_MACHINE_AMD64;
#else
  return IMAGE_FILE_MACHINE_I386;
#endif
}

Class* Package::style() { return InUse(classes, ClassKind::Style); }
Class* Package::text() { return InUse(classes, ClassKind::Text); }
const Class* Package::style() const { return const_cast<Package*>(this)->style(); }
const Class* Package::text() const { return const_cast<Package*>(this)->text(); }

State Package::state() const {
  const Class* pair[2] = {style(), text()};
  for (const Class* entry : pair) {
    if (entry && entry->state != State::Working && entry->state != State::Ready) {
      return entry->state;
    }
  }
  for (int i = 0; i < 2; ++i) {
    if (pair[i]) continue;
    const ClassKind kind = i == 0 ? ClassKind::Style : ClassKind::Text;
    const bool stale = std::any_of(classes.begin(), classes.end(),
                                   [kind](const Class& entry) { return entry.kind == kind; });
    if (stale) return State::Stale;
    return i == 0 ? State::NoStyle : State::NoText;
  }
  return pair[0]->state == State::Working && pair[1]->state == State::Working ? State::Working : State::Ready;
}

namespace {

// The classes of a module of the other architecture that passed every other
// check: ready for a probe of their kind, never for this process.
void MarkOtherArchitecture(Package& package, WORD machine) {
  if (machine == 0) return;
  for (Class& entry : package.classes) {
    if (entry.state != State::Ready) continue;
    entry.state = State::OtherArchitecture;
    entry.machine = machine;
  }
}

// CheckPackage, where `readRegistration` says whether the registry is read
// again first (a package just found was read a moment ago).
void CheckPackageAs(Package& package, bool readRegistration) {
  for (Class& entry : package.classes) {
    entry.state = State::Unchecked;
    entry.result = S_OK;
    entry.machine = 0;
    entry.path.clear();
    entry.identifierText.clear();
    entry.scriptClsid = CLSID();
  }
  // The registration may have changed since the package was found: the
  // checks must see the module that COM would load now.
  bool changed = false;
  if (package.origin == Origin::Registry && readRegistration) {
    for (Class& entry : package.classes) {
      const bool hadServer = entry.hasServer;
      ReadRegistration(entry);
      if (entry.hasServer != hadServer ||
          (entry.hasServer && ComparePaths(ModulePathOf(entry.serverPath), package.modulePath) != 0)) {
        entry.state = State::Changed;
        changed = true;
      }
    }
  }
  if (changed) {
    // A package whose registration moved since it was found is not loaded:
    // find the packages again.
    for (Class& entry : package.classes) entry.state = State::Changed;
    OrderClasses(package);
    return;
  }
  CLSID scriptIds[2] = {};
  WORD otherMachine = 0;
  if (package.origin == Origin::Folder) {
    // Found in a folder: the scripts and the manifest are all there is.
    KeepFolderPair(package);
    if (CheckModule(package, scriptIds, otherMachine)) {
      CheckFolderManifest(package, scriptIds);
    } else {
      DescribeFolderPair(package);
    }
    MarkOtherArchitecture(package, otherMachine);
    return;
  }
  if (CheckModule(package, scriptIds, otherMachine)) {
    for (Class& entry : package.classes) {
      const CLSID& named = scriptIds[entry.kind == ClassKind::Style ? 0 : 1];
      if (IsEqualCLSID(entry.clsid, named)) {
        entry.state = State::Ready;
      } else {
        entry.state = State::Stale;
        entry.scriptClsid = named;
      }
    }
  }
  MarkOtherArchitecture(package, otherMachine);
  OrderClasses(package);
}

}  // namespace

namespace detail {

WORD ImageMachine(const std::wstring& path) {
  WORD machine = 0;
  return ReadMachine(path, machine) == ModuleFile::Module ? machine : 0;
}

void CheckFiles(Package& package) {
  // A check tells what could stop a load, not what was done: a class created
  // before stays Working while it passes its checks again.
  std::vector<std::pair<ClassKind, CLSID>> created;
  for (const Class& entry : package.classes) {
    if (entry.state == State::Working) created.emplace_back(entry.kind, entry.clsid);
  }
  CheckPackageAs(package, true);
  for (Class& entry : package.classes) {
    for (const auto& was : created) {
      if (entry.state == State::Ready && entry.kind == was.first && IsEqualCLSID(entry.clsid, was.second)) {
        entry.state = State::Working;
      }
    }
  }
}

}  // namespace detail

void CheckPackage(Package& package) {
  detail::CheckFiles(package);
  detail::ApplyRememberedHazards(package);
}

HRESULT FindRegisteredPackages(std::vector<Package>& packages) {
  packages.clear();
  std::vector<Class> classes;
  const HRESULT result = ListCategories(classes);
  if (FAILED(result)) return result;

  // One package per module file, found by sorting the classes by module
  // path; a class without a module path stands alone.
  std::vector<std::pair<std::wstring, std::size_t>> byPath;
  byPath.reserve(classes.size());
  for (std::size_t i = 0; i < classes.size(); ++i) {
    byPath.emplace_back(classes[i].hasServer ? ModulePathOf(classes[i].serverPath) : std::wstring(), i);
  }
  std::stable_sort(byPath.begin(), byPath.end(),
                   [](const auto& a, const auto& b) { return ComparePaths(a.first, b.first) < 0; });
  for (std::size_t i = 0; i < byPath.size(); ++i) {
    const bool alone = byPath[i].first.empty();
    if (alone || i == 0 || ComparePaths(byPath[i - 1].first, byPath[i].first) != 0) {
      Package package;
      package.origin = Origin::Registry;
      package.modulePath = byPath[i].first;
      package.folder = PackageFolder(package.modulePath);
      packages.push_back(std::move(package));
    }
    packages.back().classes.push_back(std::move(classes[byPath[i].second]));
  }
  for (Package& package : packages) {
    CheckPackageAs(package, false);
    detail::ApplyRememberedHazards(package);
  }
  // In the order of their module paths; packages without a server last, by identifier.
  std::stable_sort(packages.begin(), packages.end(), [](const Package& a, const Package& b) {
    if (a.modulePath.empty() != b.modulePath.empty()) return b.modulePath.empty();
    if (!a.modulePath.empty()) return ComparePaths(a.modulePath, b.modulePath) < 0;
    const Class& x = a.classes.front();
    const Class& y = b.classes.front();
    if (x.kind != y.kind) return x.kind == ClassKind::Style;
    return GuidText(x.clsid) < GuidText(y.clsid);
  });
  return S_OK;
}

namespace {

// The system's full form of a path (GetFullPathNameW: a relative path
// taken against the current directory, forward slashes turned back, "." and
// ".." resolved); empty where the system gives none.
std::wstring FullPath(const std::wstring& path) {
  if (path.empty() || path.find(L'\0') != std::wstring::npos) return std::wstring();
  DWORD size = MAX_PATH;
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::wstring text(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, &text[0], nullptr);
    if (length == 0) return std::wstring();
    if (length < size) return text.substr(0, length);
    size = length + 1;  // the path grew, or the buffer was short: ask again
  }
  return std::wstring();
}

// The folder FindFolderPackages lists, in the form its packages' module
// paths then take: full (a relative path against the current directory at
// the call), with backslashes only. A \\?\ prefix is dropped where the path
// without it has that same full form (\\?\UNC\server\share as
// \\server\share); a path the prefix keeps literal (a part ending in a
// point, "..") keeps it, and so does one the system cannot make full.
std::wstring NormalFolder(const std::wstring& folder) {
  std::wstring path = folder;
  if (path.size() > 4 && path.compare(0, 4, L"\\\\?\\") == 0) {
    const bool unc =
        path.size() > 8 && CompareStringOrdinal(path.c_str() + 4, 4, L"UNC\\", 4, TRUE) == CSTR_EQUAL;
    const std::wstring plain = unc ? L"\\\\" + path.substr(8) : path.substr(4);
    if (FullPath(plain) != plain) return path;
    path = plain;
  }
  const std::wstring full = FullPath(path);
  return full.empty() ? path : full;
}

// The files of `pattern` in `base` (not folders), by name.
std::vector<std::wstring> FilesMatching(const std::wstring& base, const wchar_t* pattern,
                                        const wchar_t* extension, DWORD& error) {
  std::vector<std::wstring> names;
  error = ERROR_SUCCESS;
  WIN32_FIND_DATAW found = {};
  const detail::UniqueSearch search(FindFirstFileW((base + L"\\" + pattern).c_str(), &found));
  if (!search) {
    error = GetLastError();
    return names;
  }
  const int extensionLength = lstrlenW(extension);
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const std::wstring name = found.cFileName;
    // A pattern also matches longer extensions through short names: only the exact one counts.
    if (static_cast<int>(name.size()) <= extensionLength ||
        CompareStringOrdinal(name.c_str() + name.size() - extensionLength, extensionLength, extension,
                             extensionLength, TRUE) != CSTR_EQUAL) {
      continue;
    }
    names.push_back(name);
  } while (FindNextFileW(search.Get(), &found));
  std::sort(names.begin(), names.end(),
            [](const std::wstring& a, const std::wstring& b) { return ComparePaths(a, b) < 0; });
  return names;
}

// The assembly manifest of the module NAME.dll in `base`: NAME.Assembly.manifest
// (the name `stub-check export` gives the assembly), else NAME.manifest, else
// the first other manifest there whose file element names the module (an
// assembly its author named otherwise). Where there is none, the first name,
// where it is expected.
std::wstring ManifestOf(const std::wstring& base, const std::wstring& moduleFile,
                        const std::vector<std::wstring>& manifests) {
  const std::wstring name = moduleFile.substr(0, moduleFile.size() - 4);
  const std::wstring usual[2] = {name + L".Assembly.manifest", name + L".manifest"};
  for (const std::wstring& candidate : usual) {
    if (IsFile(base + L"\\" + candidate)) return base + L"\\" + candidate;
  }
  for (const std::wstring& manifest : manifests) {
    std::vector<detail::ManifestClass> classes;
    if (!detail::ReadManifestClasses(base + L"\\" + manifest, classes)) continue;
    for (const detail::ManifestClass& entry : classes) {
      if (ComparePaths(entry.file, moduleFile) == 0) return base + L"\\" + manifest;
    }
  }
  return base + L"\\" + usual[0];
}

}  // namespace

HRESULT FindFolderPackages(const std::wstring& folder, std::vector<Package>& packages) {
  packages.clear();
  std::wstring base = NormalFolder(folder);
  while (base.size() > 1 && (base.back() == L'\\' || base.back() == L'/')) base.pop_back();
  // A file's name with a pattern after it is no search the system answers
  // plainly (ERROR_INVALID_NAME, ERROR_PATH_NOT_FOUND): say what it is.
  if (IsFile(base)) return HRESULT_FROM_WIN32(ERROR_DIRECTORY);
  DWORD error = ERROR_SUCCESS;
  const std::vector<std::wstring> modules = FilesMatching(base, L"*.dll", L".dll", error);
  if (error != ERROR_SUCCESS && error != ERROR_NO_MORE_FILES &&
      !(error == ERROR_FILE_NOT_FOUND && IsFolder(base))) {
    return HRESULT_FROM_WIN32(error);
  }
  const std::vector<std::wstring> manifests = FilesMatching(base, L"*.manifest", L".manifest", error);
  for (const std::wstring& name : modules) {
    Package package;
    package.origin = Origin::Folder;
    package.modulePath = ModulePathOf(base + L"\\" + name);
    package.folder = PackageFolder(package.modulePath);
    // A DLL without a package folder beside it is no package (the engine, a library).
    if (!IsFolder(package.folder)) continue;
    package.manifestPath = ManifestOf(base, name, manifests);
    packages.push_back(package);
  }
  for (Package& package : packages) {
    CheckPackageAs(package, false);
    detail::ApplyRememberedHazards(package);
  }
  std::stable_sort(packages.begin(), packages.end(), [](const Package& a, const Package& b) {
    return ComparePaths(a.modulePath, b.modulePath) < 0;
  });
  return S_OK;
}

}  // namespace host
}  // namespace stub
