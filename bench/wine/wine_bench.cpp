// Windows benchmarks of the module under Wine's COM runtime and registry, each
// next to a baseline measured in the same run (see bench/run.sh). Prints one
// "name value" line per figure; times are medians over interleaved rounds.
//
//   activation   CreateInstance through the Stub class factory against the same
//                engine work done by hand (CoCreateInstance of the engine class,
//                SetModulePath, QueryInterface, Release of the extra reference)
//   registration regsvr32 /s and regsvr32 /u /s of a package whose scripts hold
//                a large key tree, against reg import and reg delete /f of the
//                same tree; in-process DllRegisterServer/DllUnregisterServer
//                against direct registry calls show where the time goes
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "e2e_support.h"
#include "server/stub_target.h"
#include "test_engine.h"

namespace {

constexpr int kActivationRounds = 15;
constexpr int kCreationsPerRound = 2000;
constexpr int kRegistrationRounds = 5;
constexpr int kInProcessRounds = 9;
constexpr int kTreeKeys = 2000;  // split evenly over the two scripts
constexpr wchar_t kTreeKey[] = L"StubBenchTree";

// Where the tree helpers look for the tree: the classes root, or for a
// per-user registration the current user's classes key.
HKEY gClasses = HKEY_CLASSES_ROOT;

using bench::Median;
using bench::Now;

[[noreturn]] void Fail(const char* what, long code = 0) {
  std::fprintf(stderr, "wine_bench: %s (0x%08lx)\n", what, static_cast<unsigned long>(code));
  std::fflush(stdout);
  std::exit(1);
}

void Report(const char* name, double value) { std::printf("%s %.6g\n", name, value); }

// The ProgID block of a package script, holding the class identifier right
// after the script's second "{", where the module reads it.
std::string ProgIdBlock(const char* progId, const GUID& clsid) {
  return "\t" + std::string(progId) + " = s 'Benchmark'\r\n\t{\r\n\t\tCLSID = s '" +
         e2e::Narrow(e2e::GuidText(clsid)) + "'\r\n\t}\r\n";
}

std::string ProgIdScript(const char* progId, const GUID& clsid) {
  return "HKCR\r\n{\r\n" + ProgIdBlock(progId, clsid) + "}\r\n";
}

// ---- Activation ---------------------------------------------------------------------------

void MeasureActivation(const e2e::TempFolder& folder) {
  const GUID style = e2e::NewGuid(), styleText = e2e::NewGuid();
  const std::string styleScript = ProgIdScript("StubBench.Style", style);
  const std::string styleTextScript = ProgIdScript("StubBench.StyleText", styleText);
  e2e::Package package(folder, L"BenchStub", styleScript.c_str(), styleTextScript.c_str());
  if (!package.ok) Fail("could not lay out the activation package");
  const std::wstring engine = e2e::EngineModulePath();
  e2e::ScopedClassRegistration styleEngine(CLSID_StyleEngine, engine, L"Both");
  e2e::ScopedClassRegistration styleTextEngine(CLSID_StyleTextEngine, engine, L"Both");
  e2e::ScopedClassRegistration stub(style, package.modulePath, L"Both");
  if (!styleEngine.ok() || !styleTextEngine.ok() || !stub.ok()) Fail("could not register classes");

  IClassFactory* factory = nullptr;
  HRESULT hr = CoGetClassObject(style, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) Fail("CoGetClassObject of Stub", hr);
  // The name the stub passes, taken once: the baseline does not look it up.
  wchar_t moduleName[MAX_PATH] = {};
  if (!GetModuleFileNameW(GetModuleHandleW(package.modulePath.c_str()), moduleName, MAX_PATH)) {
    Fail("module not loaded");
  }
  const char16_t* name = reinterpret_cast<const char16_t*>(moduleName);

  auto throughStub = [&] {
    for (int i = 0; i < kCreationsPerRound; ++i) {
      IUnknown* object = nullptr;
      HRESULT result =
          factory->CreateInstance(nullptr, e2e::kIID_IEngineProbe, reinterpret_cast<void**>(&object));
      if (FAILED(result)) Fail("CreateInstance through the stub", result);
      object->Release();
    }
  };
  auto byHand = [&] {
    for (int i = 0; i < kCreationsPerRound; ++i) {
      IStubTarget* target = nullptr;
      HRESULT result = CoCreateInstance(CLSID_StyleEngine, nullptr, CLSCTX_INPROC_SERVER, IID_IStubTarget,
                                        reinterpret_cast<void**>(&target));
      if (FAILED(result)) Fail("CoCreateInstance of the engine", result);
      result = target->SetModulePath(name);
      if (FAILED(result)) Fail("SetModulePath", result);
      IUnknown* object = nullptr;
      result = target->QueryInterface(e2e::kIID_IEngineProbe, reinterpret_cast<void**>(&object));
      if (FAILED(result)) Fail("QueryInterface of the engine", result);
      target->Release();
      object->Release();
    }
  };
  throughStub();  // warm both paths: the engine DLL loaded, caches filled
  byHand();
  std::vector<double> stubTimes, handTimes;
  for (int round = 0; round < kActivationRounds; ++round) {
    // Alternate which goes first, so that drift falls on both alike.
    for (int turn = 0; turn < 2; ++turn) {
      const bool stubTurn = (round + turn) % 2 == 0;
      const double start = Now();
      stubTurn ? throughStub() : byHand();
      (stubTurn ? stubTimes : handTimes).push_back((Now() - start) / kCreationsPerRound * 1e6);
    }
  }
  factory->Release();
  Report("activation_stub_us", Median(stubTimes));
  Report("activation_by_hand_us", Median(handTimes));
  Report("activation_creations", kCreationsPerRound);
  Report("activation_rounds", kActivationRounds);
}

// ---- Registration -------------------------------------------------------------------------

std::string KeyName(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "Key%05d", i);
  return name;
}

