#include "package/self_registration.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>

#include "package/class_identity.h"
#include "package/message_box.h"
#include "package/message_captions.h"
#include "package/module_path.h"
#include "platform/hresult.h"
#include "registrar/registrar.h"
#include "server/server_module.h"

// {390F9E99-171D-4A3B-A185-A0E495BA86D0}
const CATID CATID_TarvoStyles = {
    0x390F9E99, 0x171D, 0x4A3B, {0xA1, 0x85, 0xA0, 0xE4, 0x95, 0xBA, 0x86, 0xD0}};
// {FD8ABB6D-B549-4A66-94A9-3C360CD70490}
const CATID CATID_TarvoTexts = {
    0xFD8ABB6D, 0xB549, 0x4A66, {0x94, 0xA9, 0x3C, 0x36, 0x0C, 0xD7, 0x04, 0x90}};

namespace {

// The standard component categories manager and its registration interface.
constexpr CLSID kCategoryManagerClassId = {
    0x0002E005, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr IID kCatRegisterInterfaceId = {
    0x0002E012, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// English (United States): the locale of the category descriptions, and the
// name of the description's value (the locale in hexadecimal).
constexpr LCID kCategoryLocale = 1033;
constexpr char16_t kCategoryLocaleName[] = u"409";

// A braced identifier, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", terminated.
constexpr std::size_t kGuidTextCapacity = 39;
// The longest key path written for a category entry, terminated.
constexpr std::size_t kCategoryPathCapacity = 128;

struct CategoryRow {
  const GUID* classId;
  const CATID* categoryId;
  const char16_t* description;
};

// Each row points at its class identifier global, so it sees the identifier
// read from the package at the time of registration.
const CategoryRow kCategoryTable[] = {
    {&CLSID_Stub, &CATID_TarvoStyles, u"Tarvo Styles"},
    {&CLSID_StubText, &CATID_TarvoTexts, u"Tarvo Texts"},
};

// A new zero-filled heap block for the caller to own; null when out of memory.
void* ZeroedBlock(std::size_t bytes) {
  auto* block = static_cast<unsigned char*>(sys::MemAlloc(bytes));
  if (block) {
    for (std::size_t i = 0; i < bytes; ++i) block[i] = 0;
  }
  return block;
}

// The byte count of an open file, the position left at its start; -1 when the
// file cannot be sized (a device or pipe, or a seek that fails).
long FileSize(FILE* file) {
  if (sys::fseek(file, 0, SEEK_END) != 0) return -1;
  const long size = sys::ftell(file);
  if (size < 0 || sys::fseek(file, 0, SEEK_SET) != 0) return -1;
  return size;
}

// True when `size` bytes and size + 1 wide characters can be allocated and
// counted in the int of the conversion call.
bool TextFits(long size) {
  return static_cast<unsigned long>(size) < static_cast<unsigned long>(INT_MAX) &&
         static_cast<std::uintmax_t>(size) < SIZE_MAX / sizeof(char16_t);
}

// Where registration enters the classes into their categories: through the
// categories manager for the machine, or by the module itself under the
// redirected classes key for a user, since the manager may not follow the
// redirection (Wine's writes the machine-wide key all the same).
using CategoryWriter = HRESULT (*)(const char16_t* description, const CLSID& classId,
                                   const CATID& categoryId);

void RegisterCategories(CategoryWriter write) {
  for (const CategoryRow& row : kCategoryTable) {
    write(row.description, *row.classId, *row.categoryId);
  }
}

// Writes `id` in its braced upper-case form, as the registry spells class keys.
void FormatGuid(const GUID& id, char16_t (&text)[kGuidTextCapacity]) {
  static const char16_t kDigits[] = u"0123456789ABCDEF";
  std::uint8_t bytes[16];
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(id.Data1 >> (24 - 8 * i));
  for (int i = 0; i < 2; ++i) bytes[4 + i] = static_cast<std::uint8_t>(id.Data2 >> (8 - 8 * i));
  for (int i = 0; i < 2; ++i) bytes[6 + i] = static_cast<std::uint8_t>(id.Data3 >> (8 - 8 * i));
  for (int i = 0; i < 8; ++i) bytes[8 + i] = id.Data4[i];
  std::size_t n = 0;
  text[n++] = u'{';
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text[n++] = u'-';
    text[n++] = kDigits[bytes[i] >> 4];
    text[n++] = kDigits[bytes[i] & 0xF];
  }
  text[n++] = u'}';
  text[n] = 0;
}

// Joins `parts` into `path`; the parts are fixed names and identifiers that
// always fit.
void JoinKeyPath(std::initializer_list<const char16_t*> parts,
                 char16_t (&path)[kCategoryPathCapacity]) {
  std::size_t n = 0;
  for (const char16_t* part : parts) {
    for (; *part && n + 1 < kCategoryPathCapacity; ++part) path[n++] = *part;
  }
  path[n] = 0;
}

// Creates (or opens) `path` under HKEY_CLASSES_ROOT with `access` into `key`.
LONG CreateClassesKey(const char16_t* path, REGSAM access, CUniqueKey* key) {
  return sys::RegCreateKeyExW(HKEY_CLASSES_ROOT, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                              nullptr, key->Put(), nullptr);
}

// Makes HKEY_CLASSES_ROOT stand for the current user's classes key in this
// process, held by `redirection` until it is given back.
HRESULT RedirectClassesToUser(CKeyOverride* redirection) {
  CUniqueKey userClasses;
  LONG status = sys::RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Classes", 0, nullptr,
                                     REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                     userClasses.Put(), nullptr);
  if (status == ERROR_SUCCESS) {
    status = sys::RegOverridePredefKey(HKEY_CLASSES_ROOT, userClasses.Get());
  }
  if (status != ERROR_SUCCESS) return HResultFromWin32(status);
  redirection->Reset(HKEY_CLASSES_ROOT);
  return S_OK;
}  // the redirection keeps its own reference to the key closed here

HRESULT Register(CategoryWriter writeCategory) {
  char16_t longPath[kModulePathCapacity];
  char16_t directory[kModulePathCapacity];
  // The scripts on disk may have changed since the module was loaded.
  HRESULT result = LocatePackage(ModuleInstance, longPath, directory);
  if (FAILED(result)) return result;

  RegisterCategories(writeCategory);
  result = RunPackageScripts(longPath, directory, ScriptMode::kRegister);
  // A script that replaces its class key (ForceRemove) deletes the category
  // entries just made; entering them again makes a successful registration
  // always end with the classes in their categories.
  if (SUCCEEDED(result)) RegisterCategories(writeCategory);
  return result;
}

}  // namespace

