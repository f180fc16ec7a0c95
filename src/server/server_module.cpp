#include "server/server_module.h"

#include <cstring>

#include "platform/unique_resource.h"
#include "registrar/registrar.h"
#include "server/critical_section.h"
#include "server/guids.h"

CServerModule* ActiveModule = nullptr;

namespace {

// The secondary class list is empty in this module: begin and end both point here.
ClassTableEntry* kNoSecondaryClasses[1] = {nullptr};

// A row's cached class object is read without the class-object lock by every
// lookup and written once under it, so the pointer is published with release
// semantics and read with acquire semantics: a thread that sees the pointer also
// sees the finished object behind it.
IUnknown* LoadClassObject(ClassTableEntry& row) { return sys::ReadPointerAcquire(&row.classObject); }
void PublishClassObject(ClassTableEntry& row, IUnknown* object) {
  sys::WritePointerRelease(&row.classObject, object);
}

}  // namespace

// ---- CModuleBase ------------------------------------------------------------------------

CModuleBase::CModuleBase() {
  std::memset(&moduleLock, 0, sizeof(moduleLock));
  validityMark = 0;
  lockCount = 0;
  stopCallbacks = nullptr;
  globalInterfaceTable_ = nullptr;
}

CModuleBase::~CModuleBase() { Shutdown(); }

LONG CModuleBase::GetLockCount() { return sys::InterlockedRead(&lockCount); }

HRESULT CModuleBase::GetGlobalInterfaceTable(IGlobalInterfaceTable** table) {
  if (!table) return E_POINTER;
  *table = nullptr;
  HRESULT result = S_OK;
  IGlobalInterfaceTable* held = sys::ReadPointerAcquire(&globalInterfaceTable_);
  if (!held) {
    IGlobalInterfaceTable* created = nullptr;
    result = sys::CoCreateInstance(kStdGlobalInterfaceTableClassId, nullptr, CLSCTX_INPROC_SERVER,
                                   kGlobalInterfaceTableInterfaceId, reinterpret_cast<void**>(&created));
    if (FAILED(result)) return result;
    // Two first callers may race; the loser gives its table back, so the module
    // holds exactly one reference.
    held = sys::CompareExchangePointer<IGlobalInterfaceTable>(&globalInterfaceTable_, created, nullptr);
    if (held) {
      ResetInterface(created);
    } else {
      held = created;
    }
  }
  held->AddRef();
  *table = held;
  return result;
}

HRESULT CModuleBase::AddStandardReplacements(IScriptReplacements* replacements) {
  return replacements->DefineReplacement(u"APPID", u"");
}

HRESULT CModuleBase::UpdateRegistryAltByNumber(UINT, BOOL, const ScriptReplacement*) { return E_FAIL; }

HRESULT CModuleBase::UpdateRegistryAltByName(const char16_t*, BOOL, const ScriptReplacement*) {
  return E_FAIL;
}

void CModuleBase::Shutdown() {
  if (validityMark == 0) return;
  for (StopCallback* node = stopCallbacks; node;) {
    const CHeapMemory<StopCallback> done(node);  // freed once its successor is known
    node->function(node->data);
    node = node->next;
  }
  stopCallbacks = nullptr;
  ResetInterface(globalInterfaceTable_);
  sys::DeleteCriticalSection(&moduleLock);
  validityMark = 0;
}

// ---- CModuleT ---------------------------------------------------------------------------

template <class T>
CModuleT<T>::CModuleT() {
  ActiveModule = static_cast<T*>(this);
  if (SUCCEEDED(InitializeLock(&moduleLock))) validityMark = 1;
}

template class CModuleT<CServerModule>;

// ---- CComModuleState ---------------------------------------------------------------------

CComModuleState::CComModuleState(HINSTANCE typeLibraryModule)
    : validityMark(0),
      typeLibraryModule(typeLibraryModule),
      secondaryBegin(kNoSecondaryClasses),
      secondaryEnd(kNoSecondaryClasses) {
  std::memset(&classObjectLock, 0, sizeof(classObjectLock));
  if (SUCCEEDED(InitializeLock(&classObjectLock))) validityMark = 1;
}

CComModuleState::~CComModuleState() {
  if (validityMark == 0) return;
  for (ClassTableEntry** entry = secondaryBegin; entry != secondaryEnd; ++entry) {
    if (*entry) ResetInterface((*entry)->classObject);
  }
  sys::DeleteCriticalSection(&classObjectLock);
  validityMark = 0;
}

