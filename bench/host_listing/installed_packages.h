// What the host benchmarks share: N packages installed as regsvr32 installs
// them (a copy of the module, its package folder with both scripts, and both
// classes' keys with their categories, made by direct registry calls), the
// bare enumeration of both categories a host without the library starts
// from, and the command line's numbers.
#pragma once

#include <comcat.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "stub/stub_categories.h"

namespace bench {

inline std::wstring GuidText(const GUID& id) {
  wchar_t text[40] = {};
  StringFromGUID2(id, text, 40);
  return text;
}

inline bool SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

// Creates HKCR\path (and those above it) and sets its default value, if any.
inline bool MakeKey(const std::wstring& path, const std::wstring& value, const wchar_t* threading = nullptr) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  bool made = value.empty() || SetString(key, nullptr, value);
  if (threading) made = made && SetString(key, L"ThreadingModel", threading);
  RegCloseKey(key);
  return made;
}

inline bool WriteText(const std::wstring& path, const std::string& text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                  written == text.size();
  CloseHandle(file);
  return ok;
}

struct Installed {
  std::wstring folder;
  std::vector<CLSID> classes;
};

// One package: NAME.dll, NAME\Style.rgs and NAME\StyleText.rgs, and both classes' keys.
inline bool InstallPackage(Installed& installed, int index) {
  wchar_t name[16];
  std::swprintf(name, 16, L"Pkg%05d", index);
  const std::wstring module = installed.folder + L"\\" + name + L".dll";
  if (!CopyFileW(STUB_DLL_PATH, module.c_str(), FALSE)) return false;
  const std::wstring folder = installed.folder + L"\\" + name;
  if (!CreateDirectoryW(folder.c_str(), nullptr)) return false;
  const wchar_t* scripts[2] = {L"Style.rgs", L"StyleText.rgs"};
  const CATID* categories[2] = {&CATID_TarvoStyles, &CATID_TarvoTexts};
  for (int kind = 0; kind < 2; ++kind) {
    CLSID id = {};
    if (FAILED(CoCreateGuid(&id))) return false;
    installed.classes.push_back(id);
    const std::wstring text = GuidText(id);
    const std::string narrow(text.begin(), text.end());
    if (!WriteText(folder + L"\\" + scripts[kind],
                   "HKCR\r\n{\r\n  Pkg.Class.1 = s 'Pkg'\r\n  {\r\n    CLSID = s '" + narrow +
                       "'\r\n  }\r\n}\r\n")) {
      return false;
    }
    const std::wstring key = L"CLSID\\" + text;
    if (!MakeKey(key, std::wstring(name) + L" class") ||
        !MakeKey(key + L"\\ProgID", std::wstring(name) + L".1") ||
        !MakeKey(key + L"\\InprocServer32", module, L"Both") ||
        !MakeKey(key + L"\\Implemented Categories\\" + GuidText(*categories[kind]), std::wstring())) {
      return false;
    }
  }
  return true;
}

inline void Uninstall(const Installed& installed, int count) {
  for (const CLSID& id : installed.classes) {
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + GuidText(id)).c_str());
  }
  for (int index = 0; index < count; ++index) {
    wchar_t name[16];
    std::swprintf(name, 16, L"Pkg%05d", index);
    const std::wstring folder = installed.folder + L"\\" + name;
    DeleteFileW((folder + L"\\Style.rgs").c_str());
    DeleteFileW((folder + L"\\StyleText.rgs").c_str());
    RemoveDirectoryW(folder.c_str());
    DeleteFileW((folder + L".dll").c_str());
  }
  RemoveDirectoryW(installed.folder.c_str());
}

// The baseline: both categories enumerated, every identifier fetched. Answers how many.
inline size_t EnumerateCategories() {
  ICatInformation* categories = nullptr;
  if (FAILED(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                              IID_ICatInformation, reinterpret_cast<void**>(&categories)))) {
    return 0;
  }
  size_t count = 0;
  for (const CATID* category : {&CATID_TarvoStyles, &CATID_TarvoTexts}) {
    CATID wanted = *category;
    IEnumCLSID* found = nullptr;
    if (FAILED(categories->EnumClassesOfCategories(1, &wanted, 0, nullptr, &found))) continue;
    CLSID batch[64];
    ULONG fetched = 0;
    while (SUCCEEDED(found->Next(64, batch, &fetched)) && fetched > 0) count += fetched;
    found->Release();
  }
  categories->Release();
  return count;
}

// Installs `count` packages in a new folder of the temporary folder named
// PREFIX and a tag (by a GUID: Wine reuses process ids); on failure says why,
// removes what it installed and answers false.
inline bool InstallPackages(Installed& installed, const wchar_t* prefix, int count) {
  wchar_t temp[MAX_PATH] = {};
  wchar_t longTemp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  GetLongPathNameW(temp, longTemp, MAX_PATH);
  GUID tag = {};
  CoCreateGuid(&tag);
  installed.folder = std::wstring(longTemp) + prefix + GuidText(tag).substr(1, 8);
  if (!CreateDirectoryW(installed.folder.c_str(), nullptr)) {
    std::fprintf(stderr, "bench: the folder for the packages could not be made (%lu)\n", GetLastError());
    return false;
  }
  for (int index = 0; index < count; ++index) {
    if (!InstallPackage(installed, index)) {
      std::fprintf(stderr, "bench: package %d could not be installed\n", index);
      Uninstall(installed, index + 1);
      return false;
    }
  }
  return true;
}

inline int Argument(int argc, wchar_t** argv, const wchar_t* name, int fallback) {
  const size_t length = std::wcslen(name);
  for (int i = 1; i < argc; ++i) {
    if (std::wcsncmp(argv[i], name, length) == 0) return _wtoi(argv[i] + length);
  }
  return fallback;
}

}  // namespace bench
