// A host as a style application would write one, on the host library
// (include/stub/stub_host.h): it finds every installed style package through
// the component categories, without knowing any package by name, pairs each
// style with the text style of the same package, checks each package before
// its module is loaded, and creates and releases the classes of each package
// that passes, under a time limit per package. With --folder it lists instead
// the packages an application keeps unregistered in a folder of its own, and
// creates them through their assembly manifests.
//
//   package_host.exe [--sta | --mta] [--time-limit SECONDS] [--folder FOLDER] [--forget]
//
// --sta (the default) runs the host in a single-threaded apartment, as a
// program with windows does; --mta in the multithreaded apartment, as a
// service or a worker does. Each package is tried in a probe process
// (StubProbe.exe, beside this program or in the release's x86 and x64
// folders), never in the host: a package that crashes, ends or hangs there
// is reported so (crashed, exited, timed-out) and the host goes on with the
// next. --time-limit bounds the wait for each probe (30 seconds by default;
// 0 waits for as long as it takes). Verdicts are remembered per module file
// for this user: a package is probed again only once its module changes
// (remembered=yes on its classes otherwise); --forget forgets the verdicts
// of the packages listed first, so that each is probed now. --folder FOLDER looks for NAME.dll, the folder
// NAME and the package's assembly manifest side by side there (hosts.md says
// which file that is), reads no registry and prints a
// "folder" line in place of the two "category" lines.
//
// Output: UTF-8 lines of a word followed by name=value fields. A value with a
// blank, a double quote or nothing in it is written in double quotes, with
// each double quote inside doubled; "-" stands for a value that is absent.
//
//   host architecture=x64 apartment=sta
//   category kind=style catid={390F9E99-...} description="Tarvo Styles"
//   category kind=text catid={FD8ABB6D-...} description="Tarvo Texts"
//   package state=working module=C:\Packages\Aurora.dll
//     style state=working clsid={049E...} progid=Aurora.Style.1 threading=Apartment description="Aurora
//     Style" text state=working clsid={5703...} progid=Aurora.StyleText.1 threading=Both description="Aurora
//     Text Style"
//   summary packages=1 working=1 not-working=0 probes=1
//
// hosts.md lists every state and what it means. Exit code 0 when every
// package listed works (none listed included), 1 when some do not, 2 when the
// categories (or the folder) cannot be read or the command line cannot be
// followed. A command line that cannot be followed (an unknown option, an
// option given twice, a time limit that is no number) is refused with what is
// wrong and the usage.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <comcat.h>
#include <objbase.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "stub/stub_host.h"

namespace {

namespace host = stub::host;

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
  const bool quote = clean.empty() || clean == "-" || clean.find_first_of(" \"") != std::string::npos;
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
std::string Optional(const char* name, const std::wstring& value) {
  return value.empty() ? Absent(name) : Field(name, value);
}

std::string Hex(unsigned long value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*lX", digits, value);
  return text;
}

// The symbolic name of the failures a host meets when it creates a class.
const char* ResultName(HRESULT result) {
  switch (result) {
    case REGDB_E_CLASSNOTREG:
      return "REGDB_E_CLASSNOTREG";
    case CLASS_E_CLASSNOTAVAILABLE:
      return "CLASS_E_CLASSNOTAVAILABLE";
    case E_ACCESSDENIED:
      return "E_ACCESSDENIED";
    case E_NOINTERFACE:
      return "E_NOINTERFACE";
    case E_OUTOFMEMORY:
      return "E_OUTOFMEMORY";
    case E_FAIL:
      return "E_FAIL";
    case E_UNEXPECTED:
      return "E_UNEXPECTED";
    case CO_E_ERRORINDLL:
      return "CO_E_ERRORINDLL";
    case CO_E_DLLNOTFOUND:
      return "CO_E_DLLNOTFOUND";
    case HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND):
      return "ERROR_MOD_NOT_FOUND";
    case HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT):
      return "ERROR_BAD_EXE_FORMAT";
    case HRESULT_FROM_WIN32(ERROR_DLL_INIT_FAILED):
      return "ERROR_DLL_INIT_FAILED";
    case HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER):
      return "ERROR_INSUFFICIENT_BUFFER";
    default:
      return nullptr;
  }
}

std::string MachineName(WORD machine) {
  switch (machine) {
    case IMAGE_FILE_MACHINE_I386:
      return "x86";
    case IMAGE_FILE_MACHINE_AMD64:
      return "x64";
    case 0xAA64:
      return "arm64";  // IMAGE_FILE_MACHINE_ARM64
    default:
      return Hex(machine, 4);
  }
}

