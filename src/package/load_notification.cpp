#include "package/load_notification.h"

#include "package/class_identity.h"
#include "package/module_path.h"
#include "server/server_module.h"

HRESULT AttachProcess(HINSTANCE instance) {
  char16_t longPath[kModulePathCapacity];
  char16_t directory[kModulePathCapacity];
  HRESULT result = LocatePackage(instance, longPath, directory);
  if (FAILED(result)) return result;
  // The class table's rows now hold the identifiers read from the package.
  ActiveModule->Start(ClassTable, instance, nullptr);
  sys::DisableThreadLibraryCalls(instance);
  return S_OK;
}

void DetachProcess() { ActiveModule->Stop(); }