HRESULT RegisterCategory(const char16_t* description, const CLSID& classId,
                         const CATID& categoryId) {
  CInterfacePtr<ICatRegister> manager;
  HRESULT result = sys::CoCreateInstance(kCategoryManagerClassId, nullptr, CLSCTX_INPROC,
                                         kCatRegisterInterfaceId,
                                         reinterpret_cast<void**>(manager.Put()));
  if (FAILED(result)) return result;
  if (!manager) return E_UNEXPECTED;

  CATEGORYINFO info = {};
  info.catid = categoryId;
  info.lcid = kCategoryLocale;
  sys::SetCategoryDescription(info, description);
  // The category may already be known (another package registered it first);
  // what counts is the class entry below.
  manager->RegisterCategories(1, &info);
  CATID ids[1] = {categoryId};
  return manager->RegisterClassImplCategories(classId, 1, ids);
}

HRESULT RegisterCategoryForUser(const char16_t* description, const CLSID& classId,
                                const CATID& categoryId) {
  char16_t category[kGuidTextCapacity];
  char16_t classText[kGuidTextCapacity];
  FormatGuid(categoryId, category);
  FormatGuid(classId, classText);
  char16_t path[kCategoryPathCapacity];

  CUniqueKey key;
  JoinKeyPath({u"Component Categories\\", category}, path);
  LONG status = CreateClassesKey(path, KEY_SET_VALUE, &key);
  if (status == ERROR_SUCCESS) {
    const DWORD bytes = static_cast<DWORD>((sys::lstrlenW(description) + 1) * sizeof(char16_t));
    status = sys::RegSetValueExW(key.Get(), kCategoryLocaleName, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(description), bytes);
  }
  if (status == ERROR_SUCCESS) {
    JoinKeyPath({u"CLSID\\", classText, u"\\Implemented Categories\\", category}, path);
    status = CreateClassesKey(path, KEY_READ, &key);
  }
  return HResultFromWin32(status);
}