// One fact of a class's state as the fields this host prints for it. The
// class key and the registered server path are not repeated: the line's
// clsid and the package's module name them.
std::string SourceFields(const host::Class& entry, host::DetailSource source) {
  const std::wstring text = host::DetailText(entry, source);
  switch (source) {
    case host::DetailSource::None:
    case host::DetailSource::ClassKey:
    case host::DetailSource::ServerKey:
    case host::DetailSource::ServerPath:
      return std::string();
    case host::DetailSource::LongPath:
      return Field("length", std::to_string(entry.path.size()));
    case host::DetailSource::Machine:
      return Field("machine", text);
    case host::DetailSource::Folder:
      return Field("folder", text);
    case host::DetailSource::Script:
      return Field("script", text);
    case host::DetailSource::Identifier:
      return Field("identifier", text);
    case host::DetailSource::CurrentClsid:
      return Field("current", text);
    case host::DetailSource::Result: {
      std::string fields = Field("result", text);
      if (const char* name = ResultName(entry.result)) fields += Field("result-name", std::string(name));
      return fields;
    }
    case host::DetailSource::Manifest:
      return Field("manifest", text);
    case host::DetailSource::Limit:
      return Field("limit-ms", std::to_string(entry.milliseconds));
    case host::DetailSource::FaultingModule:
      return Optional("faulting-module", text);
    case host::DetailSource::ExceptionCode:
      return Field("exception", text);
    case host::DetailSource::ExitCode:
      return Field("exit-code", text);
    case host::DetailSource::ProbeProblem:
      return Field("problem", text);
  }
  return std::string();
}

// The fields that come with a class's state, in the order the library's
// table of states gives its facts.
std::string Detail(const host::Class& entry) {
  std::string fields;
  for (const host::DetailSource source : host::StateDetailSources(entry.state).sources) {
    fields += SourceFields(entry, source);
  }
  return fields;
}

// The system's text for an error, on one line; a fallback where it has none.
std::string SystemMessage(HRESULT result) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      HRESULT_FACILITY(result) == FACILITY_WIN32 ? HRESULT_CODE(result) : static_cast<DWORD>(result), 0,
      reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = length ? Utf8(std::wstring(text, length)) : std::string();
  if (text) LocalFree(text);
  for (char& c : message) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  while (!message.empty() && (message.back() == ' ' || message.back() == '.')) message.pop_back();
  if (result == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) ||
      result == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
    return "there is no such folder";
  }
  if (result == HRESULT_FROM_WIN32(ERROR_DIRECTORY)) return "it is not a folder";
  return message.empty() ? std::string("the system gives no text for the error") : message;
}

void PrintCategory(ICatInformation* categories, const char* kind, const CATID& id) {
  wchar_t* description = nullptr;
  std::string line =
      std::string("category") + Field("kind", std::string(kind)) + Field("catid", GuidText(id));
  if (categories && SUCCEEDED(categories->GetCategoryDesc(id, STUB_CATEGORY_LOCALE, &description))) {
    line += Field("description", std::wstring(description));
    CoTaskMemFree(description);
  } else {
    line += Absent("description");
  }
  std::printf("%s\n", line.c_str());
}

void PrintClass(const host::Class& entry) {
  std::string line = std::string("  ") + (entry.kind == host::ClassKind::Style ? "style" : "text") +
                     Field("state", std::string(host::StateName(entry.state))) + Detail(entry) +
                     Field("clsid", GuidText(entry.clsid));
  line += Optional("progid", entry.progId) + Optional("threading", entry.threadingModel) +
          Optional("description", entry.description);
  if (entry.remembered) line += Field("remembered", std::string("yes"));
  std::printf("%s\n", line.c_str());
}

int ListPackages(DWORD apartment, DWORD timeLimit, const wchar_t* folder, bool forget) {
  std::printf("host%s%s\n", Field("architecture", MachineName(host::HostMachine())).c_str(),
              Field("apartment", std::string(apartment == COINIT_MULTITHREADED ? "mta" : "sta")).c_str());
  std::vector<host::Package> packages;
  HRESULT result = S_OK;
  if (folder) {
    // The application's own packages: the categories mean nothing here.
    std::printf("folder%s\n", Field("path", std::wstring(folder)).c_str());
    result = host::FindFolderPackages(folder, packages);
    if (FAILED(result)) {
      std::fprintf(stderr, "package_host: error: the folder %s cannot be listed: %s (%s)\n",
                   Field("path", std::wstring(folder)).substr(6).c_str(), SystemMessage(result).c_str(),
                   Hex(static_cast<unsigned long>(result), 8).c_str());
      return 2;
    }
  } else {
    ICatInformation* categories = nullptr;
    result = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                              IID_ICatInformation, reinterpret_cast<void**>(&categories));
    PrintCategory(categories, "style", CATID_TarvoStyles);
    PrintCategory(categories, "text", CATID_TarvoTexts);
    if (categories) categories->Release();
    result = host::FindRegisteredPackages(packages);
    if (FAILED(result)) {
      std::fprintf(stderr, "package_host: error: the component categories cannot be read (%s)\n",
                   Hex(static_cast<unsigned long>(result), 8).c_str());
      return 2;
    }
  }
  int working = 0;
  for (host::Package& package : packages) {
    if (forget) host::ForgetVerdict(package);
    // TryPackage checks the package again and tries what passes in a probe
    // process, which it kills after the limit; nothing is loaded here. A
    // package with one half missing still has the other tried.
    host::TryPackage(package, timeLimit);
    const host::State state = package.state();
    if (state == host::State::Working) ++working;
    std::printf("package%s%s\n", Field("state", std::string(host::StateName(state))).c_str(),
                Optional("module", package.modulePath).c_str());
    for (const host::Class& entry : package.classes) PrintClass(entry);
    // A reader of a pipe or file sees each package as soon as it is done.
    std::fflush(stdout);
  }
  const int total = static_cast<int>(packages.size());
  std::printf("summary packages=%d working=%d not-working=%d probes=%ld\n", total, working, total - working,
              static_cast<long>(host::ProbesStarted()));
  return working == total ? 0 : 1;
}

