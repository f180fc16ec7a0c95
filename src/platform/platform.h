// The platform seam: every Windows call, type and constant the module uses.
//
// Product code reaches the operating system only through this header. On
// Windows the calls forward to the real API (conversion between char16_t and
// wchar_t happens here and nowhere else). On Linux the same declarations are
// implemented by the emulator in src/platform/emulated, so the subsystems build
// and run natively for unit tests, sanitizers, fault injection and fuzzing.
//
// Types and constants keep their Windows names in the global namespace (on
// Windows they come from the SDK headers); the calls live in namespace sys and
// take UTF-16 text as char16_t.
//
// A Windows program may build the product code over the emulator instead (the
// package checker does, so that it never touches the machine's registry): it
// defines STUB_EMULATED_PLATFORM, and links the emulator in place of the API.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#if defined(_WIN32) && !defined(STUB_EMULATED_PLATFORM)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <comcat.h>
#include <objbase.h>
#include <oleauto.h>

#else  // emulated platform

// ---- Scalar types -----------------------------------------------------------
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using UINT = unsigned int;
using BOOL = int;
using HRESULT = std::int32_t;
using LCID = std::uint32_t;
using REGSAM = std::uint32_t;
using OLECHAR = char16_t;

#define TRUE 1
#define FALSE 0
#define WINAPI
#define STDMETHODCALLTYPE

// ---- Handles ----------------------------------------------------------------
struct HKEY__;
using HKEY = HKEY__*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
struct HWND__;
using HWND = HWND__*;
struct HWINSTA__;
using HWINSTA = HWINSTA__*;
struct SECURITY_ATTRIBUTES;
/// A kernel object (the module opens only named mutexes).
using HANDLE = void*;

#define HKEY_CLASSES_ROOT ((HKEY)(std::uintptr_t)0x80000000u)
#define HKEY_CURRENT_USER ((HKEY)(std::uintptr_t)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(std::uintptr_t)0x80000002u)
#define HKEY_USERS ((HKEY)(std::uintptr_t)0x80000003u)
#define HKEY_PERFORMANCE_DATA ((HKEY)(std::uintptr_t)0x80000004u)
#define HKEY_CURRENT_CONFIG ((HKEY)(std::uintptr_t)0x80000005u)
#define HKEY_DYN_DATA ((HKEY)(std::uintptr_t)0x80000006u)

// ---- Identifiers --------------------------------------------------------------
struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using CATID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// ---- Result codes -------------------------------------------------------------
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_NOINTERFACE ((HRESULT)0x80004002L)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define DISP_E_TYPEMISMATCH ((HRESULT)0x80020005L)
#define DISP_E_OVERFLOW ((HRESULT)0x8002000AL)
#define DISP_E_EXCEPTION ((HRESULT)0x80020009L)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110L)
#define CLASS_E_CLASSNOTAVAILABLE ((HRESULT)0x80040111L)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154L)
#define CO_E_CLASSSTRING ((HRESULT)0x800401F3L)

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_NOACCESS 998L
#define ERROR_KEY_DELETED 1018L
#define ERROR_KEY_HAS_CHILDREN 1020L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_ALREADY_EXISTS 183L

// ---- Registry -------------------------------------------------------------------
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_OPTION_NON_VOLATILE 0L
#define REG_CREATED_NEW_KEY 1L
#define REG_OPENED_EXISTING_KEY 2L

// ---- Loader, text, windows, COM contexts ---------------------------------------
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3
#define CP_UTF8 65001
#define MB_OK 0x00000000L
#define UOI_FLAGS 1
#define WSF_VISIBLE 0x0001L
#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

// ---- COM interfaces ---------------------------------------------------------------
struct IUnknown {
  virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;
};

struct IClassFactory : IUnknown {
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) = 0;
  virtual HRESULT LockServer(BOOL lock) = 0;
};

struct IGlobalInterfaceTable : IUnknown {
  virtual HRESULT RegisterInterfaceInGlobal(IUnknown* object, REFIID riid, DWORD* cookie) = 0;
  virtual HRESULT RevokeInterfaceFromGlobal(DWORD cookie) = 0;
  virtual HRESULT GetInterfaceFromGlobal(DWORD cookie, REFIID riid, void** object) = 0;
};

struct CATEGORYINFO {
  CATID catid;
  LCID lcid;
  OLECHAR szDescription[128];
};

