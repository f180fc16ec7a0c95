// A host as a style application would write one: it finds every installed
// style package through the component categories, without knowing any package
// by name, pairs each style with the text style of the same package, checks
// what can be checked before a module is loaded, and creates and releases
// each class that can work.
//
//   package_host.exe [--sta | --mta]
//
// --sta (the default) runs the host in a single-threaded apartment, as a
// program with windows does; --mta in the multithreaded apartment, as a
// service or a worker does.
//
// Output: UTF-8 lines of a word followed by name=value fields. A value with a
// blank, a double quote or nothing in it is written in double quotes, with
// each double quote inside doubled; "-" stands for a value that is absent.
//
//   host architecture=x64 apartment=sta
//   category kind=style catid={390F9E99-...} description="Tarvo Styles"
//   category kind=text catid={FD8ABB6D-...} description="Tarvo Texts"
//   package state=working module=C:\Packages\Aurora.dll
//     style state=working clsid={049E...} progid=Aurora.Style.1 threading=Apartment description="Aurora Style"
//     text state=working clsid={5703...} progid=Aurora.StyleText.1 threading=Both description="Aurora Text Style"
//   summary packages=1 working=1 not-working=0
//
// docs/hosts.md lists every state and what it means. Exit code 0 when every
// package listed works (none listed included), 1 when some do not, 2 when the
// categories cannot be read or the command line cannot be followed.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <objbase.h>
#include <comcat.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

// {390F9E99-171D-4A3B-A185-A0E495BA86D0}, "Tarvo Styles"
constexpr CATID CATID_TarvoStyles = {
    0x390F9E99, 0x171D, 0x4A3B, {0xA1, 0x85, 0xA0, 0xE4, 0x95, 0xBA, 0x86, 0xD0}};
// {FD8ABB6D-B549-4A66-94A9-3C360CD70490}, "Tarvo Texts"
constexpr CATID CATID_TarvoTexts = {
    0xFD8ABB6D, 0xB549, 0x4A66, {0x94, 0xA9, 0x3C, 0x36, 0x0C, 0xD7, 0x04, 0x90}};

constexpr LCID kEnglish = 0x409;  // the locale the packages describe their categories in

#ifdef _WIN64
constexpr WORD kHostMachine = IMAGE_FILE_MACHINE_AMD64;
#else
constexpr WORD kHostMachine = IMAGE_FILE_MACHINE_I386;
#endif

enum class Kind { kStyle, kText };

struct Category {
  Kind kind;
  const CATID* id;
  const char* word;
};
const Category kCategories[] = {{Kind::kStyle, &CATID_TarvoStyles, "style"},
                                {Kind::kText, &CATID_TarvoTexts, "text"}};

// One class found in a category, with what its registration says.
struct Entry {
  Kind kind = Kind::kStyle;
  CLSID clsid = {};
  std::wstring description;  // the class key's default value
  std::wstring progId;
  bool hasServer = false;    // the class has an InprocServer32 key
  std::wstring module;       // the server's path, in its long form where the file exists
  std::wstring threading;    // the server's ThreadingModel value
  std::string state;         // "working" or why the class cannot work
  std::string detail;        // more about the state, as name=value fields
};

// Owns one open registry key.
class Key {
 public:
  Key() = default;
  ~Key() {
    if (key_) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  /// Opens `path` under `parent` for reading; false (and nothing held) on failure.
  bool Open(HKEY parent, const std::wstring& path) {
    return RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key_) == ERROR_SUCCESS;
  }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// A string value of `key` (the default value for a null name), or absent. A
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

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = static_cast<int>(text.size());
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string narrow(bytes > 0 ? bytes : 0, '\0');
  if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), size, &narrow[0], bytes, nullptr, nullptr);
  return narrow;
}

// " name=value" in the output's quoting; line breaks and other control
// characters become blanks, so that every record stays on its line.
std::string Field(const char* name, const std::string& value) {
  std::string clean = value;
  for (char& c : clean) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  const bool quote = clean.empty() || clean == "-" ||
                     clean.find_first_of(" \"") != std::string::npos;
  if (!quote) return std::string(" ") + name + "=" + clean;
  std::string quoted = std::string(" ") + name + "=\"";
  for (char c : clean) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}