// ---- CServerModule ----------------------------------------------------------------------

CServerModule::CServerModule(CComModuleState& record)
    : record_(record), typeLibraryId_(), classTable_(nullptr) {}

CServerModule::~CServerModule() = default;

HRESULT CServerModule::Start(ClassTableEntry* classTable, HINSTANCE, const GUID* typeLibraryId) {
  if (typeLibraryId) typeLibraryId_ = *typeLibraryId;
  classTable_ = classTable;
  if (classTable_) {
    for (ClassTableEntry* row = classTable_; row->classId; ++row) {
      if (row->classStartStop) row->classStartStop(true);
    }
  }
  for (ClassTableEntry** entry = record_.secondaryBegin; entry != record_.secondaryEnd; ++entry) {
    if (*entry && (*entry)->classStartStop) (*entry)->classStartStop(true);
  }
  return S_OK;
}

void CServerModule::Stop() {
  if (classTable_) {
    for (ClassTableEntry* row = classTable_; row->classId; ++row) {
      ResetInterface(row->classObject);
      if (row->classStartStop) row->classStartStop(false);
    }
  }
  for (ClassTableEntry** entry = record_.secondaryBegin; entry != record_.secondaryEnd; ++entry) {
    if (*entry && (*entry)->classStartStop) (*entry)->classStartStop(false);
  }
  Shutdown();
}

// The class object of a matching row: created once under the class-object lock
// (checked before and after taking it), then asked for `riid`. `*object` is null.
// Kept small so that it inlines into the lookup: once the object is cached, a
// lookup is one load and the object's QueryInterface.
inline HRESULT CServerModule::ObtainClassObject(ClassTableEntry& row, REFIID riid, void** object) {
  HRESULT result = S_OK;
  IUnknown* classObject = LoadClassObject(row);
  if (!classObject) result = CreateClassObjectOnce(row, &classObject);
  if (classObject) result = classObject->QueryInterface(riid, object);
  return result;
}

// The first lookup's path: `*classObject` is the row's object afterwards (null
// when the creator failed), and the answer is the creator's result.
HRESULT CServerModule::CreateClassObjectOnce(ClassTableEntry& row, IUnknown** classObject) {
  // A lock that could not be initialised must never be entered.
  if (record_.validityMark == 0) return E_UNEXPECTED;
  HRESULT result = S_OK;
  sys::EnterCriticalSection(&record_.classObjectLock);
  *classObject = LoadClassObject(row);
  if (!*classObject) {
    result = row.createClassObject(row.createInstance, IID_IUnknown, reinterpret_cast<void**>(classObject));
    PublishClassObject(row, *classObject);
  }
  sys::LeaveCriticalSection(&record_.classObjectLock);
  return result;
}

HRESULT CServerModule::FindClassObject(REFCLSID clsid, REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  HRESULT result = S_OK;
  if (classTable_) {
    for (ClassTableEntry* row = classTable_; row->classId; ++row) {
      if (row->createClassObject && SameGuid(*row->classId, clsid)) {
        result = ObtainClassObject(*row, riid, object);
        break;
      }
    }
  }
  if (*object == nullptr && result == S_OK) return FindSecondaryClassObject(clsid, riid, object);
  return result;
}

HRESULT CServerModule::FindSecondaryClassObject(REFCLSID clsid, REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (record_.validityMark == 0) return E_UNEXPECTED;
  HRESULT result = S_OK;
  for (ClassTableEntry** entry = record_.secondaryBegin; entry != record_.secondaryEnd; ++entry) {
    ClassTableEntry* row = *entry;
    if (row && row->createClassObject && SameGuid(*row->classId, clsid)) {
      result = ObtainClassObject(*row, riid, object);
      break;
    }
  }
  if (*object == nullptr && result == S_OK) return CLASS_E_CLASSNOTAVAILABLE;
  return result;
}

// ---- The module's globals ---------------------------------------------------------------
// Defined together so that they are constructed in this order and destroyed in the
// reverse order: the instance handle, the class-object record, the module object.

const HINSTANCE ModuleInstance = sys::ThisModule();
CComModuleState ComModuleRecord(ModuleInstance);
CServerModule ServerModule(ComModuleRecord);
