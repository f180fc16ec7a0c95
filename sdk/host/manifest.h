// Inside the host library: reading a package's assembly manifest and making
// activation contexts of it, for packages kept in an application's folder
// without registration.
#ifndef STUB_SDK_HOST_MANIFEST_H
#define STUB_SDK_HOST_MANIFEST_H

#include <windows.h>

#include <string>
#include <vector>

#include "owners.h"

namespace stub {
namespace host {
namespace detail {

// One comClass element of a manifest, with the name of the file element it
// stands in (empty for one outside any file element).
struct ManifestClass {
  std::wstring file;
  std::wstring clsid;
  std::wstring progId;                    // the progid attribute
  std::wstring versionIndependentProgId;  // the first progid child element
  std::wstring threadingModel;
  std::wstring description;
};

// Reads a manifest (UTF-8, with or without a byte order mark, or UTF-16
// with one) through the bounded screen (manifest_screen.h) and its comClass
// entries. Answers S_OK; HRESULT_FROM_WIN32 of the error when the file
// cannot be read (ERROR_DIRECTORY_NOT_SUPPORTED for a folder,
// ERROR_BAD_FILE_TYPE for a pipe or a device); or, for a manifest the screen
// refuses, HRESULT_FROM_WIN32 of an ERROR_SXS_ code, with the entries read
// before the refusal. A manifest it takes may still be refused by the
// system's activation-context code, which is never handed one it refuses.
HRESULT ReadManifest(const std::wstring& path, std::vector<ManifestClass>& classes);

// The comClass entries ReadManifest finds, whether or not the screen refuses
// the manifest; false when the file cannot be read.
bool ReadManifestClasses(const std::wstring& path, std::vector<ManifestClass>& classes);

// One activation context of a package's manifest, owned here.
class ActivationContext {
 public:
  // Makes the context of an assembly manifest whose files lie in `directory`.
  // Answers S_OK, or HRESULT_FROM_WIN32 of the system's error.
  HRESULT Create(const std::wstring& manifestPath, const std::wstring& directory);
  // Makes the context of the manifest `module` carries as its resource 1
  // (a program's own).
  HRESULT CreateFromResource(const std::wstring& module, const std::wstring& directory);
  // Whether this context itself (not the process's default one behind it)
  // serves an in-process class of this identifier.
  bool ServesClass(const CLSID& clsid) const;
  // The context, or INVALID_HANDLE_VALUE where none was made.
  HANDLE get() const { return context_.Get(); }

 private:
  UniqueActivationContext context_;
};

// Keeps an activation context active on the calling thread for its lifetime.
class ActiveContext {
 public:
  explicit ActiveContext(HANDLE context) {
    if (context != INVALID_HANDLE_VALUE && context != nullptr && ActivateActCtx(context, &cookie_)) {
      active_ = true;
    }
  }
  ~ActiveContext() {
    if (active_) DeactivateActCtx(0, cookie_);
  }
  ActiveContext(const ActiveContext&) = delete;
  ActiveContext& operator=(const ActiveContext&) = delete;
  bool active() const { return active_; }

 private:
  ULONG_PTR cookie_ = 0;
  bool active_ = false;
};

}  // namespace detail
}  // namespace host
}  // namespace stub

#endif  // STUB_SDK_HOST_MANIFEST_H
