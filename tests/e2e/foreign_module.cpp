// foreign_module.dll: a DLL that is no package module but sits in the
// categories with a package's exports and folder, as any DLL may; it crashes
// on a null write as it is loaded. Hosts must survive trying it.
#include <windows.h>

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*) {
  if (reason == DLL_PROCESS_ATTACH) *static_cast<volatile int*>(nullptr) = 1;
  return TRUE;
}

HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID, REFIID, void** object) {
  if (object) *object = nullptr;
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT STDMETHODCALLTYPE DllCanUnloadNow() { return S_OK; }

}  // extern "C"
