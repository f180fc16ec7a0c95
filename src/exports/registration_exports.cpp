// The registration exports, called by installers and regsvr32.
#include "exports/exports.h"

#include "package/self_registration.h"

HRESULT STDMETHODCALLTYPE DllRegisterServer() { return RegisterServer(); }

HRESULT STDMETHODCALLTYPE DllUnregisterServer() { return UnregisterServer(); }

HRESULT STDMETHODCALLTYPE DllInstall(BOOL install, const OLECHAR* commandLine) {
  return InstallServer(install, sys::CallerText(commandLine));
}
