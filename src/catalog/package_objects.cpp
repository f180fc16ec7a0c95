#include "package_objects.h"

#include <string>
#include <utility>

#include "dual_object.h"
#include "item_list.h"
#include "lock_holds.h"
#include "platform/unique_resource.h"
#include "state_text.h"

namespace catalog {
namespace {

using stub::host::Class;
using stub::host::ClassKind;
using stub::host::Package;
using stub::host::State;

using ClassList = ListObject<IStubClassList, &IID_IStubClassList, IStubClass>;
using PackageList = ListObject<IStubPackageList, &IID_IStubPackageList, IStubPackage>;

// The version-independent ProgID the registration gives a class, or "".
std::wstring RegisteredIndependentProgId(const CLSID& clsid) {
  const std::wstring key = L"CLSID\\" + GuidText(clsid) + L"\\VersionIndependentProgID";
  wchar_t value[256];
  DWORD size = sizeof value;
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &size) !=
      ERROR_SUCCESS) {
    return std::wstring();
  }
  return value;
}

// ---- A package ----------------------------------------------------------------------

class PackageObject;

// One class of a package: reads what the package holds now, so that its
// state follows the package's creations.
class ClassObject final : public DualObject<IStubClass, &IID_IStubClass> {
 public:
  ClassObject(PackageObject* package, size_t index);
  ~ClassObject();

  HRESULT STDMETHODCALLTYPE get_ClassId(BSTR* text) override;
  HRESULT STDMETHODCALLTYPE get_ProgId(BSTR* text) override;
  HRESULT STDMETHODCALLTYPE get_VersionIndependentProgId(BSTR* text) override;
  HRESULT STDMETHODCALLTYPE get_State(BSTR* text) override;
  HRESULT STDMETHODCALLTYPE get_Detail(BSTR* text) override;
  HRESULT STDMETHODCALLTYPE get_Kind(BSTR* text) override;

 private:
  template <class Read>
  HRESULT Answer(BSTR* text, Read read);

  const CInterfacePtr<PackageObject> package_;  // one reference, for the class's life
  size_t index_;
};

class PackageObject final : public DualObject<IStubPackage2, &IID_IStubPackage2, &IID_IStubPackage> {
 public:
  explicit PackageObject(Package package) : package_(std::move(package)) {}

  HRESULT STDMETHODCALLTYPE get_Name(BSTR* text) override {
    return Read(text, [](const Package& package) { return NameOf(package); });
  }
  HRESULT STDMETHODCALLTYPE get_ModulePath(BSTR* text) override {
    return Read(text, [](const Package& package) { return package.modulePath; });
  }
  HRESULT STDMETHODCALLTYPE get_Origin(BSTR* text) override {
    return Read(text, [](const Package& package) {
      return std::wstring(package.origin == stub::host::Origin::Folder ? L"folder" : L"registry");
    });
  }
  HRESULT STDMETHODCALLTYPE get_State(BSTR* text) override {
    return Read(text, [](const Package& package) { return StateWord(package.state()); });
  }
  HRESULT STDMETHODCALLTYPE get_Detail(BSTR* text) override {
    return Read(text, [](const Package& package) { return PackageDetail(package); });
  }
  HRESULT STDMETHODCALLTYPE get_Classes(IStubClassList** classes) override;
  HRESULT STDMETHODCALLTYPE CreateStyle(IDispatch** object) override {
    return Create(ClassKind::Style, object);
  }
  HRESULT STDMETHODCALLTYPE CreateStyleText(IDispatch** object) override {
    return Create(ClassKind::Text, object);
  }
  HRESULT STDMETHODCALLTYPE Try(LONG timeLimit, VARIANT_BOOL* worked) override;
  HRESULT STDMETHODCALLTYPE Forget() override;
  HRESULT STDMETHODCALLTYPE get_Remembered(VARIANT_BOOL* remembered) override;

  // What a class object reads, under the package's lock.
  template <class Reader>
  std::wstring ReadClass(size_t index, Reader read) {
    SharedHold hold(&lock_);
    return read(package_.classes[index], package_.origin);
  }