std::string Field(const char* name, const std::wstring& value) { return Field(name, Utf8(value)); }
std::string Absent(const char* name) { return std::string(" ") + name + "=-"; }

std::string Hex(unsigned long value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*lX", digits, value);
  return text;
}

// The symbolic name of the failures a host meets when it creates a class.
const char* ResultName(HRESULT result) {
  switch (result) {
    case REGDB_E_CLASSNOTREG: return "REGDB_E_CLASSNOTREG";
    case CLASS_E_CLASSNOTAVAILABLE: return "CLASS_E_CLASSNOTAVAILABLE";
    case E_ACCESSDENIED: return "E_ACCESSDENIED";
    case E_NOINTERFACE: return "E_NOINTERFACE";
    case E_OUTOFMEMORY: return "E_OUTOFMEMORY";
    case E_FAIL: return "E_FAIL";
    case E_UNEXPECTED: return "E_UNEXPECTED";
    case CO_E_ERRORINDLL: return "CO_E_ERRORINDLL";
    case CO_E_DLLNOTFOUND: return "CO_E_DLLNOTFOUND";
    case HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND): return "ERROR_MOD_NOT_FOUND";
    case HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT): return "ERROR_BAD_EXE_FORMAT";
    case HRESULT_FROM_WIN32(ERROR_DLL_INIT_FAILED): return "ERROR_DLL_INIT_FAILED";
    case HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER): return "ERROR_INSUFFICIENT_BUFFER";
    default: return nullptr;
  }
}

