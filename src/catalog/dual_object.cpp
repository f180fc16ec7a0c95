#include "dual_object.h"

#include <string>

namespace catalog {

HRESULT ReturnText(const std::wstring& text, BSTR* out) {
  if (!out) return E_POINTER;
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT Fail(HRESULT result, REFIID iid, const std::wstring& description) {
  ICreateErrorInfo* create = nullptr;
  if (FAILED(CreateErrorInfo(&create))) return result;
  create->SetGUID(iid);
  create->SetSource(const_cast<LPOLESTR>(L"Stub.PackageCatalog"));
  create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
  IErrorInfo* info = nullptr;
  if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
    SetErrorInfo(0, info);
    info->Release();
  }
  create->Release();
  return result;
}

HRESULT NullResult(REFIID iid, const wchar_t* member) {
  return Fail(E_POINTER, iid,
              std::wstring(member) + L" was given a null pointer for its result: pass the address "
                                     L"of a variable to receive it.");
}

HRESULT ReportFailure(HRESULT hr, EXCEPINFO* exception) {
  if (SUCCEEDED(hr) || hr == DISP_E_EXCEPTION || !exception) return hr;
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || !info) return hr;
  *exception = EXCEPINFO{};
  info->GetSource(&exception->bstrSource);
  info->GetDescription(&exception->bstrDescription);
  info->GetHelpFile(&exception->bstrHelpFile);
  exception->scode = hr;
  info->Release();
  return DISP_E_EXCEPTION;
}

}  // namespace catalog
