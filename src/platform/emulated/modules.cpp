// The module table: which file each module handle was loaded from, and the
// long and short names that path conversion maps between.
#include <cstring>
#include <map>
#include <vector>

#include "platform/emulated/internal.h"

namespace emu {
namespace {

// The handle ThisModule() answers: a fixed value shaped like a typical load
// address, never dereferenced.
HMODULE const kThisModule = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x10000000u));
const char16_t kDefaultModuleName[] = u"C:\\Packages\\Stub.dll";

struct NamePair {
  std::u16string longName;
  std::u16string shortName;  // may be empty
};

struct ModuleState {
  std::map<HMODULE, std::u16string> fileNames;
  std::vector<NamePair> names;  // for path conversion, both directions

  ModuleState() {
    fileNames[kThisModule] = kDefaultModuleName;
    names.push_back({kDefaultModuleName, u""});
  }
};

ModuleState& Modules() {
  static ModuleState state;
  return state;
}

void AddNames(ModuleState& state, const std::u16string& longName, const std::u16string& shortName) {
  for (NamePair& pair : state.names) {
    if (detail::EqualNoCase(pair.longName, longName)) {
      pair = {longName, shortName};
      return;
    }
  }
  state.names.push_back({longName, shortName});
}

// Converts `path` one way: the longest leading part of it that is a known name
// (a whole path component boundary) is replaced by its counterpart. Returns
// false when the path names nothing known.
bool Convert(const std::u16string& path, bool toShort, std::u16string* result) {
  const ModuleState& state = Modules();
  std::size_t bestLength = 0;
  std::u16string replacement;
  for (const NamePair& pair : state.names) {
    for (int side = 0; side < 2; ++side) {
      const std::u16string& from = side == 0 ? pair.longName : pair.shortName;
      if (from.empty() || from.size() > path.size() || from.size() <= bestLength) continue;
      if (path.size() > from.size() && path[from.size()] != u'\\') continue;
      if (!detail::EqualNoCase(path.substr(0, from.size()), from)) continue;
      bestLength = from.size();
      const std::u16string& to = toShort ? pair.shortName : pair.longName;
      replacement = to.empty() ? pair.longName : to;
    }
  }
  if (bestLength > 0) {
    *result = replacement + path.substr(bestLength);
    if (bestLength == path.size() || detail::PathExists(*result) || detail::PathExists(path)) {
      return true;
    }
  }
  if (detail::PathExists(path)) {
    *result = path;
    return true;
  }
  return false;
}

// Shared by both conversions: the needed size (terminator included) when the
// buffer is short, leaving the buffer untouched, as Windows does.
DWORD ConvertPath(Call call, const char16_t* path, char16_t* buffer, DWORD size, bool toShort) {
  std::int32_t code = 0;
  if (call != Call::kCount && detail::CallFails(call, &code)) {
    detail::SetLastErrorCode(static_cast<DWORD>(code));
    return 0;
  }
  if (!path) {
    detail::SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::u16string result;
  {
    detail::Guard guard(detail::StateLock());
    if (!Convert(path, toShort, &result)) {
      detail::SetLastErrorCode(ERROR_FILE_NOT_FOUND);
      return 0;
    }
  }
  if (!buffer || result.size() >= size) return static_cast<DWORD>(result.size() + 1);
  std::memcpy(buffer, result.c_str(), (result.size() + 1) * sizeof(char16_t));
  return static_cast<DWORD>(result.size());
}

}  // namespace

namespace detail {

void ResetModules() { Modules() = ModuleState(); }

}  // namespace detail

void SetModuleFileName(HMODULE module, const std::u16string& longName, const std::u16string& shortName) {
  detail::Guard guard(detail::StateLock());
  Modules().fileNames[module] = longName;
  AddNames(Modules(), longName, shortName);
}

void SetShortName(const std::u16string& longName, const std::u16string& shortName) {
  detail::Guard guard(detail::StateLock());
  AddNames(Modules(), longName, shortName);
}

}  // namespace emu

namespace sys {

HMODULE ThisModule() { return emu::kThisModule; }

DWORD GetModuleFileNameW(HMODULE module, char16_t* buffer, DWORD size) {
  std::int32_t code = 0;
  if (emu::detail::CallFails(emu::Call::GetModuleFileNameW, &code)) {
    emu::detail::SetLastErrorCode(static_cast<DWORD>(code));
    return 0;
  }
  std::u16string name;
  {
    emu::detail::Guard guard(emu::detail::StateLock());
    auto it = emu::Modules().fileNames.find(module);
    if (it == emu::Modules().fileNames.end()) {
      emu::detail::SetLastErrorCode(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    name = it->second;
  }
  if (size == 0 || !buffer) {
    emu::detail::SetLastErrorCode(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (name.size() < size) {
    std::memcpy(buffer, name.c_str(), (name.size() + 1) * sizeof(char16_t));
    return static_cast<DWORD>(name.size());
  }
  // Truncated to size - 1 characters and terminated, as Windows Vista and later do.
  std::memcpy(buffer, name.data(), (size - 1) * sizeof(char16_t));
  buffer[size - 1] = 0;
  emu::detail::SetLastErrorCode(ERROR_INSUFFICIENT_BUFFER);
  return size;
}

DWORD GetLongPathNameW(const char16_t* path, char16_t* buffer, DWORD size) {
  return emu::ConvertPath(emu::Call::GetLongPathNameW, path, buffer, size, false);
}

DWORD GetShortPathNameW(const char16_t* path, char16_t* buffer, DWORD size) {
  return emu::ConvertPath(emu::Call::kCount, path, buffer, size, true);
}

DWORD GetFullPathNameW(const char16_t* path, char16_t* buffer, DWORD size) {
  // Paths here are already absolute; what the conversion does to them is drop
  // the dots and blanks after the last part's name, as Windows does.
  if (!path) {
    emu::detail::SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::u16string full(path);
  const std::size_t start = full.find_last_of(u"\\/") + 1;
  std::size_t end = full.size();
  while (end > start && (full[end - 1] == u'.' || full[end - 1] == u' ')) --end;
  if (end > start && full.find_first_not_of(u'.', start) != std::u16string::npos) full.resize(end);
  if (!buffer || full.size() >= size) return static_cast<DWORD>(full.size() + 1);
  std::memcpy(buffer, full.c_str(), (full.size() + 1) * sizeof(char16_t));
  return static_cast<DWORD>(full.size());
}

}  // namespace sys