struct ICatRegister : IUnknown {
  virtual HRESULT RegisterCategories(ULONG count, CATEGORYINFO* infos) = 0;
  virtual HRESULT UnRegisterCategories(ULONG count, CATID* ids) = 0;
  virtual HRESULT RegisterClassImplCategories(REFCLSID clsid, ULONG count, CATID* ids) = 0;
  virtual HRESULT UnRegisterClassImplCategories(REFCLSID clsid, ULONG count, CATID* ids) = 0;
  virtual HRESULT RegisterClassReqCategories(REFCLSID clsid, ULONG count, CATID* ids) = 0;
  virtual HRESULT UnRegisterClassReqCategories(REFCLSID clsid, ULONG count, CATID* ids) = 0;
};

// ---- Window stations ---------------------------------------------------------------
struct USEROBJECTFLAGS {
  BOOL fInherit;
  BOOL fReserved;
  DWORD dwFlags;
};

// ---- Critical sections --------------------------------------------------------------
// Opaque storage; zero-filled storage is "not initialised".
struct CRITICAL_SECTION {
  void* impl;
};

#endif  // _WIN32

namespace sys {

// ---- Loader and kernel ------------------------------------------------------------------

/// The instance handle of the module this code is linked into (its load address).
HMODULE ThisModule();

/// Full file name of a loaded module; returns the characters written (truncated
/// and terminated when the buffer is short, as Windows XP and later do).
DWORD GetModuleFileNameW(HMODULE module, char16_t* buffer, DWORD size);

/// Long form of a path; 0 on failure, the needed size when the buffer is short.
DWORD GetLongPathNameW(const char16_t* path, char16_t* buffer, DWORD size);

/// Full form of a path as the loader and the file system name it: a relative
/// path made absolute, and the dots and blanks after a name's last part dropped
/// ("C:\P\A.dll." is C:\P\A.dll). Returns as GetLongPathNameW does.
DWORD GetFullPathNameW(const char16_t* path, char16_t* buffer, DWORD size);

/// Short (8.3) form of a path; 0 on failure. Used by tests and tools.
DWORD GetShortPathNameW(const char16_t* path, char16_t* buffer, DWORD size);

BOOL DisableThreadLibraryCalls(HMODULE module);

/// The calling thread's last error code, as the calls that report failure by a
/// 0 or null result leave it.
DWORD GetLastError();
void SetLastError(DWORD code);

int MultiByteToWideChar(UINT codePage, DWORD flags, const char* bytes, int byteCount, char16_t* wide,
                        int wideCount);

/// Locale-aware case-insensitive comparison: 0 when equal.
int lstrcmpiW(const char16_t* a, const char16_t* b);
int lstrlenW(const char16_t* s);

/// Initialises a critical section; false when the system has no memory for it.
bool InitializeCriticalSection(CRITICAL_SECTION* section);
void EnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);
void DeleteCriticalSection(CRITICAL_SECTION* section);

LONG InterlockedIncrement(LONG volatile* value);
LONG InterlockedDecrement(LONG volatile* value);

