#include "exports/exports.h"

#include "package/load_notification.h"
#include "server/server_module.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      return SUCCEEDED(AttachProcess(instance)) ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
      DetachProcess();
      return TRUE;
    default:
      return TRUE;
  }
}

HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
  return ServerModule.FindClassObject(clsid, riid, object);
}

HRESULT STDMETHODCALLTYPE DllCanUnloadNow() { return ServerModule.GetLockCount() != 0 ? S_FALSE : S_OK; }