const char kUsage[] =
    "usage: package_host [--sta | --mta] [--time-limit SECONDS] [--folder FOLDER] [--forget]\n"
    "Lists the installed style packages through the component categories, checks\n"
    "each package, and creates and releases the classes of each one that passes.\n"
    "  --sta                 run in a single-threaded apartment (the default)\n"
    "  --mta                 run in the multithreaded apartment\n"
    "  --time-limit SECONDS  wait at most this long for each package's probe (30; 0: no limit)\n"
    "  --folder FOLDER       list the unregistered packages kept in FOLDER instead,\n"
    "                        created through their assembly manifests\n"
    "  --forget              forget the remembered verdicts of the packages listed,\n"
    "                        so that each is probed again\n"
    "Exit code 0 every package works, 1 some do not, 2 the list cannot be read.\n";

// A whole number of seconds from 0 to 86400.
bool ParseSeconds(const wchar_t* text, DWORD& seconds) {
  if (!*text) return false;
  unsigned long value = 0;
  for (const wchar_t* c = text; *c; ++c) {
    if (*c < L'0' || *c > L'9') return false;
    value = value * 10 + static_cast<unsigned long>(*c - L'0');
    if (value > 86400) return false;
  }
  seconds = static_cast<DWORD>(value);
  return true;
}

}  // namespace

// Refuses the command line: what is wrong, then the usage, on standard error.
int Refuse(const std::string& problem) {
  std::fprintf(stderr, "package_host: error: %s\n%s", problem.c_str(), kUsage);
  return 2;
}

int wmain(int argc, wchar_t** argv) {
  DWORD apartment = COINIT_APARTMENTTHREADED;
  DWORD seconds = 30;
  const wchar_t* folder = nullptr;
  // Each option once: a second one would otherwise win silently.
  bool apartmentGiven = false, limitGiven = false, forget = false;
  for (int i = 1; i < argc; ++i) {
    const std::string option = Utf8(argv[i]);
    const bool sta = option == "--sta", mta = option == "--mta";
    if (sta || mta) {
      if (apartmentGiven) return Refuse("give one of --sta and --mta, once");
      apartmentGiven = true;
      apartment = sta ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED;
    } else if (option == "--time-limit") {
      if (limitGiven) return Refuse("--time-limit is given twice");
      limitGiven = true;
      if (i + 1 >= argc) return Refuse("--time-limit needs a number of seconds");
      if (!ParseSeconds(argv[i + 1], seconds)) {
        return Refuse("--time-limit " + Field("", Utf8(argv[i + 1])).substr(2) +
                      " is not a whole number of seconds from 0 to 86400");
      }
      ++i;
    } else if (option == "--folder") {
      if (folder) return Refuse("--folder is given twice");
      if (i + 1 >= argc || !argv[i + 1][0]) return Refuse("--folder needs a folder");
      folder = argv[++i];
    } else if (option == "--forget") {
      if (forget) return Refuse("--forget is given twice");
      forget = true;
    } else if (option == "--help") {
      std::printf("%s", kUsage);
      return 0;
    } else {
      return Refuse("unknown argument " + Field("", option).substr(2));
    }
  }
  SetConsoleOutputCP(CP_UTF8);
  const HRESULT result = CoInitializeEx(nullptr, apartment);
  if (FAILED(result)) {
    std::fprintf(stderr, "package_host: error: COM could not be initialised (%s)\n",
                 Hex(static_cast<unsigned long>(result), 8).c_str());
    return 2;
  }
  const int exitCode = ListPackages(apartment, seconds == 0 ? INFINITE : seconds * 1000, folder, forget);
  CoUninitialize();
  return exitCode;
}