std::string MachineName(WORD machine) {
  switch (machine) {
    case IMAGE_FILE_MACHINE_I386: return "x86";
    case IMAGE_FILE_MACHINE_AMD64: return "x64";
    case 0xAA64: return "arm64";  // IMAGE_FILE_MACHINE_ARM64
    default: return Hex(machine, 4);
  }
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

// The machine field of a PE image's file header, read without loading it: a
// process can load only modules of its own machine, and the loader's failure
// for another one tells less than this.
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

// Everything the registry says about one class of a category.
Entry ReadEntry(Kind kind, const CLSID& clsid) {
  Entry entry;
  entry.kind = kind;
  entry.clsid = clsid;
  const std::wstring classPath = L"CLSID\\" + GuidText(clsid);
  Key classKey;
  if (classKey.Open(HKEY_CLASSES_ROOT, classPath)) {
    ReadString(classKey.get(), nullptr, entry.description);
    Key progIdKey;
    if (progIdKey.Open(classKey.get(), L"ProgID")) ReadString(progIdKey.get(), nullptr, entry.progId);
  }
  Key server;
  entry.hasServer = server.Open(HKEY_CLASSES_ROOT, classPath + L"\\InprocServer32");
  if (entry.hasServer) {
    ReadString(server.get(), nullptr, entry.module);
    ReadString(server.get(), L"ThreadingModel", entry.threading);
    wchar_t longPath[MAX_PATH] = {};
    const DWORD length = GetLongPathNameW(entry.module.c_str(), longPath, MAX_PATH);
    if (length > 0 && length < MAX_PATH) entry.module = longPath;
  }
  return entry;
}

// What can be known before the module is loaded. Answers false, with the
// state set, when the class cannot work.
bool CheckBeforeLoading(Entry& entry) {
  if (!entry.hasServer) {
    // The class key outlived the package: removal leaves the category entry,
    // and with it the class key, in place.
    entry.state = "no-server";
    return false;
  }
  if (!IsFile(entry.module)) {
    entry.state = "module-missing";
    return false;
  }
  WORD machine = 0;
  if (!ReadMachine(entry.module, machine)) {
    entry.state = "not-a-module";
    return false;
  }
  if (machine != kHostMachine) {
    entry.state = "other-architecture";
    entry.detail = Field("machine", MachineName(machine));
    return false;
  }
  // The module reads its two scripts from the folder named after its file
  // (less the four-character extension) while it loads, and shows a box that
  // waits for a person when it cannot: look first.
  const std::wstring folder = entry.module.size() > 4
                                  ? entry.module.substr(0, entry.module.size() - 4)
                                  : std::wstring();
  if (folder.empty() || !IsFolder(folder)) {
    entry.state = "folder-missing";
    entry.detail = Field("folder", folder);
    return false;
  }
  for (const wchar_t* script : {L"Style.rgs", L"StyleText.rgs"}) {
    if (!IsFile(folder + L"\\" + script)) {
      entry.state = "script-missing";
      entry.detail = Field("script", folder + L"\\" + script);
      return false;
    }
  }
  return true;
}

// Creates the class in the process (the engine object comes back) and
// releases it at once.
void Create(Entry& entry) {
  ComPtr<IUnknown> object;
  const HRESULT result = CoCreateInstance(entry.clsid, nullptr, CLSCTX_INPROC_SERVER,
                                          IID_PPV_ARGS(&object));
  if (SUCCEEDED(result)) {
    entry.state = "working";
    return;
  }
  entry.state = "create-failed";
  entry.detail = Field("result", Hex(static_cast<unsigned long>(result), 8));
  if (const char* name = ResultName(result)) entry.detail += Field("result-name", std::string(name));
}

// The classes of one category; false if the categories manager refuses.
bool ListCategory(ICatInformation* categories, const Category& category,
                  std::vector<Entry>& entries) {
  // No required categories: the host offers none, so only classes that need
  // nothing of their container are listed.
  ComPtr<IEnumCLSID> found;
  HRESULT result = categories->EnumClassesOfCategories(1, category.id, 0, nullptr, &found);
  if (FAILED(result)) {
    std::fprintf(stderr, "package_host: error: the %s category cannot be read (%s)\n",
                 category.word, Hex(static_cast<unsigned long>(result), 8).c_str());
    return false;
  }
  CLSID clsid = {};
  ULONG fetched = 0;
  while (found->Next(1, &clsid, &fetched) == S_OK && fetched == 1) {
    entries.push_back(ReadEntry(category.kind, clsid));
  }
  return true;
}

void PrintCategory(ICatInformation* categories, const Category& category) {
  wchar_t* description = nullptr;
  std::string line = std::string("category") + Field("kind", std::string(category.word)) +
                     Field("catid", GuidText(*category.id));
  if (SUCCEEDED(categories->GetCategoryDesc(*category.id, kEnglish, &description))) {
    line += Field("description", std::wstring(description));
    CoTaskMemFree(description);
  } else {
    line += Absent("description");
  }
  std::printf("%s\n", line.c_str());
}

void PrintEntry(const Entry& entry) {
  std::string line = std::string("  ") + (entry.kind == Kind::kStyle ? "style" : "text") +
                     Field("state", entry.state) + entry.detail +
                     Field("clsid", GuidText(entry.clsid));
  line += entry.progId.empty() ? Absent("progid") : Field("progid", entry.progId);
  line += entry.threading.empty() ? Absent("threading") : Field("threading", entry.threading);
  line += entry.description.empty() ? Absent("description") : Field("description", entry.description);
  std::printf("%s\n", line.c_str());
}

// Case-insensitive order of module paths, as the file system compares them.
int ComparePaths(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) - CSTR_EQUAL;
}

// One package: the classes served by one module file. A class without a
// server cannot be paired and stands alone.
struct Package {
  std::vector<Entry> classes;
  std::string State() const {
    bool style = false, text = false;
    for (const Entry& entry : classes) {
      if (entry.state != "working") return entry.state;
      (entry.kind == Kind::kStyle ? style : text) = true;
    }
    if (!style) return "no-style";
    if (!text) return "no-text";
    return "working";
  }
};

