// The common part of the catalog's dual objects: IUnknown (unknown_object.h),
// IDispatch answered from the type library, and ISupportErrorInfo for its
// one interface.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <new>

#include "catalog_module.h"
#include "unknown_object.h"

namespace catalog {

/// Runs `body` and turns an exception of the standard library (memory
/// running out in a container) into its HRESULT: no exception leaves a COM
/// method.
template <class Body>
HRESULT Guarded(Body body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

/// A new BSTR of `text` in `*out`; E_POINTER or E_OUTOFMEMORY.
HRESULT ReturnText(const std::wstring& text, BSTR* out);

/// Sets the calling thread's error object (source, interface, description)
/// and answers `result`, for a method to return.
HRESULT Fail(HRESULT result, REFIID iid, const std::wstring& description);

/// E_POINTER, with an error object saying that `member` of the interface
/// `iid` was given a null pointer where its result goes.
HRESULT NullResult(REFIID iid, const wchar_t* member);

/// After a late-bound call: a method's failure with an error object becomes
/// DISP_E_EXCEPTION with the error's text in `exception`, as script hosts
/// and .NET read it (where the system's Invoke has not done so already).
HRESULT ReportFailure(HRESULT hr, EXCEPINFO* exception);

/// A dual object serving `Interface` (whose identifier is `*kIid`), and the
/// published interface it extends where there is one (`*kBaseIid`). Created
/// with one reference, owned by its creator.
template <class Interface, const IID* kIid, const IID* kBaseIid = nullptr>
class DualObject : public UnknownObject<HeapReferences, Interface, ISupportErrorInfo> {
 public:
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
    return Serves(riid) ? S_OK : S_FALSE;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    const HRESULT hr = TypeInfoOf(*kIid, info);
    if (SUCCEEDED(hr)) (*info)->AddRef();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* info = nullptr;
    const HRESULT hr = TypeInfoOf(*kIid, &info);
    return FAILED(hr) ? hr : DispGetIDsOfNames(info, names, count, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* argumentError) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* info = nullptr;
    HRESULT hr = TypeInfoOf(*kIid, &info);
    if (FAILED(hr)) return hr;
    // Wine's JScript Enumerator asks for the enumerator as a method
    // (DISPATCH_METHOD alone); it is a property, so let either reach it.
    if (member == DISPID_NEWENUM && (flags & DISPATCH_METHOD)) flags |= DISPATCH_PROPERTYGET;
    // The default member (a list's Item) is a method, and .NET indexers and
    // PowerShell fetch it as a property (DISPATCH_PROPERTYGET alone): let
    // either reach it too.
    if (member == DISPID_VALUE && (flags & DISPATCH_PROPERTYGET)) flags |= DISPATCH_METHOD;
    SetErrorInfo(0, nullptr);
    hr = DispInvoke(static_cast<Interface*>(this), info, member, flags, params, result, exception,
                    argumentError);
    return ReportFailure(hr, exception);
  }

 protected:
  void* Find(REFIID riid) override {
    if (IsEqualIID(riid, IID_IDispatch) || Serves(riid)) return static_cast<Interface*>(this);
    if (IsEqualIID(riid, IID_ISupportErrorInfo)) return static_cast<ISupportErrorInfo*>(this);
    return nullptr;
  }

 private:
  static bool Serves(REFIID riid) {
    return IsEqualIID(riid, *kIid) || (kBaseIid && IsEqualIID(riid, *kBaseIid));
  }
};

}  // namespace catalog
