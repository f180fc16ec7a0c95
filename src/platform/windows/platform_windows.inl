// Windows side of the platform seam: each call forwards to the real API.
// Included by platform.h only; char16_t and wchar_t are both UTF-16 here, so
// text crosses by a pointer cast.
#pragma once

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace sys {
namespace detail {
inline const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
inline wchar_t* Wide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }
static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected on Windows");
}  // namespace detail

inline HMODULE ThisModule() { return reinterpret_cast<HMODULE>(&__ImageBase); }

inline DWORD GetModuleFileNameW(HMODULE module, char16_t* buffer, DWORD size) {
  return ::GetModuleFileNameW(module, detail::Wide(buffer), size);
}
inline DWORD GetLongPathNameW(const char16_t* path, char16_t* buffer, DWORD size) {
  return ::GetLongPathNameW(detail::Wide(path), detail::Wide(buffer), size);
}
inline DWORD GetFullPathNameW(const char16_t* path, char16_t* buffer, DWORD size) {
  return ::GetFullPathNameW(detail::Wide(path), size, detail::Wide(buffer), nullptr);
}
inline DWORD GetShortPathNameW(const char16_t* path, char16_t* buffer, DWORD size) {
  return ::GetShortPathNameW(detail::Wide(path), detail::Wide(buffer), size);
}
inline BOOL DisableThreadLibraryCalls(HMODULE module) { return ::DisableThreadLibraryCalls(module); }
inline DWORD GetLastError() { return ::GetLastError(); }
inline void SetLastError(DWORD code) { ::SetLastError(code); }

inline int MultiByteToWideChar(UINT codePage, DWORD flags, const char* bytes, int byteCount,
                               char16_t* wide, int wideCount) {
  return ::MultiByteToWideChar(codePage, flags, bytes, byteCount, detail::Wide(wide), wideCount);
}
inline int lstrcmpiW(const char16_t* a, const char16_t* b) {
  return ::lstrcmpiW(detail::Wide(a), detail::Wide(b));
}
inline int lstrlenW(const char16_t* s) { return ::lstrlenW(detail::Wide(s)); }

inline bool InitializeCriticalSection(CRITICAL_SECTION* section) {
  // The spin-count variant reports a lack of memory as FALSE instead of raising
  // STATUS_NO_MEMORY, which is what the callers need to know.
  return ::InitializeCriticalSectionAndSpinCount(section, 0) != FALSE;
}
inline void EnterCriticalSection(CRITICAL_SECTION* section) { ::EnterCriticalSection(section); }
inline void LeaveCriticalSection(CRITICAL_SECTION* section) { ::LeaveCriticalSection(section); }
inline void DeleteCriticalSection(CRITICAL_SECTION* section) { ::DeleteCriticalSection(section); }

inline LONG InterlockedIncrement(LONG volatile* value) { return ::InterlockedIncrement(value); }
inline LONG InterlockedDecrement(LONG volatile* value) { return ::InterlockedDecrement(value); }

inline void* MemAlloc(std::size_t bytes) { return ::HeapAlloc(::GetProcessHeap(), 0, bytes); }
inline void MemFree(void* block) {
  if (block) ::HeapFree(::GetProcessHeap(), 0, block);
}

inline HANDLE CreateMutexW(SECURITY_ATTRIBUTES* security, BOOL initialOwner, const char16_t* name) {
  return ::CreateMutexW(security, initialOwner, detail::Wide(name));
}
inline DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  return ::WaitForSingleObject(object, milliseconds);
}
inline BOOL ReleaseMutex(HANDLE mutex) { return ::ReleaseMutex(mutex); }
inline BOOL CloseHandle(HANDLE object) { return ::CloseHandle(object); }
inline DWORD ExpandEnvironmentStringsW(const char16_t* text, char16_t* buffer, DWORD size) {
  return ::ExpandEnvironmentStringsW(detail::Wide(text), detail::Wide(buffer), size);
}

