// The memory of verdicts (where it lives and why: verdicts.h).
//
// A verdict's value, REG_BINARY, little-endian:
//   "SPV1", count (DWORD), file size (8 bytes), last write time (FILETIME),
//   engine stamp (8 bytes), time limit (DWORD); per class: identifier (16 bytes), state word (20
//   bytes, zero-padded), result (DWORD), milliseconds (DWORD), path units and
//   received-path units (WORD each); then per class its two texts (UTF-16).
#include "verdicts.h"

#include <cstring>

#include "owners.h"
#include "stub/stub_engine.h"

namespace stub {
namespace host {
namespace detail {
namespace {

const wchar_t kVerdictKey[] = L"Software\\Stub\\Probe Verdicts";
const char kMagic[4] = {'S', 'P', 'V', '1'};
constexpr std::size_t kWordBytes = 20;
constexpr std::size_t kTextLimit = 1024;  // units; a path and a probe's problem fit

// The states a probe's verdict may hold.
bool VerdictState(State state) {
  return state == State::Working || state == State::CreateFailed || state == State::Crashed ||
         state == State::Exited || state == State::TimedOut;
}

bool StateOfWord(const char* word, State& state) {
  for (int value = 0; value <= static_cast<int>(State::ProbeFailed); ++value) {
    const State candidate = static_cast<State>(value);
    if (std::strcmp(StateName(candidate), word) == 0 && VerdictState(candidate)) {
      state = candidate;
      return true;
    }
  }
  return false;
}

template <class T>
void Put(std::string& bytes, const T& value) {
  bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
}

template <class T>
bool Take(const std::string& bytes, std::size_t& at, T& value) {
  if (bytes.size() - at < sizeof value) return false;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  at += sizeof value;
  return true;
}

bool TakeText(const std::string& bytes, std::size_t& at, WORD units, std::wstring& text) {
  if (units > kTextLimit || bytes.size() - at < units * sizeof(wchar_t)) return false;
  text.assign(units, L'\0');
  if (units) std::memcpy(&text[0], bytes.data() + at, units * sizeof(wchar_t));
  at += units * sizeof(wchar_t);
  return text.find(L'\0') == std::wstring::npos;
}

bool SameFile(const ModuleIdentity& identity, ULONGLONG size, const FILETIME& lastWrite, ULONGLONG engines) {
  return size == identity.size && lastWrite.dwLowDateTime == identity.lastWrite.dwLowDateTime &&
         lastWrite.dwHighDateTime == identity.lastWrite.dwHighDateTime && engines == identity.engines;
}

// FNV-1a over bytes, continued from `hash`.
ULONGLONG Mix(ULONGLONG hash, const void* bytes, std::size_t size) {
  const unsigned char* at = static_cast<const unsigned char*>(bytes);
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ at[i]) * 0x100000001B3ull;
  return hash;
}

// The engine as a probe of `machine` finds it: each engine class's server
// path (in that architecture's registry view) with its file's size and last
// write time; nothing mixed in for a class not registered.
ULONGLONG EngineStamp(WORD machine) {
  const REGSAM view = machine == IMAGE_FILE_MACHINE_I386 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
  ULONGLONG hash = 0xCBF29CE484222325ull;
  for (const CLSID& engine : {__uuidof(StyleEngine), __uuidof(StyleTextEngine)}) {
    wchar_t name[40] = {};
    StringFromGUID2(engine, name, 40);
    const std::wstring key = std::wstring(L"CLSID\\") + name + L"\\InprocServer32";
    UniqueKey server;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_QUERY_VALUE | view, server.Put()) !=
        ERROR_SUCCESS) {
      hash = Mix(hash, "-", 1);
      continue;
    }
    wchar_t written[MAX_PATH] = {}, path[MAX_PATH] = {};
    DWORD type = REG_NONE, bytes = sizeof written - sizeof(wchar_t);
    const LSTATUS read =
        RegQueryValueExW(server.Get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(written), &bytes);
    if (read != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
      hash = Mix(hash, "?", 1);
      continue;
    }
    const DWORD units = ExpandEnvironmentStringsW(written, path, MAX_PATH);
    if (units == 0 || units > MAX_PATH) lstrcpynW(path, written, MAX_PATH);
    CharUpperW(path);
    hash = Mix(hash, path, lstrlenW(path) * sizeof(wchar_t));
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (GetFileAttributesExW(path, GetFileExInfoStandard, &data)) {
      hash = Mix(hash, &data.nFileSizeLow, sizeof data.nFileSizeLow);
      hash = Mix(hash, &data.nFileSizeHigh, sizeof data.nFileSizeHigh);
      hash = Mix(hash, &data.ftLastWriteTime, sizeof data.ftLastWriteTime);
    }
  }
  return hash;
}

// One class's fixed part, checked against the identity.
bool TakeClass(const std::string& bytes, std::size_t& at, const CLSID& expected, ClassVerdict& verdict,
               WORD (&units)[2]) {
  CLSID clsid = {};
  char word[kWordBytes + 1] = {};
  DWORD result = 0;
  if (!Take(bytes, at, clsid) || !IsEqualCLSID(clsid, expected) || bytes.size() - at < kWordBytes)
    return false;
  std::memcpy(word, bytes.data() + at, kWordBytes);
  at += kWordBytes;
  if (!StateOfWord(word, verdict.state) || !Take(bytes, at, result) ||
      !Take(bytes, at, verdict.milliseconds) || !Take(bytes, at, units[0]) || !Take(bytes, at, units[1])) {
    return false;
  }
  verdict.result = static_cast<HRESULT>(result);
  return true;
}

}  // namespace

