#include "package/load_notification.h"

#include "package/class_identity.h"
#include "package/message_captions.h"
#include "package/module_path.h"
#include "server/server_module.h"

HRESULT AttachProcess(HINSTANCE instance) {
  char16_t longPath[kModulePathCapacity];
  char16_t directory[kModulePathCapacity];
  GetModuleLongPath(instance, longPath);
  if (!GetPackageDirectory(longPath, directory)) {
    // No package folder can be named from this file name, so no script can be found.
    sys::MessageBoxW(nullptr, longPath, kMissingScriptCaption, MB_OK);
    return E_INVALIDARG;
  }
  HRESULT result = ReadPackageClassIds(directory);
  if (FAILED(result)) return result;
  ActiveModule->Start(ClassTable, instance, nullptr);
  sys::DisableThreadLibraryCalls(instance);
  return S_OK;
}

void DetachProcess() { ActiveModule->Stop(); }