 private:
  static std::wstring NameOf(const Package& package);
  template <class Reader>
  HRESULT Read(BSTR* text, Reader read) {
    if (!text) return NullResult(IID_IStubPackage, L"An IStubPackage property");
    *text = nullptr;
    return Guarded([&] {
      SharedHold hold(&lock_);
      return ReturnText(read(package_), text);
    });
  }
  HRESULT Create(ClassKind kind, IDispatch** object);
  HRESULT CreateLoaded(ClassKind kind, IUnknown** created);
  HRESULT Refuse(HRESULT result, const wchar_t* doing);

  // The package as the last check or creation left it. Creations work on a
  // copy, outside the lock, so that reading the package never waits on an
  // engine.
  SRWLOCK lock_ = SRWLOCK_INIT;
  Package package_;
};

ClassObject::ClassObject(PackageObject* package, size_t index) : package_(package), index_(index) {
  package_->AddRef();
}
ClassObject::~ClassObject() = default;

template <class Read>
HRESULT ClassObject::Answer(BSTR* text, Read read) {
  if (!text) return NullResult(IID_IStubClass, L"An IStubClass property");
  *text = nullptr;
  return Guarded([&] { return ReturnText(package_->ReadClass(index_, read), text); });
}

using stub::host::Origin;

HRESULT ClassObject::get_ClassId(BSTR* text) {
  return Answer(text, [](const Class& entry, Origin) { return GuidText(entry.clsid); });
}
HRESULT ClassObject::get_ProgId(BSTR* text) {
  return Answer(text, [](const Class& entry, Origin) { return entry.progId; });
}
// A registered class's is read when asked, so that listing stays as fast as
// the library's; a folder package's comes from its manifest (the progid
// element of its comClass).
HRESULT ClassObject::get_VersionIndependentProgId(BSTR* text) {
  return Answer(text, [](const Class& entry, Origin origin) {
    return origin == Origin::Registry ? RegisteredIndependentProgId(entry.clsid)
                                      : entry.versionIndependentProgId;
  });
}
HRESULT ClassObject::get_State(BSTR* text) {
  return Answer(text, [](const Class& entry, Origin) { return StateWord(entry.state); });
}
HRESULT ClassObject::get_Detail(BSTR* text) {
  return Answer(text, [](const Class& entry, Origin) { return stub::host::StateDetail(entry); });
}
HRESULT ClassObject::get_Kind(BSTR* text) {
  return Answer(text, [](const Class& entry, Origin) {
    return std::wstring(entry.kind == ClassKind::Style ? L"style" : L"text");
  });
}

std::wstring PackageObject::NameOf(const Package& package) {
  if (package.modulePath.empty()) {
    // A class without a server: it has only its description to go by.
    return package.classes.empty() ? std::wstring() : package.classes.front().description;
  }
  // The name of the folder the module looks for beside itself, derived from
  // the path it knows itself by (Aurora.dll: Aurora); the file's own name
  // where too little of it is left for a folder.
  const auto last = [](const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return path.substr(slash == std::wstring::npos ? 0 : slash + 1);
  };
  const std::wstring name = last(package.folder);
  return name.empty() ? last(package.modulePath) : name;
}

HRESULT PackageObject::get_Classes(IStubClassList** classes) {
  if (!classes) return NullResult(IID_IStubPackage, L"Classes");
  *classes = nullptr;
  return Guarded([&] {
    size_t count;
    {
      SharedHold hold(&lock_);
      count = package_.classes.size();
    }
    std::vector<CInterfacePtr<IStubClass>> items;
    items.reserve(count);
    for (size_t i = 0; i < count; ++i) items.emplace_back(new ClassObject(this, i));
    ClassList* list = new ClassList();
    list->Adopt(std::move(items));
    *classes = list;
    return S_OK;
  });
}