bool IdentifyModule(const std::wstring& path, const CLSID* clsids, int count, WORD machine,
                    ModuleIdentity& identity) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (path.empty() || count < 1 || count > 2 ||
      !GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return false;
  }
  identity.path = path;
  identity.size = static_cast<ULONGLONG>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
  identity.lastWrite = data.ftLastWriteTime;
  identity.count = count;
  for (int i = 0; i < count; ++i) identity.clsids[i] = clsids[i];
  identity.engines = EngineStamp(machine);
  return true;
}

bool Memorable(const Verdict& verdict, int count) {
  for (int i = 0; i < count; ++i) {
    if (!VerdictState(verdict.classes[i].state)) return false;
  }
  return count > 0;
}

std::string EncodeVerdict(const ModuleIdentity& identity, const Verdict& verdict) {
  std::string bytes(kMagic, sizeof kMagic);
  Put(bytes, static_cast<DWORD>(identity.count));
  Put(bytes, identity.size);
  Put(bytes, identity.lastWrite);
  Put(bytes, identity.engines);
  Put(bytes, verdict.timeLimit);
  for (int i = 0; i < identity.count; ++i) {
    const ClassVerdict& entry = verdict.classes[i];
    Put(bytes, identity.clsids[i]);
    char word[kWordBytes] = {};
    std::strncpy(word, StateName(entry.state), kWordBytes - 1);
    bytes.append(word, kWordBytes);
    Put(bytes, static_cast<DWORD>(entry.result));
    Put(bytes, entry.milliseconds);
    Put(bytes, static_cast<WORD>(entry.path.size() < kTextLimit ? entry.path.size() : kTextLimit));
    Put(bytes,
        static_cast<WORD>(entry.receivedPath.size() < kTextLimit ? entry.receivedPath.size() : kTextLimit));
  }
  for (int i = 0; i < identity.count; ++i) {
    for (const std::wstring* text : {&verdict.classes[i].path, &verdict.classes[i].receivedPath}) {
      const std::size_t units = text->size() < kTextLimit ? text->size() : kTextLimit;
      bytes.append(reinterpret_cast<const char*>(text->data()), units * sizeof(wchar_t));
    }
  }
  return bytes;
}

bool DecodeVerdict(const std::string& bytes, const ModuleIdentity& identity, Verdict& verdict) {
  std::size_t at = 0;
  DWORD count = 0;
  ULONGLONG size = 0;
  FILETIME lastWrite = {};
  ULONGLONG engines = 0;
  Verdict read;
  if (bytes.size() < sizeof kMagic || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) return false;
  at = sizeof kMagic;
  if (!Take(bytes, at, count) || count != static_cast<DWORD>(identity.count) || !Take(bytes, at, size) ||
      !Take(bytes, at, lastWrite) || !Take(bytes, at, engines) ||
      !SameFile(identity, size, lastWrite, engines) || !Take(bytes, at, read.timeLimit)) {
    return false;
  }
  WORD units[2][2] = {};
  for (int i = 0; i < identity.count; ++i) {
    if (!TakeClass(bytes, at, identity.clsids[i], read.classes[i], units[i])) return false;
  }
  for (int i = 0; i < identity.count; ++i) {
    if (!TakeText(bytes, at, units[i][0], read.classes[i].path) ||
        !TakeText(bytes, at, units[i][1], read.classes[i].receivedPath)) {
      return false;
    }
  }
  if (at != bytes.size()) return false;
  verdict = read;
  return true;
}

bool RecallVerdict(const ModuleIdentity& identity, Verdict& verdict) {
  UniqueKey memory;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kVerdictKey, 0, KEY_QUERY_VALUE, memory.Put()) != ERROR_SUCCESS) {
    return false;
  }
  std::string bytes(4096, '\0');
  DWORD type = REG_NONE, got = static_cast<DWORD>(bytes.size());
  if (RegQueryValueExW(memory.Get(), identity.path.c_str(), nullptr, &type,
                       reinterpret_cast<BYTE*>(&bytes[0]), &got) != ERROR_SUCCESS ||
      type != REG_BINARY) {
    return false;
  }
  bytes.resize(got);
  return DecodeVerdict(bytes, identity, verdict);
}

void RememberVerdict(const ModuleIdentity& identity, const Verdict& verdict) {
  UniqueKey memory;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kVerdictKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, memory.Put(),
                      nullptr) != ERROR_SUCCESS) {
    return;  // a host that cannot remember probes again next time
  }
  const std::string bytes = EncodeVerdict(identity, verdict);
  RegSetValueExW(memory.Get(), identity.path.c_str(), 0, REG_BINARY,
                 reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
}

HRESULT ForgetModuleVerdict(const std::wstring& path) {
  UniqueKey memory;
  LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, kVerdictKey, 0, KEY_SET_VALUE, memory.Put());
  if (status == ERROR_SUCCESS) status = RegDeleteValueW(memory.Get(), path.c_str());
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(status);
}

HRESULT ForgetEveryVerdict() {
  const LSTATUS status = RegDeleteTreeW(HKEY_CURRENT_USER, kVerdictKey);
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(status);
}

}  // namespace detail
}  // namespace host
}  // namespace stub