HRESULT LoadScriptText(const char16_t* scriptPath, CHeapMemory<char16_t>* text) {
  if (!text) return E_POINTER;
  text->Reset();
  CHeapMemory<char> bytes;
  std::size_t byteCount = 0;
  {
    // A script that cannot be read whole must not run in part: it would
    // register some keys and report the rest as if the script ended there.
    CUniqueFile file(sys::_wfopen(scriptPath, u"rb"));
    const long size = file ? FileSize(file.Get()) : -1;
    if (size >= 0) {
      if (!TextFits(size)) return E_OUTOFMEMORY;
      byteCount = static_cast<std::size_t>(size);
      bytes.Reset(static_cast<char*>(ZeroedBlock(byteCount + 1)));
      if (!bytes) return E_OUTOFMEMORY;
    }
    if (size < 0 || sys::fread(bytes.Get(), 1, byteCount, file.Get()) != byteCount) {
      ShowMessageBox(scriptPath, kLoadFailedCaption);
      return E_INVALIDARG;
    }
  }  // the bytes are all in memory: the file is closed before the conversion

  CHeapMemory<char16_t> wide(
      static_cast<char16_t*>(ZeroedBlock((byteCount + 1) * sizeof(char16_t))));
  if (!wide) return E_OUTOFMEMORY;
  // UTF-8 never needs more UTF-16 units than bytes, and the zeroed spare unit
  // terminates the text whatever the conversion answers. Bytes that are no
  // UTF-8 become U+FFFD; a byte-order mark is kept as U+FEFF.
  if (byteCount > 0) {
    sys::MultiByteToWideChar(CP_UTF8, 0, bytes.Get(), static_cast<int>(byteCount), wide.Get(),
                             static_cast<int>(byteCount));
  }
  text->Reset(wide.Take());
  return S_OK;
}

HRESULT RunScriptFile(const char16_t* moduleLongPath, const char16_t* scriptPath,
                      ScriptMode mode) {
  CRegistrar registrar;
  ScriptParser parser(&registrar);
  // Should this fail, %Module% is an unknown name and the run refuses the script.
  registrar.DefineReplacement(u"Module", moduleLongPath);

  CHeapMemory<char16_t> text;
  HRESULT result = LoadScriptText(scriptPath, &text);
  if (FAILED(result)) return result;
  return parser.RunScript(text.Get(), mode);
}

HRESULT RunPackageScripts(const char16_t* moduleLongPath, const char16_t* directory,
                          ScriptMode mode) {
  char16_t path[kScriptPathCapacity];
  if (!JoinPath(directory, u"Style.rgs", path)) return E_INVALIDARG;
  HRESULT result = RunScriptFile(moduleLongPath, path, mode);
  if (result != S_OK) return result;
  if (!JoinPath(directory, u"StyleText.rgs", path)) return E_INVALIDARG;
  return RunScriptFile(moduleLongPath, path, mode);
}

HRESULT RegisterServer() { return Register(RegisterCategory); }

HRESULT UnregisterServer() {
  char16_t longPath[kModulePathCapacity];
  char16_t directory[kModulePathCapacity];
  // The scripts on disk may have changed since the module was loaded.
  HRESULT result = LocatePackage(ModuleInstance, longPath, directory);
  if (FAILED(result)) return result;
  return RunPackageScripts(longPath, directory, ScriptMode::kRemove);
}

HRESULT InstallServer(BOOL install, const char16_t* commandLine) {
  if (!commandLine || sys::lstrcmpiW(commandLine, u"user") != 0) return E_INVALIDARG;
  CKeyOverride redirection;
  HRESULT result = RedirectClassesToUser(&redirection);
  if (FAILED(result)) return result;
  return install ? Register(RegisterCategoryForUser) : UnregisterServer();
}