std::string KeyText(int i) { return "Key " + std::to_string(i) + " of the benchmark tree"; }

// One package script: the ProgID block holding the class identifier where the
// module reads it, then keys [first, last) of the shared tree, two values each.
// The tree key is removable: the first script's removal leaves it (the second
// script's keys are still under it), the second's takes it away.
std::string TreeScript(const char* progId, const GUID& clsid, int first, int last) {
  std::string script = "HKCR\r\n{\r\n" + ProgIdBlock(progId, clsid) + "\tStubBenchTree\r\n\t{\r\n";
  for (int i = first; i < last; ++i) {
    script += "\t\t" + KeyName(i) + "\r\n\t\t{\r\n\t\t\tval Text = s '" + KeyText(i) +
              "'\r\n\t\t\tval Number = d " + std::to_string(i) + "\r\n\t\t}\r\n";
  }
  return script + "\t}\r\n}\r\n";
}

// The same tree as a .reg file (UTF-16 with its byte-order mark, as regedit
// writes) under `root` (HKEY_CLASSES_ROOT, or the user's classes key).
std::wstring TreeRegFile(const std::wstring& root = L"HKEY_CLASSES_ROOT") {
  std::wstring text = L"\xFEFFWindows Registry Editor Version 5.00\r\n\r\n";
  text += L"[" + root + L"\\StubBenchTree]\r\n\r\n";
  for (int i = 0; i < kTreeKeys; ++i) {
    wchar_t number[16];
    std::swprintf(number, 16, L"%08x", static_cast<unsigned>(i));
    const std::string key = KeyName(i), value = KeyText(i);
    text += L"[" + root + L"\\StubBenchTree\\" + std::wstring(key.begin(), key.end()) + L"]\r\n\"Text\"=\"" +
            std::wstring(value.begin(), value.end()) + L"\"\r\n\"Number\"=dword:" + number + L"\r\n\r\n";
  }
  return text;
}

