// The host library's listing of registered packages against the bare
// enumeration of the two component categories a host without the library
// starts from, in one process under Wine:
//
//   host_listing.exe [--packages=N] [--rounds=R]   (1,000 and 5 by default)
//
// Installs N packages in a folder of its own (a copy of the module, its
// package folder with both scripts, and the keys regsvr32 writes, made by
// direct registry calls), then takes turns: the bare enumeration
// (ICatInformation::EnumClassesOfCategories over both categories, every
// identifier fetched) and FindRegisteredPackages; then, to tell where the
// listing's time goes, CheckPackage again over every package it listed (all
// the checks, the registration read anew). Every round must list each
// package once, Ready. Prints "name value" lines (milliseconds, medians of
// the rounds; the ratio is the median of the rounds' own ratios) and
// removes what it installed.
#include <comcat.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "bench_support.h"
#include "stub/stub_host.h"

namespace {

namespace host = stub::host;

std::wstring GuidText(const GUID& id) {
  wchar_t text[40] = {};
  StringFromGUID2(id, text, 40);
  return text;
}

bool SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

// Creates HKCR\path (and those above it) and sets its default value, if any.
bool MakeKey(const std::wstring& path, const std::wstring& value, const wchar_t* threading = nullptr) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  bool made = value.empty() || SetString(key, nullptr, value);
  if (threading) made = made && SetString(key, L"ThreadingModel", threading);
  RegCloseKey(key);
  return made;
}

bool WriteText(const std::wstring& path, const std::string& text) {
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
bool InstallPackage(Installed& installed, int index) {
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
                   "HKCR\r\n{\r\n  Pkg.Class.1 = s 'Pkg'\r\n  {\r\n    CLSID = s '" + narrow + "'\r\n  }\r\n}\r\n")) {
      return false;
    }
    const std::wstring key = L"CLSID\\" + text;
    if (!MakeKey(key, std::wstring(name) + L" class") || !MakeKey(key + L"\\ProgID", std::wstring(name) + L".1") ||
        !MakeKey(key + L"\\InprocServer32", module, L"Both") ||
        !MakeKey(key + L"\\Implemented Categories\\" + GuidText(*categories[kind]), std::wstring())) {
      return false;
    }
  }
  return true;
}

void Uninstall(const Installed& installed, int count) {
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
size_t EnumerateCategories() {
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

// The packages of this run that came out Ready; -1 when one came out otherwise.
int ReadyPackages(const std::vector<host::Package>& packages, const std::wstring& folder) {
  int ready = 0;
  for (const host::Package& package : packages) {
    if (package.modulePath.compare(0, folder.size(), folder) != 0) continue;
    if (package.state() != host::State::Ready) return -1;
    ++ready;
  }
  return ready;
}

int Argument(int argc, wchar_t** argv, const wchar_t* name, int fallback) {
  const size_t length = std::wcslen(name);
  for (int i = 1; i < argc; ++i) {
    if (std::wcsncmp(argv[i], name, length) == 0) return _wtoi(argv[i] + length);
  }
  return fallback;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int count = Argument(argc, argv, L"--packages=", 1000);
  const int rounds = Argument(argc, argv, L"--rounds=", 5);
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  GUID tag = {};
  CoCreateGuid(&tag);
  Installed installed;
  wchar_t longTemp[MAX_PATH] = {};
  GetLongPathNameW(temp, longTemp, MAX_PATH);
  installed.folder = std::wstring(longTemp) + L"HostListing" + GuidText(tag).substr(1, 8);
  if (!CreateDirectoryW(installed.folder.c_str(), nullptr)) return 2;
  const double installStart = bench::Now();
  for (int index = 0; index < count; ++index) {
    if (!InstallPackage(installed, index)) {
      std::fprintf(stderr, "host_listing: package %d could not be installed\n", index);
      Uninstall(installed, index + 1);
      return 2;
    }
  }
  std::printf("install_ms %.1f\n", (bench::Now() - installStart) * 1000);
  std::vector<double> bare, listing, checking, ratios;
  bool ok = true;
  for (int round = 0; round < rounds + 1 && ok; ++round) {
    double start = bench::Now();
    const size_t enumerated = EnumerateCategories();
    const double bareTime = bench::Now() - start;
    std::vector<host::Package> packages;
    start = bench::Now();
    const HRESULT found = host::FindRegisteredPackages(packages);
    const double listTime = bench::Now() - start;
    start = bench::Now();
    for (host::Package& package : packages) host::CheckPackage(package);
    const double checkTime = bench::Now() - start;
    const int ready = ReadyPackages(packages, installed.folder);
    if (FAILED(found) || ready != count || enumerated < static_cast<size_t>(2 * count)) {
      std::fprintf(stderr, "host_listing: round %d listed %d of %d packages ready (0x%08lX), enumerated %zu\n",
                   round, ready, count, static_cast<unsigned long>(found), enumerated);
      ok = false;
    }
    if (round == 0) continue;  // the first round warms the caches
    bare.push_back(bareTime * 1000);
    listing.push_back(listTime * 1000);
    checking.push_back(checkTime * 1000);
    ratios.push_back(listTime / bareTime);
  }
  Uninstall(installed, count);
  CoUninitialize();
  if (!ok) return 1;
  std::printf("packages %d\nrounds %d\n", count, rounds);
  std::printf("enumeration_ms %.2f\nlisting_ms %.2f\ncheck_again_ms %.2f\n", bench::Median(bare),
              bench::Median(listing), bench::Median(checking));
  // The median of each round's own ratio: the machine's load drifts between
  // rounds, less within one.
  std::printf("ratio %.3f\n", bench::Median(ratios));
  return 0;
}
