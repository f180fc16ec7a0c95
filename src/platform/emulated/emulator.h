// Control surface of the emulated platform, for tests, fuzzing and benchmarks.
//
// The emulator implements the calls of platform.h over in-process state: a
// registry, a file system with Windows paths, a module table, a COM class table
// with task memory and the component categories manager, and a record of
// message boxes. Tests set that state up, inject faults, and read back what
// the product did. Nothing here is reachable from product code.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/emulated/text_helpers.h"
#include "platform/platform.h"

namespace emu {

/// Forgets all state: the registry holds only the empty predefined roots, no
/// files, the module table holds only ThisModule() under its default name
/// (C:\Packages\Stub.dll), the COM class table holds only the emulator's own
/// classes (the component categories manager), no message boxes, no faults,
/// and the call and leak counters restart at zero. Handles or task-memory
/// blocks still alive from before are forgotten, not counted as leaks.
void Reset();
/// The same, except that the registry's keys and values stay as they are
/// (its handles, root overrides and mark are forgotten).
void ResetKeepingRegistry();

// ---- Fault injection ----------------------------------------------------------------------

/// The platform calls whose failure can be injected.
enum class Call {
  RegCreateKeyExW,
  RegOpenKeyExW,
  RegCloseKey,
  RegEnumKeyExW,
  RegDeleteKeyW,
  RegDeleteValueW,
  RegQueryInfoKeyW,
  RegSetValueExW,
  CoCreateInstance,
  CLSIDFromString,
  VarUI4FromStr,
  InitializeCriticalSection,
  GetModuleFileNameW,
  GetLongPathNameW,
  MultiByteToWideChar,
  _wfopen,
  RegOverridePredefKey,
  GetProcessWindowStation,
  GetUserObjectInformationW,
  RegQueryValueExW,
  CreateMutexW,
  kCount
};

/// The `nth` call of `call` from now on (1 = the next one) fails with `code`
/// and has no other effect: a Win32 code for registry calls (returned as is),
/// an HRESULT for COM and automation calls; for InitializeCriticalSection,
/// GetModuleFileNameW, GetLongPathNameW, MultiByteToWideChar and _wfopen the
/// call reports failure in its own way (false, 0 or null) and `code` becomes the
/// thread's last error; GetProcessWindowStation then answers null and
/// GetUserObjectInformationW FALSE, with `code` as the last error too. Several
/// failures may be armed at once.
void FailCall(Call call, int nth, std::int32_t code);

/// The `nth` allocation from now on (1 = the next one) fails. Allocations are
/// CoTaskMemAlloc, CoTaskMemRealloc (which then leaves the old block valid)
/// and MemAlloc, counted together.
void FailAllocation(int nth);

/// Disarms every injected fault.
void ClearFaults();

/// How many times `call` was made since the last Reset, failed calls included.
int CallCount(Call call);

/// Allocations made since the last Reset (CoTaskMemAlloc, CoTaskMemRealloc,
/// MemAlloc together), failed ones included. A fault sweep runs an operation
/// once to learn this number, then fails each allocation in turn.
int AllocationCount();

// ---- Leak accounting -------------------------------------------------------------------------

/// Registry handles opened or created and not yet closed (predefined roots do
/// not count).
int OpenKeyHandles();
/// Task-memory blocks allocated and not yet freed.
int LiveTaskMemBlocks();
/// MemAlloc blocks not yet freed.
int LiveHeapBlocks();
/// Files opened with _wfopen and not yet closed.
int OpenFiles();
/// Critical sections initialised and not yet deleted.
int LiveCriticalSections();
/// Kernel object handles (named mutexes) opened and not yet closed.
int OpenKernelHandles();

// ---- Registry ------------------------------------------------------------------------------------

/// Creates every missing key along `path` (backslash separated) under `root`.
void CreateKey(HKEY root, const std::u16string& path);
/// Sets a value; the key is created if missing. An empty name is the default value.
void SetValue(HKEY root, const std::u16string& path, const std::u16string& name, DWORD type,
              const std::vector<BYTE>& data);
/// True if the key exists.
bool KeyExists(HKEY root, const std::u16string& path);

/// Every later open of the key fails with ERROR_ACCESS_DENIED (and so does
/// enumerating, querying or deleting it through an existing handle).
void MarkKeyUnreadable(HKEY root, const std::u16string& path);
/// Every later open or create of the key that asks for any write right
/// (KEY_SET_VALUE, KEY_CREATE_SUB_KEY or DELETE) fails with
/// ERROR_ACCESS_DENIED, and so does deleting it; KEY_READ opens succeed.
void MarkKeyReadOnly(HKEY root, const std::u16string& path);

/// True while RegOverridePredefKey has `root` standing for another key. Only
/// the registry calls of platform.h follow such an override; the functions
/// here, and the emulator's own services (the categories manager among them,
/// as Wine's ignores it too), always address the roots themselves.
bool PredefinedKeyOverridden(HKEY root);

struct Value {
  std::u16string name;  // empty for the default value
  DWORD type;
  std::vector<BYTE> data;
};
struct KeyContents {
  bool exists = false;
  std::vector<std::u16string> subkeys;  // names as stored, in creation order
  std::vector<Value> values;            // in creation order
};
/// What a key holds now.
KeyContents ReadKey(HKEY root, const std::u16string& path);

/// A key that calls created, deleted or changed since MarkRegistry: as it was
/// at the mark and as it is now.
struct KeyChange {
  HKEY root;              // the predefined root it is under
  std::u16string before;  // its path below the root at the mark ("" for the root)
  bool existed = false;   // whether it was there at the mark
  std::vector<Value> valuesBefore;
  std::u16string now;  // its path below the root as spelled now, when it is there
  bool exists = false;
  std::vector<Value> values;
};
/// Starts noting the registry's changes, forgetting those noted so far: from
/// now on each key is noted as it was the first time anything creates,
/// deletes or changes it (the test controls above included). A checker then
/// compares a run's end with its start, and puts the start back, without a
/// copy of the whole registry.
void MarkRegistry();
/// The keys noted since the mark, each once, in no particular order.
std::vector<KeyChange> RegistryChanges();
/// The same, one at a time, without a copy of them all: `visit` gets each
/// change and must not call into the emulator.
void VisitRegistryChanges(const std::function<void(const KeyChange&)>& visit);
/// Puts every key noted since the mark back as it was then (its values in
/// their order, its name as spelled then), and stops noting.
void RollBackRegistry();

// ---- Files ----------------------------------------------------------------------------------------

/// Puts a file at a Windows path (drive letter, backslashes; matched without
/// regard to case). Folders along the way come into being implicitly.
void PutFile(const std::u16string& path, const std::string& bytes);
/// The same without a copy: the file holds `bytes` with the caller, unchanged.
void PutFile(const std::u16string& path, std::shared_ptr<const std::string> bytes);
void RemoveFile(const std::u16string& path);
/// A path that names a folder: _wfopen of it fails as Windows fails it.
void PutDirectory(const std::u16string& path);

/// Files whose reading misbehaves, for robustness tests: a file that opens but
/// cannot be sized (fseek/ftell fail, as on a device), and a file that claims
/// `claimedSize` bytes but delivers only `bytes` (it shrank while read).
void PutUnseekableFile(const std::u16string& path, const std::string& bytes);
void PutShrinkingFile(const std::u16string& path, const std::string& bytes, long claimedSize);

/// Paths passed to _wfopen since the last Reset, in order, as given.
const std::vector<std::u16string>& OpenedPaths();

// ---- Modules ----------------------------------------------------------------------------------------

/// The file name GetModuleFileNameW reports for `module`, and the names the
/// long and short path conversions map between (the short name is optional:
/// without one, GetShortPathNameW returns the long name). Paths not in the
/// module table convert to themselves when a file or folder exists there and
/// fail with ERROR_FILE_NOT_FOUND otherwise.
void SetModuleFileName(HMODULE module, const std::u16string& longName, const std::u16string& shortName = u"");
/// Registers a long/short name pair for path conversion (a folder or file).
void SetShortName(const std::u16string& longName, const std::u16string& shortName);

// ---- COM runtime -----------------------------------------------------------------------------------

/// Creates an object of a registered class: answers like IClassFactory::CreateInstance.
using Creator = std::function<HRESULT(IUnknown* outer, REFIID riid, void** object)>;
/// CoCreateInstance of `clsid` (any in-process context) calls `creator`.
void RegisterClass(const CLSID& clsid, Creator creator);
void UnregisterClass(const CLSID& clsid);

/// The standard component categories manager is registered by Reset under
/// {0002E005-0000-0000-C000-000000000046}; like Windows it writes
/// HKCR\Component Categories\{catid} with value "409" (hex locale, no leading
/// zeros) = description, and HKCR\CLSID\{clsid}\Implemented Categories\{catid}.

// ---- Message boxes ---------------------------------------------------------------------------------

struct MessageBoxRecord {
  HWND owner;
  std::u16string text;
  std::u16string caption;
  UINT type;
};
/// Boxes shown since the last Reset, in order. Each returns IDOK (1) at once.
const std::vector<MessageBoxRecord>& MessageBoxes();

/// Whether the process's window station is one a person can see (WSF_VISIBLE
/// in its UOI_FLAGS). Reset makes it visible; a hidden station is what a
/// service or an installer running without a desktop has.
void SetWindowStationVisible(bool visible);

// ---- Environment ---------------------------------------------------------------------------------

/// Sets the variable `name` that ExpandEnvironmentStringsW expands (names match
/// regardless of case); Reset forgets every variable. References to unset
/// names stay as written, as on Windows.
void SetEnvironmentVariable(const std::u16string& name, const std::u16string& value);

}  // namespace emu