// Answers `result` with an error whose text names the package, its state,
// the fact behind it and what to do.
HRESULT PackageObject::Refuse(HRESULT result, const wchar_t* doing) {
  std::wstring text;
  {
    SharedHold hold(&lock_);
    const State state = package_.state();
    const std::wstring detail = PackageDetail(package_);
    text = L"Package " + ShortPath(NameOf(package_)) + L" was not " + doing + L": it is " + StateWord(state);
    // The detail is a path, or begins with one: shortened as every path in an error text is.
    if (!detail.empty()) text += L" (" + ShortPath(detail) + L")";
    const std::wstring remedy = PackageRemedy(package_);
    text += remedy.empty() ? std::wstring(L".") : L"; " + remedy;
  }
  return Fail(result, IID_IStubPackage, text);
}

HRESULT PackageObject::CreateLoaded(ClassKind kind, IUnknown** created) {
  Package copy;
  {
    SharedHold hold(&lock_);
    copy = package_;
  }
  const HRESULT hr = stub::host::CreateClass(copy, kind, IID_IUnknown, reinterpret_cast<void**>(created));
  ExclusiveHold hold(&lock_);
  package_ = std::move(copy);
  return hr;
}

HRESULT PackageObject::Create(ClassKind kind, IDispatch** object) {
  if (!object) {
    return NullResult(IID_IStubPackage, kind == ClassKind::Style ? L"CreateStyle" : L"CreateStyleText");
  }
  *object = nullptr;
  CInterfacePtr<IUnknown> created;
  HRESULT hr = Guarded([&] { return CreateLoaded(kind, created.Put()); });
  if (FAILED(hr)) {
    return hr == E_OUTOFMEMORY ? hr : Refuse(hr, L"created");
  }
  hr = created->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(object));
  if (FAILED(hr)) {
    return Fail(hr, IID_IStubPackage,
                L"The engine object was created but has no IDispatch: use its own interfaces "
                L"from C or C++ (stub_engine.h).");
  }
  return S_OK;
}

HRESULT PackageObject::Try(LONG timeLimit, VARIANT_BOOL* worked) {
  if (!worked) return NullResult(IID_IStubPackage, L"Try");
  *worked = VARIANT_FALSE;
  // 0 and -1 both mean no limit, as the sample host's 0 does; any other
  // negative number is no limit anyone means.
  if (timeLimit < -1) {
    return Fail(E_INVALIDARG, IID_IStubPackage,
                L"Try was given the time limit " + std::to_wstring(timeLimit) +
                    L": give milliseconds, or 0 or -1 for no limit.");
  }
  const DWORD limit = timeLimit <= 0 ? INFINITE : static_cast<DWORD>(timeLimit);
  const HRESULT hr = Guarded([&] {
    Package copy;
    {
      SharedHold hold(&lock_);
      copy = package_;
    }
    const HRESULT tried = stub::host::TryPackage(copy, limit);
    ExclusiveHold hold(&lock_);
    package_ = std::move(copy);
    return tried;
  });
  // A package that did not pass its checks is an answer, not a failure:
  // False, with the state saying why.
  if (hr == STUBHOST_E_NOT_READY || hr == S_FALSE) return S_OK;
  if (FAILED(hr)) return Refuse(hr, L"tried");
  *worked = VARIANT_TRUE;
  return S_OK;
}

HRESULT PackageObject::Forget() {
  const HRESULT hr = Guarded([&] {
    SharedHold hold(&lock_);
    return stub::host::ForgetVerdict(package_);
  });
  return FAILED(hr) ? Refuse(hr, L"forgotten") : S_OK;
}

HRESULT PackageObject::get_Remembered(VARIANT_BOOL* remembered) {
  if (!remembered) return NullResult(IID_IStubPackage2, L"Remembered");
  SharedHold hold(&lock_);
  bool any = false;
  for (const Class* entry : {package_.style(), package_.text()}) any = any || (entry && entry->remembered);
  *remembered = any ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

}  // namespace

HRESULT NewPackageList(std::vector<Package>& packages, IStubPackageList** list) {
  if (!list) return E_POINTER;
  *list = nullptr;
  return Guarded([&] {
    std::vector<CInterfacePtr<IStubPackage>> items;
    items.reserve(packages.size());
    for (Package& package : packages) items.emplace_back(new PackageObject(std::move(package)));
    PackageList* made = new PackageList();
    made->Adopt(std::move(items));
    *list = made;
    return S_OK;
  });
}

}  // namespace catalog
