// The module's exported entry points, declared for callers linked with them
// (the Linux test program; on Windows they are reached through the DLL).
#pragma once

#include "platform/platform.h"

extern "C" {
/// The load notification: binds the package on process attach (FALSE when that
/// fails, so the load fails) and stops the module on process detach.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved);
/// The class object of `clsid`, asked for `riid`.
HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** object);
/// S_OK when nothing holds the module loaded, else S_FALSE.
HRESULT STDMETHODCALLTYPE DllCanUnloadNow();
/// Registers the package: its classes' categories and both package scripts.
/// Answers the first failure (a missing or bad script, the interpreter's result).
HRESULT STDMETHODCALLTYPE DllRegisterServer();
/// Removes what the package scripts registered; categories stay.
HRESULT STDMETHODCALLTYPE DllUnregisterServer();
/// With the command line "user" (any letter case): registration (`install`
/// TRUE) or removal for the current user alone, under HKCU\Software\Classes
/// (`regsvr32 /n /i:user`, `regsvr32 /u /n /i:user`). Any other command line,
/// a null one included, answers E_INVALIDARG and changes nothing.
HRESULT STDMETHODCALLTYPE DllInstall(BOOL install, const OLECHAR* commandLine);
}