inline const char16_t* CallerText(const OLECHAR* text) {
  return reinterpret_cast<const char16_t*>(text);
}
inline int MessageBoxW(HWND owner, const char16_t* text, const char16_t* caption, UINT type) {
  return ::MessageBoxW(owner, detail::Wide(text), detail::Wide(caption), type);
}
inline const char16_t* CharNextW(const char16_t* position) {
  return reinterpret_cast<const char16_t*>(::CharNextW(detail::Wide(position)));
}
inline HWINSTA GetProcessWindowStation() { return ::GetProcessWindowStation(); }
inline BOOL GetUserObjectInformationW(HWINSTA object, int index, void* info, DWORD length,
                                      DWORD* lengthNeeded) {
  return ::GetUserObjectInformationW(object, index, info, length, lengthNeeded);
}

inline LONG RegCreateKeyExW(HKEY parent, const char16_t* name, DWORD reserved, char16_t* className,
                            DWORD options, REGSAM access, SECURITY_ATTRIBUTES* security,
                            HKEY* result, DWORD* disposition) {
  return ::RegCreateKeyExW(parent, detail::Wide(name), reserved, detail::Wide(className), options,
                           access, security, result, disposition);
}
inline LONG RegOpenKeyExW(HKEY parent, const char16_t* name, DWORD options, REGSAM access,
                          HKEY* result) {
  return ::RegOpenKeyExW(parent, detail::Wide(name), options, access, result);
}
inline LONG RegCloseKey(HKEY key) { return ::RegCloseKey(key); }
inline LONG RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* nameLength) {
  return ::RegEnumKeyExW(key, index, detail::Wide(name), nameLength, nullptr, nullptr, nullptr,
                         nullptr);
}
inline LONG RegDeleteKeyW(HKEY parent, const char16_t* name) {
  return ::RegDeleteKeyW(parent, detail::Wide(name));
}
inline LONG RegDeleteValueW(HKEY key, const char16_t* name) {
  return ::RegDeleteValueW(key, detail::Wide(name));
}
inline LONG RegQueryValueExW(HKEY key, const char16_t* name, DWORD* type, BYTE* data,
                             DWORD* size) {
  return ::RegQueryValueExW(key, detail::Wide(name), nullptr, type, data, size);
}
inline LONG RegQueryInfoKeyW(HKEY key, DWORD* subKeyCount) {
  return ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, subKeyCount, nullptr, nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr);
}
inline LONG RegSetValueExW(HKEY key, const char16_t* name, DWORD reserved, DWORD type,
                           const BYTE* data, DWORD size) {
  return ::RegSetValueExW(key, detail::Wide(name), reserved, type, data, size);
}
inline LONG RegOverridePredefKey(HKEY key, HKEY newKey) { return ::RegOverridePredefKey(key, newKey); }

inline HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid,
                                void** object) {
  return ::CoCreateInstance(clsid, outer, context, riid, object);
}
inline HRESULT CLSIDFromString(const char16_t* text, CLSID* clsid) {
  return ::CLSIDFromString(const_cast<LPOLESTR>(detail::Wide(text)), clsid);
}
inline void* CoTaskMemAlloc(std::size_t bytes) { return ::CoTaskMemAlloc(bytes); }
inline void* CoTaskMemRealloc(void* block, std::size_t bytes) {
  return ::CoTaskMemRealloc(block, bytes);
}
inline void CoTaskMemFree(void* block) { ::CoTaskMemFree(block); }
inline void SetCategoryDescription(CATEGORYINFO& info, const char16_t* description) {
  constexpr int kCapacity = sizeof(info.szDescription) / sizeof(info.szDescription[0]);
  int i = 0;
  for (; description && description[i] && i < kCapacity - 1; ++i) info.szDescription[i] = description[i];
  info.szDescription[i] = 0;
}

inline HRESULT VarUI4FromStr(const char16_t* text, LCID locale, ULONG flags, ULONG* out) {
  return ::VarUI4FromStr(const_cast<OLECHAR*>(detail::Wide(text)), locale, flags, out);
}

inline FILE* _wfopen(const char16_t* path, const char16_t* mode) {
  return ::_wfopen(detail::Wide(path), detail::Wide(mode));
}
inline int fclose(FILE* file) { return ::fclose(file); }
inline int fseek(FILE* file, long offset, int origin) { return ::fseek(file, offset, origin); }
inline long ftell(FILE* file) { return ::ftell(file); }
inline std::size_t fread(void* buffer, std::size_t size, std::size_t count, FILE* file) {
  return ::fread(buffer, size, count, file);
}
inline int fgetc(FILE* file) { return ::fgetc(file); }

}  // namespace sys