std::vector<Package> Pair(std::vector<Entry> entries) {
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    if (a.hasServer != b.hasServer) return a.hasServer;
    if (a.hasServer) {
      const int order = ComparePaths(a.module, b.module);
      if (order != 0) return order < 0;
    }
    if (a.kind != b.kind) return a.kind == Kind::kStyle;
    return GuidText(a.clsid) < GuidText(b.clsid);
  });
  std::vector<Package> packages;
  for (Entry& entry : entries) {
    const bool samePackage = !packages.empty() && entry.hasServer &&
                             packages.back().classes.front().hasServer &&
                             ComparePaths(packages.back().classes.front().module, entry.module) == 0;
    if (!samePackage) packages.emplace_back();
    packages.back().classes.push_back(std::move(entry));
  }
  return packages;
}

int ListPackages(DWORD apartment) {
  std::printf("host%s%s\n", Field("architecture", MachineName(kHostMachine)).c_str(),
              Field("apartment", std::string(apartment == COINIT_MULTITHREADED ? "mta" : "sta"))
                  .c_str());
  ComPtr<ICatInformation> categories;
  HRESULT result = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_PPV_ARGS(&categories));
  if (FAILED(result)) {
    std::fprintf(stderr, "package_host: error: no component categories manager (%s)\n",
                 Hex(static_cast<unsigned long>(result), 8).c_str());
    return 2;
  }
  std::vector<Entry> entries;
  for (const Category& category : kCategories) {
    PrintCategory(categories.Get(), category);
    if (!ListCategory(categories.Get(), category, entries)) return 2;
  }

  int working = 0;
  std::vector<Package> packages = Pair(std::move(entries));
  for (Package& package : packages) {
    for (Entry& entry : package.classes) {
      if (CheckBeforeLoading(entry)) Create(entry);
    }
    // The package's module is no longer needed: let COM unload it now rather
    // than keep every module of the list loaded until the host ends.
    CoFreeUnusedLibrariesEx(0, 0);
    const std::string state = package.State();
    if (state == "working") ++working;
    const Entry& first = package.classes.front();
    std::printf("package%s%s\n", Field("state", state).c_str(),
                first.hasServer ? Field("module", first.module).c_str() : Absent("module").c_str());
    for (const Entry& entry : package.classes) PrintEntry(entry);
    // A reader of a pipe or file sees each package as soon as it is done.
    std::fflush(stdout);
  }
  const int total = static_cast<int>(packages.size());
  std::printf("summary packages=%d working=%d not-working=%d\n", total, working, total - working);
  return working == total ? 0 : 1;
}

const char kUsage[] =
    "usage: package_host [--sta | --mta]\n"
    "Lists the installed style packages through the component categories, checks\n"
    "each class, and creates and releases each one that can work.\n"
    "  --sta  run in a single-threaded apartment (the default)\n"
    "  --mta  run in the multithreaded apartment\n"
    "Exit code 0 every package works, 1 some do not, 2 the list cannot be read.\n";

}  // namespace

int wmain(int argc, wchar_t** argv) {
  DWORD apartment = COINIT_APARTMENTTHREADED;
  for (int i = 1; i < argc; ++i) {
    if (lstrcmpW(argv[i], L"--sta") == 0) {
      apartment = COINIT_APARTMENTTHREADED;
    } else if (lstrcmpW(argv[i], L"--mta") == 0) {
      apartment = COINIT_MULTITHREADED;
    } else if (lstrcmpW(argv[i], L"--help") == 0) {
      std::printf("%s", kUsage);
      return 0;
    } else {
      std::fprintf(stderr, "%s", kUsage);
      return 2;
    }
  }
  SetConsoleOutputCP(CP_UTF8);
  const HRESULT result = CoInitializeEx(nullptr, apartment);
  if (FAILED(result)) {
    std::fprintf(stderr, "package_host: error: COM could not be initialised (%s)\n",
                 Hex(static_cast<unsigned long>(result), 8).c_str());
    return 2;
  }
  const int exitCode = ListPackages(apartment);
  CoUninitialize();
  return exitCode;
}