bool WriteWide(const std::wstring& path, const std::wstring& text) {
  const std::string bytes(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
  return e2e::WriteFileText(path, bytes);
}

DWORD Run(const std::wstring& commandLine) { return bench::RunQuietly(commandLine); }

double TimedRun(const std::wstring& commandLine, const char* what) {
  const double start = Now();
  const DWORD code = Run(commandLine);
  const double elapsed = (Now() - start) * 1e3;
  if (code != 0) Fail(what, static_cast<long>(code));
  return elapsed;
}

bool KeyExists(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(gClasses, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

// The whole tree is there (first and last keys with their values), or none of it.
void ExpectTree(bool present, const char* after) {
  const std::wstring last = std::wstring(kTreeKey) + L"\\Key01999";
  DWORD number = 0, size = sizeof number;
  const bool there = KeyExists(std::wstring(kTreeKey) + L"\\Key00000") &&
                     RegGetValueW(gClasses, last.c_str(), L"Number", RRF_RT_REG_DWORD, nullptr, &number,
                                  &size) == ERROR_SUCCESS &&
                     number == kTreeKeys - 1;
  if (present ? !there : KeyExists(kTreeKey)) Fail(after);
}

using EntryPoint = HRESULT(STDAPICALLTYPE*)();

// Direct registry calls for the same tree: one create and two sets per key, then
// one tree deletion.
void DirectTree(bool create) {
  if (!create) {
    if (RegDeleteTreeW(gClasses, kTreeKey) != ERROR_SUCCESS) Fail("RegDeleteTreeW");
    RegDeleteKeyW(gClasses, kTreeKey);
    return;
  }
  for (int i = 0; i < kTreeKeys; ++i) {
    const std::string name = std::string("StubBenchTree\\") + KeyName(i), text = KeyText(i);
    const std::wstring wideName(name.begin(), name.end()), wideText(text.begin(), text.end());
    HKEY key = nullptr;
    if (RegCreateKeyExW(gClasses, wideName.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
      Fail("RegCreateKeyExW");
    }
    const DWORD number = static_cast<DWORD>(i);
    RegSetValueExW(key, L"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(wideText.c_str()),
                   static_cast<DWORD>((wideText.size() + 1) * sizeof(wchar_t)));
    RegSetValueExW(key, L"Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
    RegCloseKey(key);
  }
}

// The registry calls the interpreter makes for the tree, made by hand, which
// are also the fewest that write it or remove exactly what the script names:
// per key one create for reading and writing and the two value writes; on
// removal, per key an open for reading and writing, the two value deletions
// through it, the subkey count, a close and the key deletion. Against these
// the interpreter's own text work shows.
void SameCallsTree(bool create) {
  std::vector<std::wstring> names, texts;
  for (int i = 0; i < kTreeKeys; ++i) {
    const std::string name = KeyName(i), text = KeyText(i);
    names.emplace_back(name.begin(), name.end());
    texts.emplace_back(text.begin(), text.end());
  }
  HKEY tree = nullptr;
  if (create) {
    if (RegCreateKeyExW(gClasses, kTreeKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &tree, nullptr) !=
        ERROR_SUCCESS) {
      Fail("RegCreateKeyExW of the tree");
    }
    for (int i = 0; i < kTreeKeys; ++i) {
      HKEY key = nullptr;
      if (RegCreateKeyExW(tree, names[i].c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key,
                          nullptr) != ERROR_SUCCESS) {
        Fail("RegCreateKeyExW");
      }
      const DWORD number = static_cast<DWORD>(i);
      RegSetValueExW(key, L"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(texts[i].c_str()),
                     static_cast<DWORD>((texts[i].size() + 1) * sizeof(wchar_t)));
      RegSetValueExW(key, L"Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
      RegCloseKey(key);
    }
  } else {
    if (RegOpenKeyExW(gClasses, kTreeKey, 0, KEY_READ | KEY_WRITE, &tree) != ERROR_SUCCESS) {
      Fail("RegOpenKeyExW of the tree");
    }
    for (int i = 0; i < kTreeKeys; ++i) {
      HKEY key = nullptr;
      if (RegOpenKeyExW(tree, names[i].c_str(), 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS) {
        Fail("RegOpenKeyExW");
      }
      RegDeleteValueW(key, L"Text");
      RegDeleteValueW(key, L"Number");
      DWORD subkeys = 0;
      RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr, nullptr);
      RegCloseKey(key);
      if (RegDeleteKeyW(tree, names[i].c_str()) != ERROR_SUCCESS) Fail("RegDeleteKeyW");
    }
  }
  if (!create) {
    DWORD subkeys = 0;
    RegQueryInfoKeyW(tree, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr);
  }
  RegCloseKey(tree);
  if (!create && RegDeleteKeyW(gClasses, kTreeKey) != ERROR_SUCCESS) {
    Fail("RegDeleteKeyW of the tree");
  }
}

void MeasureRegistration(const e2e::TempFolder& folder) {
  const GUID styleId = e2e::NewGuid(), styleTextId = e2e::NewGuid();
  const std::string style = TreeScript("StubBench.Style", styleId, 0, kTreeKeys / 2);
  const std::string styleText = TreeScript("StubBench.StyleText", styleTextId, kTreeKeys / 2, kTreeKeys);
  e2e::Package package(folder, L"BenchTree", style.c_str(), styleText.c_str());
  if (!package.ok) Fail("could not lay out the registration package");
  const std::wstring regFile = folder.path() + L"tree.reg";
  if (!WriteWide(regFile, TreeRegFile())) Fail("could not write the .reg file");
  if (KeyExists(kTreeKey)) Fail("the tree is there before the run");

  const std::wstring quoted = L"\"" + package.modulePath + L"\"";
  const std::wstring regsvr32 = L"regsvr32.exe /s " + quoted;
  const std::wstring unregsvr32 = L"regsvr32.exe /u /s " + quoted;
  const std::wstring import = L"reg.exe import \"" + regFile + L"\"";
  const std::wstring remove = L"reg.exe delete HKCR\\StubBenchTree /f";
  // The programs' start-up alone: a registration tool that has nothing to do.
  const std::wstring regsvr32Idle = L"regsvr32.exe /s \"" + folder.path() + L"absent.dll\"";
  const std::wstring regIdle = L"reg.exe query HKCR\\CLSID /ve";

  HMODULE module = LoadLibraryW(package.modulePath.c_str());
  if (!module) Fail("LoadLibrary of the package");
  auto registerServer =
      reinterpret_cast<EntryPoint>(reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
  auto unregisterServer =
      reinterpret_cast<EntryPoint>(reinterpret_cast<void*>(GetProcAddress(module, "DllUnregisterServer")));
  if (!registerServer || !unregisterServer) Fail("exports missing");
  // A package whose scripts hold the ProgID blocks and an empty tree: what a
  // registration costs whatever its size (locating the package, reading the
  // scripts, the component categories).
  const GUID smallStyleId = e2e::NewGuid(), smallTextId = e2e::NewGuid();
  const std::string smallStyle = TreeScript("StubBench.SmallStyle", smallStyleId, 0, 0);
  const std::string smallText = TreeScript("StubBench.SmallText", smallTextId, 0, 0);
  e2e::Package small(folder, L"BenchSmall", smallStyle.c_str(), smallText.c_str());
  if (!small.ok) Fail("could not lay out the small package");
  HMODULE smallModule = LoadLibraryW(small.modulePath.c_str());
  if (!smallModule) Fail("LoadLibrary of the small package");
  auto registerSmall =
      reinterpret_cast<EntryPoint>(reinterpret_cast<void*>(GetProcAddress(smallModule, "DllRegisterServer")));
  auto unregisterSmall = reinterpret_cast<EntryPoint>(
      reinterpret_cast<void*>(GetProcAddress(smallModule, "DllUnregisterServer")));
  if (!registerSmall || !unregisterSmall) Fail("exports of the small package missing");

  auto timed = [](auto&& work) {
    const double start = Now();
    work();
    return (Now() - start) * 1e3;
  };
  // The programs: the module through regsvr32 and the tree through reg take
  // turns, each writing the tree and removing it again.
  std::vector<double> add, addBase, del, delBase, idle, idleBase;
  for (int round = 0; round < kRegistrationRounds; ++round) {
    for (int turn = 0; turn < 2; ++turn) {
      if ((round + turn) % 2 == 0) {
        add.push_back(TimedRun(regsvr32, "regsvr32 /s"));
        ExpectTree(true, "regsvr32 did not write the tree");
        del.push_back(TimedRun(unregsvr32, "regsvr32 /u /s"));
        ExpectTree(false, "regsvr32 /u did not remove the tree");
      } else {
        addBase.push_back(TimedRun(import, "reg import"));
        ExpectTree(true, "reg import did not write the tree");
        delBase.push_back(TimedRun(remove, "reg delete"));
        ExpectTree(false, "reg delete did not remove the tree");
      }
    }
    // Only the start-up is timed; regsvr32's answer for a missing module does not matter.
    idle.push_back(timed([&] { Run(regsvr32Idle); }));
    idleBase.push_back(TimedRun(regIdle, "reg query"));
  }
  // In process: the exports, the interpreter's calls by hand and the direct
  // calls, back to back, the first of them changing from round to round.
  std::vector<double> inAdd, inDel, sameAdd, sameDel, directAdd, directDel, fixedAdd, fixedDel;
  for (int round = 0; round < kInProcessRounds; ++round) {
    fixedAdd.push_back(timed([&] {
      if (registerSmall() != S_OK) Fail("DllRegisterServer of the small package");
    }));
    fixedDel.push_back(timed([&] {
      if (unregisterSmall() != S_OK) Fail("DllUnregisterServer of the small package");
    }));
    for (int turn = 0; turn < 3; ++turn) {
      switch ((round + turn) % 3) {
        case 0:
          inAdd.push_back(timed([&] {
            if (registerServer() != S_OK) Fail("DllRegisterServer");
          }));
          ExpectTree(true, "DllRegisterServer did not write the tree");
          inDel.push_back(timed([&] {
            if (unregisterServer() != S_OK) Fail("DllUnregisterServer");
          }));
          ExpectTree(false, "DllUnregisterServer did not remove the tree");
          break;
        case 1:
          sameAdd.push_back(timed([] { SameCallsTree(true); }));
          ExpectTree(true, "the interpreter's calls did not write the tree");
          sameDel.push_back(timed([] { SameCallsTree(false); }));
          ExpectTree(false, "the interpreter's calls did not remove the tree");
          break;
        default:
          directAdd.push_back(timed([] { DirectTree(true); }));
          ExpectTree(true, "direct calls did not write the tree");
          directDel.push_back(timed([] { DirectTree(false); }));
          ExpectTree(false, "direct calls did not remove the tree");
      }
    }
  }
  FreeLibrary(module);
  FreeLibrary(smallModule);
  // Removal leaves the classes in their categories; the run takes those
  // entries away itself, so that it leaves nothing behind.
  for (const GUID* id : {&styleId, &styleTextId, &smallStyleId, &smallTextId}) {
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + e2e::GuidText(*id)).c_str());
    RegDeleteKeyW(HKEY_CLASSES_ROOT, (L"CLSID\\" + e2e::GuidText(*id)).c_str());
  }
  Report("register_regsvr32_ms", Median(add));
  Report("register_reg_import_ms", Median(addBase));
  Report("unregister_regsvr32_ms", Median(del));
  Report("unregister_reg_delete_ms", Median(delBase));
  Report("register_in_process_ms", Median(inAdd));
  Report("register_direct_calls_ms", Median(directAdd));
  Report("unregister_in_process_ms", Median(inDel));
  Report("unregister_direct_calls_ms", Median(directDel));
  Report("register_same_calls_ms", Median(sameAdd));
  Report("register_fixed_ms", Median(fixedAdd));
  Report("unregister_fixed_ms", Median(fixedDel));
  Report("unregister_same_calls_ms", Median(sameDel));
  Report("startup_regsvr32_ms", Median(idle));
  Report("startup_reg_ms", Median(idleBase));
  Report("registration_keys", kTreeKeys);
  Report("registration_rounds", kRegistrationRounds);
  Report("in_process_rounds", kInProcessRounds);
}

// The same package registered for the current user alone (regsvr32 /n /i:user,
// DllInstall with "user"): everything lands under the user's classes key, and
// the baselines write and remove the same tree there.
void MeasureUserRegistration(const e2e::TempFolder& folder) {
  const GUID styleId = e2e::NewGuid(), styleTextId = e2e::NewGuid();
  const std::string style = TreeScript("StubBench.UserStyle", styleId, 0, kTreeKeys / 2);
  const std::string styleText = TreeScript("StubBench.UserStyleText", styleTextId, kTreeKeys / 2, kTreeKeys);
  e2e::Package package(folder, L"BenchUser", style.c_str(), styleText.c_str());
  if (!package.ok) Fail("could not lay out the per-user package");
  const std::wstring userRoot = L"HKEY_CURRENT_USER\\Software\\Classes";
  const std::wstring regFile = folder.path() + L"user-tree.reg";
  if (!WriteWide(regFile, TreeRegFile(userRoot))) Fail("could not write the per-user .reg file");
  HKEY userClasses = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &userClasses, nullptr) != ERROR_SUCCESS) {
    Fail("RegCreateKeyExW of the user's classes key");
  }
  gClasses = userClasses;
  if (KeyExists(kTreeKey)) Fail("the per-user tree is there before the run");

  const std::wstring quoted = L"\"" + package.modulePath + L"\"";
  const std::wstring regsvr32 = L"regsvr32.exe /s /n /i:user " + quoted;
  const std::wstring unregsvr32 = L"regsvr32.exe /u /s /n /i:user " + quoted;
  const std::wstring import = L"reg.exe import \"" + regFile + L"\"";
  const std::wstring remove = L"reg.exe delete HKCU\\Software\\Classes\\StubBenchTree /f";

  HMODULE module = LoadLibraryW(package.modulePath.c_str());
  if (!module) Fail("LoadLibrary of the per-user package");
  using InstallEntry = HRESULT(STDAPICALLTYPE*)(BOOL, const wchar_t*);
  auto install =
      reinterpret_cast<InstallEntry>(reinterpret_cast<void*>(GetProcAddress(module, "DllInstall")));
  if (!install) Fail("DllInstall missing");

  auto timed = [](auto&& work) {
    const double start = Now();
    work();
    return (Now() - start) * 1e3;
  };
  std::vector<double> add, addBase, del, delBase;
  for (int round = 0; round < kRegistrationRounds; ++round) {
    for (int turn = 0; turn < 2; ++turn) {
      if ((round + turn) % 2 == 0) {
        add.push_back(TimedRun(regsvr32, "regsvr32 /s /n /i:user"));
        ExpectTree(true, "regsvr32 /n /i:user did not write the tree");
        del.push_back(TimedRun(unregsvr32, "regsvr32 /u /s /n /i:user"));
        ExpectTree(false, "regsvr32 /u /n /i:user did not remove the tree");
      } else {
        addBase.push_back(TimedRun(import, "reg import"));
        ExpectTree(true, "reg import did not write the per-user tree");
        delBase.push_back(TimedRun(remove, "reg delete"));
        ExpectTree(false, "reg delete did not remove the per-user tree");
      }
    }
  }
  std::vector<double> inAdd, inDel, directAdd, directDel;
  for (int round = 0; round < kInProcessRounds; ++round) {
    for (int turn = 0; turn < 2; ++turn) {
      if ((round + turn) % 2 == 0) {
        inAdd.push_back(timed([&] {
          if (install(TRUE, L"user") != S_OK) Fail("DllInstall(TRUE, user)");
        }));
        ExpectTree(true, "DllInstall did not write the per-user tree");
        inDel.push_back(timed([&] {
          if (install(FALSE, L"user") != S_OK) Fail("DllInstall(FALSE, user)");
        }));
        ExpectTree(false, "DllInstall did not remove the per-user tree");
      } else {
        directAdd.push_back(timed([] { DirectTree(true); }));
        ExpectTree(true, "direct calls did not write the per-user tree");
        directDel.push_back(timed([] { DirectTree(false); }));
        ExpectTree(false, "direct calls did not remove the per-user tree");
      }
    }
  }
  FreeLibrary(module);
  // Removal leaves the classes in their categories, and per-user registration
  // made the two categories under the user's key: the run takes them away.
  for (const GUID* id : {&styleId, &styleTextId}) {
    RegDeleteTreeW(userClasses, (L"CLSID\\" + e2e::GuidText(*id)).c_str());
    RegDeleteKeyW(userClasses, (L"CLSID\\" + e2e::GuidText(*id)).c_str());
  }
  for (const wchar_t* category : {L"Component Categories\\{390F9E99-171D-4A3B-A185-A0E495BA86D0}",
                                  L"Component Categories\\{FD8ABB6D-B549-4A66-94A9-3C360CD70490}"}) {
    RegDeleteTreeW(userClasses, category);
    RegDeleteKeyW(userClasses, category);
  }
  gClasses = HKEY_CLASSES_ROOT;
  RegCloseKey(userClasses);
  Report("user_register_regsvr32_ms", Median(add));
  Report("user_register_reg_import_ms", Median(addBase));
  Report("user_unregister_regsvr32_ms", Median(del));
  Report("user_unregister_reg_delete_ms", Median(delBase));
  Report("user_register_in_process_ms", Median(inAdd));
  Report("user_register_direct_calls_ms", Median(directAdd));
  Report("user_unregister_in_process_ms", Median(inDel));
  Report("user_unregister_direct_calls_ms", Median(directDel));
}

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "all";
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) Fail("CoInitializeEx");
  {
    e2e::TempFolder folder;
    if (folder.path().empty()) Fail("no temporary folder");
    if (what == "all" || what == "activation") MeasureActivation(folder);
    if (what == "all" || what == "registration") MeasureRegistration(folder);
    if (what == "all" || what == "registration" || what == "user") MeasureUserRegistration(folder);
    CoFreeUnusedLibrariesEx(0, 0);
  }
  CoUninitialize();
  std::fflush(stdout);
  return 0;
}
