// The class table: one row per served class, plus the fixed table of this module.
#pragma once

#include "platform/platform.h"

/// The identifier of `Stub`: zero until the package reads it from Style.rgs.
extern GUID CLSID_Stub;
/// The identifier of `StubText`: zero until the package reads it from StyleText.rgs.
extern GUID CLSID_StubText;

/// Builds an instance of a served class (outer object, interface, out pointer).
using InstanceCreator = HRESULT (*)(IUnknown* outer, REFIID riid, void** object);

/// Builds the class object of a row; it receives the row's instance creator and
/// must store an added-reference pointer and answer S_OK, or leave null and fail.
using ClassObjectCreator = HRESULT (*)(InstanceCreator createInstance, REFIID riid, void** object);

/// One row of a class table. A row whose `classId` is null ends the table.
struct ClassTableEntry {
  const GUID* classId;
  /// Registry-update hook (register flag); not used by the module's own flows.
  HRESULT (*updateRegistry)(BOOL doRegister);
  /// Null: lookups skip the row.
  ClassObjectCreator createClassObject;
  InstanceCreator createInstance;
  /// The cached class object: null until the first lookup, owned (one reference)
  /// until the module stops. Published atomically; see CServerModule.
  IUnknown* classObject;
  /// Class objects are never registered with the COM runtime, so this stays 0.
  DWORD registrationCookie;
  const char16_t* (*describeClass)();
  const CATID* (*listCategories)();
  /// Told true when the module starts and false when it stops.
  void (*classStartStop)(bool starting);
};

/// The module's classes in lookup order: `Stub`, `StubText`, terminator. The rows
/// point at the identifier globals, so lookups see the identifiers as last read.
extern ClassTableEntry ClassTable[3];
