// Finding the installed packages through the component categories, or the
// packages an application keeps unregistered in a folder of its own; pairing
// their classes by module, checking each package before its module is
// loaded, and creating its classes (through the assembly manifest for a
// package of a folder).
#include <comcat.h>

#include <algorithm>
#include <cstddef>

#include "manifest.h"
#include "stub/stub_host.h"

namespace stub {
namespace host {
namespace {

// Owns one open registry key.
class Key {
 public:
  Key() = default;
  ~Key() {
    if (key_) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  bool Open(HKEY parent, const std::wstring& path) {
    return RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key_) == ERROR_SUCCESS;
  }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// Owns one COM interface pointer.
template <typename T>
class Ref {
 public:
  Ref() = default;
  ~Ref() {
    if (p_) p_->Release();
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  T** put() { return &p_; }
  T* operator->() const { return p_; }
  T* get() const { return p_; }

 private:
  T* p_ = nullptr;
};

// A string value of `key` (the default value for a null name). A
// REG_EXPAND_SZ value (an installer may write a server path so) comes back
// with its environment variables expanded, as COM reads it.
bool ReadString(HKEY key, const wchar_t* name, std::wstring& value) {
  std::wstring text(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    const LSTATUS status = RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, &text[0], &bytes);
    if (status == ERROR_SUCCESS) {
      text.resize(lstrlenW(text.c_str()));
      value = text;
      return true;
    }
    if (status != ERROR_MORE_DATA) return false;
    // The value grew, or its expansion is longer than the size first given.
    text.assign(bytes / sizeof(wchar_t) + MAX_PATH, L'\0');
  }
  return false;
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

// Reads `size` bytes at `offset`; false if the file is shorter.
bool ReadAt(HANDLE file, LONG offset, void* buffer, DWORD size) {
  LARGE_INTEGER position = {};
  position.QuadPart = offset;
  DWORD read = 0;
  return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) &&
         ReadFile(file, buffer, size, &read, nullptr) && read == size;
}

// The machine field of a PE image's file header, read without loading it.
bool ReadMachine(const std::wstring& path, WORD& machine) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  IMAGE_DOS_HEADER dos = {};
  DWORD signature = 0;
  IMAGE_FILE_HEADER header = {};
  const bool read = ReadAt(file, 0, &dos, sizeof dos) && dos.e_magic == IMAGE_DOS_SIGNATURE &&
                    dos.e_lfanew > 0 && ReadAt(file, dos.e_lfanew, &signature, sizeof signature) &&
                    signature == IMAGE_NT_SIGNATURE &&
                    ReadAt(file, dos.e_lfanew + 4, &header, sizeof header);
  CloseHandle(file);
  if (read) machine = header.Machine;
  return read;
}

// The name the module will know itself by: the long form of the server path
// where it fits a module path (MAX_PATH units with the terminator), else the
// path as registered, as the module itself falls back.
std::wstring ModulePathOf(const std::wstring& serverPath) {
  wchar_t longPath[MAX_PATH] = {};
  const DWORD length = GetLongPathNameW(serverPath.c_str(), longPath, MAX_PATH);
  if (length > 0 && length < MAX_PATH) return longPath;
  return serverPath;
}

// Case-insensitive order of paths, as the file system compares them.
int ComparePaths(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) - CSTR_EQUAL;
}

// What the registry says now about one class: description, ProgID and server.
void ReadRegistration(Class& entry) {
  entry.description.clear();
  entry.progId.clear();
  entry.threadingModel.clear();
  entry.serverPath.clear();
  const std::wstring classPath = L"CLSID\\" + GuidText(entry.clsid);
  Key classKey;
  if (classKey.Open(HKEY_CLASSES_ROOT, classPath)) {
    ReadString(classKey.get(), nullptr, entry.description);
    Key progIdKey;
    if (progIdKey.Open(classKey.get(), L"ProgID")) ReadString(progIdKey.get(), nullptr, entry.progId);
  }
  Key server;
  entry.hasServer = server.Open(HKEY_CLASSES_ROOT, classPath + L"\\InprocServer32");
  if (entry.hasServer) {
    ReadString(server.get(), nullptr, entry.serverPath);
    ReadString(server.get(), L"ThreadingModel", entry.threadingModel);
  }
}

const wchar_t* const kScripts[2] = {L"Style.rgs", L"StyleText.rgs"};

// Gives every class of the package one state (with its detail).
void SetAll(Package& package, State state, const std::wstring& path = std::wstring(),
            WORD machine = 0) {
  for (Class& entry : package.classes) {
    entry.state = state;
    entry.path = path;
    entry.machine = machine;
  }
}

// The checks that hold for the module file and its package as a whole: the
// module reads both scripts while it loads, so one failure stops every
// class. Answers false (the states set) on a failure; else fills `scriptIds`.
bool CheckModule(Package& package, CLSID (&scriptIds)[2]) {
  if (package.modulePath.empty()) {
    SetAll(package, State::NoServer);
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
  if (!IsFile(package.modulePath)) {
    SetAll(package, State::ModuleMissing);
    return false;
  }
  WORD machine = 0;
  if (!ReadMachine(package.modulePath, machine)) {
    SetAll(package, State::NotAModule);
    return false;
  }
  if (machine != HostMachine()) {
    SetAll(package, State::OtherArchitecture, std::wstring(), machine);
    return false;
  }
  if (package.folder.empty() || !IsFolder(package.folder)) {
    SetAll(package, State::FolderMissing, package.folder);
    return false;
  }
  // The module reads Style.rgs first, and stops at the first script that fails.
  for (int i = 0; i < 2; ++i) {
    const std::wstring script = package.folder + L"\\" + kScripts[i];
    if (!IsFile(script)) {
      SetAll(package, State::ScriptMissing, script);
      return false;
    }
    // Opened as the module opens it (reading, shared for reading and writing):
    // a script that cannot be opened is another box than one that does not parse.
    HANDLE file = CreateFileW(script.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      SetAll(package, State::ScriptUnreadable, script);
      return false;
    }
    CloseHandle(file);
    std::wstring text;
    if (FAILED(ReadScriptClassId(script, scriptIds[i], text))) {
      SetAll(package, State::BadIdentifier, script);
      for (Class& entry : package.classes) entry.identifierText = text;
      return false;
    }
  }
  return true;
}

// The pair in use first (style, then text), then the stale classes by kind
// and identifier.
void OrderClasses(Package& package) {
  std::stable_sort(package.classes.begin(), package.classes.end(),
                   [](const Class& a, const Class& b) {
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

// The classes of one category, each read from the registry; false (with the
// manager's error in `result`) if the category cannot be read.
HRESULT ListCategory(ICatInformation* categories, const CATID& category, ClassKind kind,
                     std::vector<Class>& classes) {
  // No required categories: only classes that need nothing of their container.
  Ref<IEnumCLSID> found;
  CATID wanted = category;
  const HRESULT result = categories->EnumClassesOfCategories(1, &wanted, 0, nullptr, found.put());
  if (FAILED(result)) return result;
  CLSID clsid = {};
  ULONG fetched = 0;
  while (found->Next(1, &clsid, &fetched) == S_OK && fetched == 1) {
    const bool listed = std::any_of(classes.begin(), classes.end(), [&](const Class& entry) {
      return entry.kind == kind && IsEqualCLSID(entry.clsid, clsid);
    });
    if (listed) continue;
    Class entry;
    entry.kind = kind;
    entry.clsid = clsid;
    ReadRegistration(entry);
    classes.push_back(entry);
  }
  return S_OK;
}

// What a trial thread and its caller share; the last of the two to let go
// deletes it, so a caller that stops waiting leaves the thread a valid block.
struct Trial {
  LONG references = 2;
  DWORD apartment = COINIT_APARTMENTTHREADED;
  int count = 0;
  CLSID clsids[2] = {};
  // Each creation's result; kPending until it is known.
  volatile LONG results[2] = {};
  HANDLE done = nullptr;
  // A package of a folder: the activation context its classes are created in.
  detail::ActivationContext context;

  void Release() {
    if (InterlockedDecrement(&references) == 0) {
      CloseHandle(done);
      delete this;
    }
  }
};
constexpr LONG kPending = static_cast<LONG>(0x8000FFFE);  // never an answer of CoCreateInstance here

DWORD WINAPI RunTrial(void* parameter) {
  Trial* trial = static_cast<Trial*>(parameter);
  const HRESULT initialised = CoInitializeEx(nullptr, trial->apartment);
  {
    detail::ActiveContext active(trial->context.get());
    for (int i = 0; i < trial->count; ++i) {
      HRESULT result = initialised;
      if (SUCCEEDED(initialised)) {
        IUnknown* object = nullptr;
        result = CoCreateInstance(trial->clsids[i], nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                  reinterpret_cast<void**>(&object));
        if (object) object->Release();
      }
      InterlockedExchange(&trial->results[i], result);
    }
  }
  if (SUCCEEDED(initialised)) {
    // What the trial loaded into this apartment is no longer needed.
    CoFreeUnusedLibrariesEx(0, 0);
    CoUninitialize();
  }
  SetEvent(trial->done);
  trial->Release();
  return 0;
}

// The apartment kind of the calling thread, for a trial thread to join.
DWORD CallerApartment() {
  APTTYPE type = APTTYPE_STA;
  APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
  if (FAILED(CoGetApartmentType(&type, &qualifier))) return COINIT_APARTMENTTHREADED;
  return type == APTTYPE_STA || type == APTTYPE_MAINSTA ? COINIT_APARTMENTTHREADED
                                                        : COINIT_MULTITHREADED;
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

// The checks of a package of a folder beyond those of its module and scripts:
// its classes become the identifiers the scripts name, described by the
// manifest; the manifest must be there, make an activation context, and that
// context must serve both classes from the module's file.
void CheckFolderManifest(Package& package, const CLSID (&scriptIds)[2]) {
  for (Class& entry : package.classes) {
    entry.clsid = scriptIds[entry.kind == ClassKind::Style ? 0 : 1];
  }
  if (!IsFile(package.manifestPath)) {
    SetAll(package, State::ManifestMissing, package.manifestPath);
    return;
  }
  std::vector<detail::ManifestClass> listed;
  detail::ReadManifestClasses(package.manifestPath, listed);
  const std::wstring moduleFile = FileName(package.modulePath);
  for (Class& entry : package.classes) {
    for (const detail::ManifestClass& candidate : listed) {
      CLSID clsid = {};
      if (ComparePaths(candidate.file, moduleFile) != 0 ||
          FAILED(CLSIDFromString(candidate.clsid.c_str(), &clsid)) ||
          !IsEqualCLSID(clsid, entry.clsid)) {
        continue;
      }
      entry.description = candidate.description;
      entry.progId = candidate.progId;
      entry.threadingModel = candidate.threadingModel;
      entry.state = State::Ready;
      break;
    }
  }
  // Whether the system takes the manifest, and which classes its context
  // serves, is the system's to say: it is asked, which loads no module.
  detail::ActivationContext context;
  const std::wstring directory = package.modulePath.substr(0, package.modulePath.size() -
                                                                  moduleFile.size());
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

// The activation context a package's classes are created in: none for a
// registered package; its manifest's for a package of a folder.
HRESULT MakeContext(const Package& package, detail::ActivationContext& context) {
  if (package.origin != Origin::Folder) return S_OK;
  const std::wstring moduleFile = FileName(package.modulePath);
  return context.Create(package.manifestPath,
                        package.modulePath.substr(0, package.modulePath.size() - moduleFile.size()));
}

}  // namespace

const char* StateName(State state) {
  switch (state) {
    case State::Unchecked: return "unchecked";
    case State::Ready: return "ready";
    case State::Working: return "working";
    case State::NoServer: return "no-server";
    case State::PathTooLong: return "path-too-long";
    case State::ModuleMissing: return "module-missing";
    case State::NotAModule: return "not-a-module";
    case State::OtherArchitecture: return "other-architecture";
    case State::FolderMissing: return "folder-missing";
    case State::ScriptMissing: return "script-missing";
    case State::ScriptUnreadable: return "script-unreadable";
    case State::BadIdentifier: return "bad-identifier";
    case State::Stale: return "stale";
    case State::Changed: return "changed";
    case State::CreateFailed: return "create-failed";
    case State::TimedOut: return "timed-out";
    case State::NoStyle: return "no-style";
    case State::NoText: return "no-text";
    case State::ManifestMissing: return "manifest-missing";
    case State::BadManifest: return "bad-manifest";
    case State::NotInManifest: return "not-in-manifest";
  }
  return "unknown";
}

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
    const bool stale = std::any_of(classes.begin(), classes.end(), [kind](const Class& entry) {
      return entry.kind == kind;
    });
    if (stale) return State::Stale;
    return i == 0 ? State::NoStyle : State::NoText;
  }
  return pair[0]->state == State::Working && pair[1]->state == State::Working ? State::Working
                                                                             : State::Ready;
}

void CheckPackage(Package& package) {
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
  if (package.origin == Origin::Registry) {
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
  if (package.origin == Origin::Folder) {
    // Found in a folder: the scripts and the manifest are all there is.
    KeepFolderPair(package);
    if (CheckModule(package, scriptIds)) CheckFolderManifest(package, scriptIds);
    return;
  }
  if (CheckModule(package, scriptIds)) {
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
  OrderClasses(package);
}

HRESULT FindRegisteredPackages(std::vector<Package>& packages) {
  packages.clear();
  Ref<ICatInformation> categories;
  HRESULT result = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_ICatInformation, reinterpret_cast<void**>(categories.put()));
  if (FAILED(result)) return result;
  std::vector<Class> classes;
  result = ListCategory(categories.get(), CATID_TarvoStyles, ClassKind::Style, classes);
  if (SUCCEEDED(result)) {
    result = ListCategory(categories.get(), CATID_TarvoTexts, ClassKind::Text, classes);
  }
  if (FAILED(result)) return result;

  // One package per module file; a class without a server stands alone.
  for (Class& entry : classes) {
    const std::wstring modulePath = entry.hasServer ? ModulePathOf(entry.serverPath) : std::wstring();
    auto same = std::find_if(packages.begin(), packages.end(), [&](const Package& package) {
      return entry.hasServer && !package.modulePath.empty() &&
             ComparePaths(package.modulePath, modulePath) == 0;
    });
    if (same == packages.end()) {
      Package package;
      package.origin = Origin::Registry;
      package.modulePath = modulePath;
      package.folder = PackageFolder(modulePath);
      packages.push_back(package);
      same = packages.end() - 1;
    }
    same->classes.push_back(entry);
  }
  for (Package& package : packages) CheckPackage(package);
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

// The files of `pattern` in `base` (not folders), by name.
std::vector<std::wstring> FilesMatching(const std::wstring& base, const wchar_t* pattern,
                                        const wchar_t* extension, DWORD& error) {
  std::vector<std::wstring> names;
  error = ERROR_SUCCESS;
  WIN32_FIND_DATAW found = {};
  HANDLE search = FindFirstFileW((base + L"\\" + pattern).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return names;
  }
  const int extensionLength = lstrlenW(extension);
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const std::wstring name = found.cFileName;
    // A pattern also matches longer extensions through short names: only the exact one counts.
    if (static_cast<int>(name.size()) <= extensionLength ||
        CompareStringOrdinal(name.c_str() + name.size() - extensionLength, extensionLength,
                             extension, extensionLength, TRUE) != CSTR_EQUAL) {
      continue;
    }
    names.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
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
  std::wstring base = folder;
  while (base.size() > 1 && (base.back() == L'\\' || base.back() == L'/')) base.pop_back();
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
  for (Package& package : packages) CheckPackage(package);
  std::stable_sort(packages.begin(), packages.end(), [](const Package& a, const Package& b) {
    return ComparePaths(a.modulePath, b.modulePath) < 0;
  });
  return S_OK;
}

HRESULT CreateClass(Package& package, ClassKind kind, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  CheckPackage(package);
  Class* entry = kind == ClassKind::Style ? package.style() : package.text();
  if (!entry || entry->state != State::Ready) return STUBHOST_E_NOT_READY;
  detail::ActivationContext context;
  HRESULT result = MakeContext(package, context);
  if (FAILED(result)) {
    entry->state = State::BadManifest;
    entry->result = result;
    return STUBHOST_E_NOT_READY;
  }
  detail::ActiveContext active(context.get());
  result = CoCreateInstance(entry->clsid, nullptr, CLSCTX_INPROC_SERVER, iid, object);
  entry->state = SUCCEEDED(result) ? State::Working : State::CreateFailed;
  entry->result = result;
  return result;
}

HRESULT TryPackage(Package& package, DWORD timeLimitMilliseconds) {
  CheckPackage(package);
  Class* targets[2] = {};
  int count = 0;
  for (Class* entry : {package.style(), package.text()}) {
    if (entry && entry->state == State::Ready) targets[count++] = entry;
  }
  if (count == 0) return STUBHOST_E_NOT_READY;

  Trial* trial = new Trial;
  trial->apartment = CallerApartment();
  trial->count = count;
  for (int i = 0; i < count; ++i) {
    trial->clsids[i] = targets[i]->clsid;
    trial->results[i] = kPending;
  }
  const HRESULT made = MakeContext(package, trial->context);
  if (FAILED(made)) {
    delete trial;
    for (int i = 0; i < count; ++i) {
      targets[i]->state = State::BadManifest;
      targets[i]->result = made;
    }
    return STUBHOST_E_NOT_READY;
  }
  trial->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = trial->done ? CreateThread(nullptr, 0, RunTrial, trial, 0, nullptr) : nullptr;
  if (!thread) {
    const DWORD error = GetLastError();
    if (trial->done) CloseHandle(trial->done);
    delete trial;
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
  }
  CloseHandle(thread);
  // Wait while serving COM's calls into this apartment: a class registered
  // without a threading model is created in the process's first
  // single-threaded apartment, which may be the caller's own.
  DWORD index = 0;
  if (CoWaitForMultipleHandles(0, timeLimitMilliseconds, 1, &trial->done, &index) ==
      CO_E_NOTINITIALIZED) {
    WaitForSingleObject(trial->done, timeLimitMilliseconds);
  }
  bool allWorking = true;
  for (int i = 0; i < count; ++i) {
    const LONG result = InterlockedCompareExchange(&trial->results[i], kPending, kPending);
    if (result == kPending) {
      targets[i]->state = State::TimedOut;
    } else {
      targets[i]->result = static_cast<HRESULT>(result);
      targets[i]->state = SUCCEEDED(result) ? State::Working : State::CreateFailed;
    }
    allWorking = allWorking && targets[i]->state == State::Working;
  }
  trial->Release();
  return allWorking && count == 2 ? S_OK : S_FALSE;
}

}  // namespace host
}  // namespace stub
