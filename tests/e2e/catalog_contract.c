/* What the package catalog promises callers that are neither scripts nor
 * the C sample: a list's default member (Item) fetched as a property, as
 * .NET indexers and PowerShell fetch it; an error object for a null result
 * pointer; and an enumerator that answers ISupportErrorInfo. Lists the
 * registered packages and prints one line per check:
 *
 *   item-property|0xHRESULT|VARTYPE     Invoke(DISPID_VALUE, DISPATCH_PROPERTYGET, 0)
 *   null-count|0xHRESULT|DESCRIPTION    get_Count(NULL), then the error object
 *   enumerator-errorinfo|0xHRESULT|0xHRESULT   QueryInterface, InterfaceSupportsErrorInfo
 *   null-next|0xHRESULT|DESCRIPTION     IEnumVARIANT::Next(2, NULL, NULL)
 *
 * Exit code 0 when the catalog listed, 1 otherwise. */
#define COBJMACROS
#include <windows.h>
#include <ole2.h>
#include <stdio.h>

#include <initguid.h>

#include <stub/stub_catalog.h>

/* Prints the thread's error description (UTF-8), or nothing where there is none. */
static void PrintErrorText(void) {
  IErrorInfo* info = NULL;
  BSTR description = NULL;
  char narrow[1024] = "";
  if (GetErrorInfo(0, &info) == S_OK && info) {
    IErrorInfo_GetDescription(info, &description);
    IErrorInfo_Release(info);
  }
  if (description) {
    WideCharToMultiByte(CP_UTF8, 0, description, -1, narrow, sizeof narrow, NULL, NULL);
    SysFreeString(description);
  }
  printf("%s\n", narrow);
}

static void CheckList(IStubPackageList* packages) {
  VARIANTARG index;
  VARIANT item;
  DISPPARAMS params = {&index, NULL, 1, 0};
  IUnknown* unknown = NULL;
  IEnumVARIANT* enumerator = NULL;
  ISupportErrorInfo* support = NULL;
  HRESULT hr;
  VariantInit(&index);
  VariantInit(&item);
  index.vt = VT_I4;
  index.lVal = 0;
  hr = IStubPackageList_Invoke(packages, DISPID_VALUE, &IID_NULL, 0, DISPATCH_PROPERTYGET, &params, &item,
                               NULL, NULL);
  printf("item-property|0x%08lX|%d\n", (unsigned long)hr, (int)item.vt);
  VariantClear(&item);

  SetErrorInfo(0, NULL);
  hr = IStubPackageList_get_Count(packages, NULL);
  printf("null-count|0x%08lX|", (unsigned long)hr);
  PrintErrorText();

  if (FAILED(IStubPackageList_get__NewEnum(packages, &unknown))) return;
  hr = IUnknown_QueryInterface(unknown, &IID_ISupportErrorInfo, (void**)&support);
  printf("enumerator-errorinfo|0x%08lX|0x%08lX\n", (unsigned long)hr,
         (unsigned long)(support ? ISupportErrorInfo_InterfaceSupportsErrorInfo(support, &IID_IEnumVARIANT)
                                 : E_NOINTERFACE));
  if (support) ISupportErrorInfo_Release(support);
  if (SUCCEEDED(IUnknown_QueryInterface(unknown, &IID_IEnumVARIANT, (void**)&enumerator))) {
    SetErrorInfo(0, NULL);
    hr = IEnumVARIANT_Next(enumerator, 2, NULL, NULL);
    printf("null-next|0x%08lX|", (unsigned long)hr);
    PrintErrorText();
    IEnumVARIANT_Release(enumerator);
  }
  IUnknown_Release(unknown);
}

int wmain(void) {
  IStubPackageCatalog* catalog = NULL;
  IStubPackageList* packages = NULL;
  int result = 1;
  if (FAILED(CoInitializeEx(NULL, COINIT_APARTMENTTHREADED))) return 1;
  if (SUCCEEDED(CoCreateInstance(&CLSID_StubPackageCatalog, NULL, CLSCTX_INPROC_SERVER,
                                 &IID_IStubPackageCatalog, (void**)&catalog))) {
    if (SUCCEEDED(IStubPackageCatalog_FindRegistered(catalog, &packages))) {
      CheckList(packages);
      IStubPackageList_Release(packages);
      result = 0;
    }
    IStubPackageCatalog_Release(catalog);
  }
  CoUninitialize();
  return result;
}
