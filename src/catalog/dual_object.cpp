#include "dual_object.h"

#include <string>

namespace catalog {

HRESULT ReturnText(const std::wstring& text, BSTR* out) {
  if (!out) return E_POINTER;
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT Fail(HRESULT result, REFIID iid, const std::wstring& description) {
  CInterfacePtr<ICreateErrorInfo> create;
  if (FAILED(CreateErrorInfo(create.Put()))) return result;
  create->SetGUID(iid);
  create->SetSource(const_cast<LPOLESTR>(L"Stub.PackageCatalog"));
  create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
  CInterfacePtr<IErrorInfo> info;
  if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(info.Put())))) {
    SetErrorInfo(0, info.Get());
  }
  return result;
}

HRESULT NullResult(REFIID iid, const wchar_t* member) {
  return Fail(E_POINTER, iid,
              std::wstring(member) +
                  L" was given a null pointer for its result: pass the address "
                  L"of a variable to receive it.");
}

HRESULT ReportFailure(HRESULT hr, EXCEPINFO* exception) {
  if (SUCCEEDED(hr) || hr == DISP_E_EXCEPTION || !exception) return hr;
  CInterfacePtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Put()) != S_OK || !info) return hr;
  *exception = EXCEPINFO{};
  info->GetSource(&exception->bstrSource);
  info->GetDescription(&exception->bstrDescription);
  info->GetHelpFile(&exception->bstrHelpFile);
  exception->scode = hr;
  return DISP_E_EXCEPTION;
}

}  // namespace catalog
