// The module object: lock count, class table, class-object lookup and shutdown.
//
// One CServerModule exists, a global constructed before the module's load
// notification arrives; other parts reach its lock count through ActiveModule.
// The global ComModuleRecord holds the class-object lock and the (always empty)
// secondary class list.
#pragma once

#include "platform/platform.h"
#include "server/class_table.h"

struct IScriptReplacements;
class CServerModule;

/// A function run by Shutdown with its data word; nodes are heap blocks (sys::MemAlloc).
struct StopCallback {
  void (*function)(DWORD data);
  DWORD data;
  StopCallback* next;
};

/// A (name, value) pair for resource-script registration; a list ends with a null name.
struct ScriptReplacement {
  const char16_t* name;
  const char16_t* value;
};

/// The plain fields every module object starts with.
struct ModuleBaseRecord {
  /// Non-zero while the module critical section is initialised.
  DWORD validityMark;
  LONG volatile lockCount;
  StopCallback* stopCallbacks;
  /// Initialised at construction, deleted by Shutdown, never entered.
  CRITICAL_SECTION moduleLock;
};

/// Lock counting, the global interface table and the registration slots.
class CModuleBase : public ModuleBaseRecord {
 public:
  /// Runs Shutdown.
  virtual ~CModuleBase();
  // Defined here so that calls through the (final) module type inline to one
  // interlocked instruction: every client reference to a class factory steps
  // the lock count up and down again.
  virtual LONG IncrementLockCount() { return sys::InterlockedIncrement(&lockCount); }
  virtual LONG DecrementLockCount() { return sys::InterlockedDecrement(&lockCount); }
  virtual LONG GetLockCount();
  /// Hands out an added reference to the process global interface table, creating
  /// it on first use; a creation failure is answered as it came, nothing stored.
  virtual HRESULT GetGlobalInterfaceTable(IGlobalInterfaceTable** table);
  /// Defines "APPID" as an empty replacement.
  virtual HRESULT AddStandardReplacements(IScriptReplacements* replacements);
  /// Not supported: E_FAIL.
  virtual HRESULT UpdateRegistryAltByNumber(UINT resourceId, BOOL doRegister,
                                            const ScriptReplacement* replacements);
  /// Not supported: E_FAIL.
  virtual HRESULT UpdateRegistryAltByName(const char16_t* resourceName, BOOL doRegister,
                                          const ScriptReplacement* replacements);
  /// Runs a script stored as a "REGISTRY" resource, chosen by number.
  virtual HRESULT UpdateRegistryFromResourceNumber(UINT resourceId, BOOL doRegister,
                                                   const ScriptReplacement* replacements) = 0;
  /// Runs a script stored as a "REGISTRY" resource, chosen by name.
  virtual HRESULT UpdateRegistryFromResourceName(const char16_t* resourceName, BOOL doRegister,
                                                 const ScriptReplacement* replacements) = 0;

  /// Runs and frees the stop callbacks, releases the global interface table and
  /// deletes the module critical section; does nothing once the mark is zero.
  void Shutdown();

  /// Module objects are globals; this only keeps the global operator delete out.
  static void operator delete(void* block) { sys::MemFree(block); }

  CModuleBase(const CModuleBase&) = delete;
  CModuleBase& operator=(const CModuleBase&) = delete;

 protected:
  CModuleBase();

  IGlobalInterfaceTable* globalInterfaceTable_;
};

/// The one module object; set by the module object's constructor.
extern CServerModule* ActiveModule;

/// Publishes the derived module and owns its critical section's set-up.
template <class T>
class CModuleT : public CModuleBase {
 public:
  /// The module carries no "REGISTRY" resource, so there is never a script to run.
  HRESULT UpdateRegistryFromResourceNumber(UINT, BOOL, const ScriptReplacement*) override {
    return kNoRegistryResource;
  }
  HRESULT UpdateRegistryFromResourceName(const char16_t*, BOOL, const ScriptReplacement*) override {
    return kNoRegistryResource;
  }

  /// HRESULT of ERROR_RESOURCE_TYPE_NOT_FOUND.
  static constexpr HRESULT kNoRegistryResource = static_cast<HRESULT>(0x80070715);

 protected:
  CModuleT();
};

/// The class-object lock and the secondary class list.
class CComModuleState {
 public:
  /// Initialises the class-object lock; the validity mark stays zero if that fails.
  explicit CComModuleState(HINSTANCE typeLibraryModule);
  /// Releases the secondary rows' class objects and deletes the lock (if valid).
  ~CComModuleState();
  CComModuleState(const CComModuleState&) = delete;
  CComModuleState& operator=(const CComModuleState&) = delete;

  /// Non-zero while the class-object lock is initialised.
  DWORD validityMark;
  HINSTANCE typeLibraryModule;
  /// The secondary class list [begin, end); null elements are skipped.
  ClassTableEntry** secondaryBegin;
  ClassTableEntry** secondaryEnd;
  /// Held only while a cached class object is created.
  CRITICAL_SECTION classObjectLock;
};

class CServerModule final : public CModuleT<CServerModule> {
 public:
  /// Lookups use `record` for the class-object lock and the secondary list.
  explicit CServerModule(CComModuleState& record);
  ~CServerModule() override;

  /// Takes `classTable` (null allowed) and tells each row the module starts; a
  /// given type-library identifier is kept. Always S_OK.
  HRESULT Start(ClassTableEntry* classTable, HINSTANCE instance, const GUID* typeLibraryId);
  /// Releases the cached class objects, tells each row the module stops, then Shutdown.
  void Stop();

  /// Finds the row of `clsid`, creates its class object on first use and answers
  /// `riid` of it. E_POINTER for a null `object`; otherwise `*object` is null on
  /// every failure: CLASS_E_CLASSNOTAVAILABLE for an unknown class, E_UNEXPECTED
  /// when the class-object lock could not be initialised.
  HRESULT FindClassObject(REFCLSID clsid, REFIID riid, void** object);
  /// The same lookup in the secondary class list.
  HRESULT FindSecondaryClassObject(REFCLSID clsid, REFIID riid, void** object);

  ClassTableEntry* GetClassTable() const { return classTable_; }

 private:
  HRESULT ObtainClassObject(ClassTableEntry& row, REFIID riid, void** object);
  HRESULT CreateClassObjectOnce(ClassTableEntry& row, IUnknown** classObject);

  CComModuleState& record_;
  GUID typeLibraryId_;
  ClassTableEntry* classTable_;
};

// Instantiated once, in server_module.cpp.
extern template class CModuleT<CServerModule>;

/// This module's own instance handle (its load address).
extern const HINSTANCE ModuleInstance;
/// The class-object lock and secondary list of this module.
extern CComModuleState ComModuleRecord;
/// The module object of this module.
extern CServerModule ServerModule;