/// Reads a count that other threads change with the interlocked calls.
inline LONG InterlockedRead(const LONG volatile* value) { return __atomic_load_n(value, __ATOMIC_SEQ_CST); }
/// Reads a pointer that another thread may publish with WritePointerRelease
/// without a lock: whoever sees the pointer also sees the object behind it.
template <class T>
T* ReadPointerAcquire(T* const volatile* slot) {
  return __atomic_load_n(slot, __ATOMIC_ACQUIRE);
}
template <class T>
void WritePointerRelease(T* volatile* slot, T* value) {
  __atomic_store_n(slot, value, __ATOMIC_RELEASE);
}
/// Stores `exchange` in `*slot` if it holds `comparand`, in one step; answers
/// what `*slot` held (`comparand` when the exchange took place).
template <class T>
T* CompareExchangePointer(T* volatile* slot, T* exchange, T* comparand) {
  __atomic_compare_exchange_n(slot, &comparand, exchange, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
  return comparand;
}

/// Process heap block for the module's own objects; null when out of memory.
void* MemAlloc(std::size_t bytes);
void MemFree(void* block);

/// A named mutex, made or opened (null on failure, with the last error set); it
/// is shared by every process that names it. The module names one per module
/// file to take turns at registration.
HANDLE CreateMutexW(SECURITY_ATTRIBUTES* security, BOOL initialOwner, const char16_t* name);
/// Waits for a mutex: WAIT_OBJECT_0 when it is now this thread's, WAIT_ABANDONED
/// when its last owner ended without giving it back (it is this thread's then
/// too), WAIT_TIMEOUT, or WAIT_FAILED with the last error set.
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
BOOL ReleaseMutex(HANDLE mutex);
BOOL CloseHandle(HANDLE object);

/// Expands the %NAME% references of the environment in `text`; answers the units
/// needed, terminator included (more than `size` when the buffer is short), or 0
/// on failure.
DWORD ExpandEnvironmentStringsW(const char16_t* text, char16_t* buffer, DWORD size);

// ---- User interface and text stepping ----------------------------------------------------
/// The text of a wide-string argument the module's caller passed in.
const char16_t* CallerText(const OLECHAR* text);
int MessageBoxW(HWND owner, const char16_t* text, const char16_t* caption, UINT type);
const char16_t* CharNextW(const char16_t* position);
/// The window station of the calling process; null on failure. The handle is
/// the system's: it is never closed.
HWINSTA GetProcessWindowStation();
/// Information about a window station (the module asks only for UOI_FLAGS,
/// whose WSF_VISIBLE bit says whether a person can see the station's
/// windows); FALSE on failure, with the last error set.
BOOL GetUserObjectInformationW(HWINSTA object, int index, void* info, DWORD length, DWORD* lengthNeeded);

// ---- Registry -----------------------------------------------------------------------------
LONG RegCreateKeyExW(HKEY parent, const char16_t* name, DWORD reserved, char16_t* className, DWORD options,
                     REGSAM access, SECURITY_ATTRIBUTES* security, HKEY* result, DWORD* disposition);
LONG RegOpenKeyExW(HKEY parent, const char16_t* name, DWORD options, REGSAM access, HKEY* result);
LONG RegCloseKey(HKEY key);
/// Name of subkey `index`; `nameLength` is the capacity in, the length out.
LONG RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* nameLength);
LONG RegDeleteKeyW(HKEY parent, const char16_t* name);
LONG RegDeleteValueW(HKEY key, const char16_t* name);
/// Reads value `name` of `key` (null or empty: the default value): its type in
/// `*type` and its bytes in `data`. `*size` is the capacity in bytes going in and
/// the value's size coming out; ERROR_MORE_DATA when `data` is too small (or
/// null, then the size alone is asked for and ERROR_SUCCESS answered).
LONG RegQueryValueExW(HKEY key, const char16_t* name, DWORD* type, BYTE* data, DWORD* size);
/// The number of subkeys of a key (the only figure the module asks for).
LONG RegQueryInfoKeyW(HKEY key, DWORD* subKeyCount);
LONG RegSetValueExW(HKEY key, const char16_t* name, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
/// Makes the predefined key `key` stand for the open key `newKey` in this
/// process's registry calls until it is called again; a null `newKey` restores
/// the default. `newKey` may be closed once this returns.
LONG RegOverridePredefKey(HKEY key, HKEY newKey);

// ---- COM runtime --------------------------------------------------------------------------
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** object);
HRESULT CLSIDFromString(const char16_t* text, CLSID* clsid);
void* CoTaskMemAlloc(std::size_t bytes);
void* CoTaskMemRealloc(void* block, std::size_t bytes);
void CoTaskMemFree(void* block);
/// Fills the description of a category record (at most 127 characters kept).
void SetCategoryDescription(CATEGORYINFO& info, const char16_t* description);

// ---- Automation number conversion -------------------------------------------------------
HRESULT VarUI4FromStr(const char16_t* text, LCID locale, ULONG flags, ULONG* out);

// ---- C runtime file input -------------------------------------------------------------------
FILE* _wfopen(const char16_t* path, const char16_t* mode);
int fclose(FILE* file);
int fseek(FILE* file, long offset, int origin);
long ftell(FILE* file);
std::size_t fread(void* buffer, std::size_t size, std::size_t count, FILE* file);
int fgetc(FILE* file);

}  // namespace sys

#if defined(_WIN32) && !defined(STUB_EMULATED_PLATFORM)
#include "platform/windows/platform_windows.inl"
#else
#include "platform/emulated/platform_inline.inl"
#endif
