// The catalog object, StubPackageCatalog: lists the packages through the
// host library and hands them out as list objects.
#include <string>
#include <vector>

#include "catalog_module.h"
#include "dual_object.h"
#include "package_objects.h"
#include "state_text.h"

namespace catalog {
namespace {

class CatalogObject final
    : public DualObject<IStubPackageCatalog2, &IID_IStubPackageCatalog2, &IID_IStubPackageCatalog> {
 public:
  HRESULT STDMETHODCALLTYPE get_ProbeFirst(VARIANT_BOOL* probeFirst) override {
    if (!probeFirst) return NullResult(IID_IStubPackageCatalog2, L"ProbeFirst");
    *probeFirst = stub::host::GetOptions().probeFirst ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  // The library's options are the process's: every catalog object of the
  // process shares them.
  HRESULT STDMETHODCALLTYPE put_ProbeFirst(VARIANT_BOOL probeFirst) override {
    return Guarded([&] {
      stub::host::Options options = stub::host::GetOptions();
      options.probeFirst = probeFirst != VARIANT_FALSE;
      stub::host::SetOptions(options);
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE get_ProbesStarted(LONG* count) override {
    if (!count) return NullResult(IID_IStubPackageCatalog2, L"ProbesStarted");
    *count = stub::host::ProbesStarted();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ForgetVerdicts() override {
    const HRESULT hr = stub::host::ForgetVerdicts();
    if (FAILED(hr)) {
      return Fail(
          hr, IID_IStubPackageCatalog2,
          L"The remembered verdicts could not be forgotten; the registry answered " + ResultText(hr) + L".");
    }
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE FindRegistered(IStubPackageList** packages) override {
    if (!packages) return NullResult(IID_IStubPackageCatalog, L"FindRegistered");
    *packages = nullptr;
    return Guarded([&] {
      std::vector<stub::host::Package> found;
      const HRESULT hr = stub::host::FindRegisteredPackages(found);
      if (FAILED(hr)) {
        return Fail(hr, IID_IStubPackageCatalog,
                    L"The component categories cannot be read, so no package was listed; "
                    L"the registry answered " +
                        ResultText(hr) + L".");
      }
      return NewPackageList(found, packages);
    });
  }

  HRESULT STDMETHODCALLTYPE FindInFolder(BSTR folder, IStubPackageList** packages) override {
    if (!packages) return NullResult(IID_IStubPackageCatalog, L"FindInFolder");
    *packages = nullptr;
    if (!folder || !*folder) {
      return Fail(E_INVALIDARG, IID_IStubPackageCatalog, L"FindInFolder needs a folder's path.");
    }
    return Guarded([&] {
      std::vector<stub::host::Package> found;
      const std::wstring path(folder, SysStringLen(folder));
      // Every file call would read the path only up to its first null
      // character, and so list some other folder than the one named.
      const size_t null = path.find(L'\0');
      if (null != std::wstring::npos) {
        return Fail(E_INVALIDARG, IID_IStubPackageCatalog,
                    L"FindInFolder was given a path with a null character in it (after " +
                        ShortPath(path.substr(0, null)) +
                        L"), which names no folder: pass the folder's path alone.");
      }
      const HRESULT hr = stub::host::FindFolderPackages(path, found);
      if (hr == HRESULT_FROM_WIN32(ERROR_DIRECTORY)) {
        return Fail(hr, IID_IStubPackageCatalog,
                    L"FindInFolder was given " + ShortPath(path) +
                        L", which is a file, not a folder: name the folder the packages are kept in.");
      }
      if (FAILED(hr)) {
        return Fail(hr, IID_IStubPackageCatalog,
                    L"The folder " + ShortPath(path) + L" cannot be listed (" + ResultText(hr) +
                        L"): name a folder that is there and readable.");
      }
      return NewPackageList(found, packages);
    });
  }

 private:
  static std::wstring ResultText(HRESULT hr) {
    wchar_t text[16];
    wsprintfW(text, L"0x%08lX", static_cast<unsigned long>(hr));
    return text;
  }
};

}  // namespace

HRESULT CreateCatalog(REFIID iid, void** object) {
  return Guarded([&] {
    const CInterfacePtr<CatalogObject> created(new CatalogObject());
    return created->QueryInterface(iid, object);
  });
}

}  // namespace catalog
