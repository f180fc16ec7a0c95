// manifest_rows.exe: the table of manifests (tests/sdk/manifest_rows.txt)
// under the system's activation context. For each row, its manifest is saved
// as Lark.Assembly.manifest in a folder of its own beside row_server.dll
// copied as Lark.dll, and the program asks whether a context is made of it
// and creates both classes through it, with nothing in the registry:
//   - what happens is the row's wine column;
//   - a manifest the host library's reader takes, both classes ready, is
//     served; one it refuses or serves a class of is refused or not served,
//     save a row that says why the reader refuses what the system serves.
//
//   manifest_rows.exe ROWS_FILE WORK_FOLDER ROW_SERVER_DLL ARCHITECTURE [--measure]
//
// ARCHITECTURE is the rows' processorArchitecture (amd64 or x86). Each row
// is measured in a process of its own (the program again, with --row N), so
// that a system that crashes over a manifest ends that process only. With
// --measure, each row's outcome is printed and nothing is compared. Exits 0
// when every row holds, 1 otherwise, 2 on a command line it cannot follow.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "../sdk/manifest_rows.h"
#include "host/manifest_screen.h"

namespace {

namespace detail = stub::host::detail;

std::wstring Wide(const std::string& text) {
  std::wstring wide(text.size(), L'\0');
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                                    static_cast<int>(wide.size()));
  wide.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return wide;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok =
      bytes.empty() || (WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                        written == bytes.size());
  CloseHandle(file);
  return ok;
}

// Whether a class created through the active context (nothing is registered).
bool Creates(const char* id) {
  CLSID clsid = {};
  if (FAILED(CLSIDFromString(Wide(id).c_str(), &clsid))) return false;
  IUnknown* object = nullptr;
  const HRESULT made =
      CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&object));
  if (SUCCEEDED(made) && object) object->Release();
  return SUCCEEDED(made);
}

// What the system does with a row's manifest in `folder`: serves, refused or not-served.
std::string Measure(const manifest_rows::Row& row, const std::wstring& folder, const std::wstring& server) {
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring manifest = folder + L"\\Lark.Assembly.manifest";
  if (!WriteBytes(manifest, row.bytes) ||
      !CopyFileW(server.c_str(), (folder + L"\\Lark.dll").c_str(), FALSE)) {
    return "not written";
  }
  ACTCTXW description = {};
  description.cbSize = sizeof description;
  description.dwFlags = ACTCTX_FLAG_ASSEMBLY_DIRECTORY_VALID;
  description.lpSource = manifest.c_str();
  description.lpAssemblyDirectory = folder.c_str();
  const HANDLE context = CreateActCtxW(&description);
  if (context == INVALID_HANDLE_VALUE) return "refused";
  ULONG_PTR cookie = 0;
  std::string outcome = "not-served";
  if (ActivateActCtx(context, &cookie)) {
    const bool style = Creates(manifest_rows::kStyleId), text = Creates(manifest_rows::kTextId);
    outcome = style && text ? "serves" : "not-served";
    DeactivateActCtx(0, cookie);
  }
  ReleaseActCtx(context);
  return outcome;
}

// The host's verdict by the library's reader: refused, or whether both classes are served from the module.
std::string ReaderVerdict(const std::string& bytes) {
  const detail::ManifestScreen screen = detail::ScreenManifest(bytes);
  if (screen.fault != detail::ManifestFault::None) return "bad-manifest";
  const bool both = detail::FindClass(screen, manifest_rows::kModule, manifest_rows::kStyleId) &&
                    detail::FindClass(screen, manifest_rows::kModule, manifest_rows::kTextId);
  return both ? "ready" : "not-in-manifest";
}

// The outcome a --row process exits with, and back.
constexpr int kOutcomeBase = 10;
const char* const kOutcomes[] = {"serves", "refused", "not-served", "not written"};

int ExitCodeOf(const std::string& outcome) {
  for (int i = 0; i < 4; ++i) {
    if (outcome == kOutcomes[i]) return kOutcomeBase + i;
  }
  return 1;
}

// Row `index` (from 1) measured by a process of its own: its outcome, or
// "crashes" where the process ended otherwise.
std::string MeasureApart(int argc, wchar_t** argv, int index) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(self) + L"\"";
  for (int i = 1; i < 5 && i < argc; ++i) command += L" \"" + std::wstring(argv[i]) + L"\"";
  command += L" --row " + std::to_wstring(index);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return "not started";
  }
  DWORD code = 1;
  if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 1);
  } else {
    GetExitCodeProcess(process.hProcess, &code);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  const int outcome = static_cast<int>(code) - kOutcomeBase;
  return outcome >= 0 && outcome < 4 ? kOutcomes[outcome] : "crashes";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool measure = argc == 6 && std::wstring(argv[5]) == L"--measure";
  const int only = argc == 7 && std::wstring(argv[5]) == L"--row" ? std::stoi(argv[6]) : 0;
  if (argc != 5 && !measure && only == 0) {
    std::fprintf(stderr,
                 "usage: manifest_rows ROWS_FILE WORK_FOLDER ROW_SERVER_DLL ARCHITECTURE [--measure]\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::stringstream table;
  table << in.rdbuf();
  std::wstring arch(argv[4]);
  const auto rows = manifest_rows::Rows(table.str(), std::string(arch.begin(), arch.end()));
  if (rows.empty()) {
    std::fprintf(stderr, "manifest_rows: no rows in the table\n");
    return 2;
  }
  CreateDirectoryW(argv[2], nullptr);
  if (only > 0) {
    if (static_cast<std::size_t>(only) > rows.size()) return 2;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const std::string outcome =
        Measure(rows[only - 1], std::wstring(argv[2]) + L"\\row" + std::to_wstring(only), argv[3]);
    CoUninitialize();
    return ExitCodeOf(outcome);
  }
  int failures = 0, index = 0;
  for (const manifest_rows::Row& row : rows) {
    const std::string wine = MeasureApart(argc, argv, ++index), reader = ReaderVerdict(row.bytes);
    if (measure) {
      std::printf("%-48s wine=%-11s reader=%s\n", row.name.c_str(), wine.c_str(), reader.c_str());
      continue;
    }
    std::string problem;
    if (wine != row.wine)
      problem = "Wine's context " + wine + ", the row says " + row.wine;
    else if (reader == "ready" && wine != "serves")
      problem = "the reader takes it, Wine does not serve it";
    else if (reader != "ready" && wine == "serves" && row.why.empty())
      problem = "the reader refuses it, Wine serves it";
    std::printf("%s: %s (line %u)%s%s\n", problem.empty() ? "ok" : "FAILED", row.name.c_str(),
                static_cast<unsigned>(row.line), problem.empty() ? "" : ": ", problem.c_str());
    if (!problem.empty()) ++failures;
  }
  return failures == 0 ? 0 : 1;
}
