// StubHost.dll's module: its handle, the count of what keeps it loaded, and
// the type information its dual objects answer IDispatch from.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <string>

namespace catalog {

/// This DLL's handle, set when it is loaded.
HMODULE ModuleHandle();

/// This DLL's full file name ("" when it cannot be had).
std::wstring ModulePath();

/// Live objects and server locks: while any is there, DllCanUnloadNow
/// answers S_FALSE.
void LockModule();
void UnlockModule();

/// The type information of `iid` from the type library in this DLL's
/// resources, loaded once. Borrowed: valid while the module is loaded and
/// objects live.
HRESULT TypeInfoOf(REFIID iid, ITypeInfo** info);

/// Creates the catalog object and asks it for `iid`.
HRESULT CreateCatalog(REFIID iid, void** object);

}  // namespace catalog
