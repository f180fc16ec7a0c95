/* list_packages: lists the style packages through the package catalog
 * (StubHost.dll, class Stub.PackageCatalog), in C, with nothing but the
 * public header stub/stub_catalog.h and the system's libraries: no host
 * library, any compiler.
 *
 *   list_packages            the registered packages
 *   list_packages FOLDER     the packages kept unregistered in FOLDER
 *   list_packages --try MS   the registered packages, each tried first in a
 *                            probe process (Try, MS milliseconds at most):
 *                            nothing a package does can end this program
 *
 * One line per package, then one per class:
 *
 *   NAME|STATE|ORIGIN|MODULE PATH|DETAIL
 *     KIND|STATE|{CLSID}|PROGID
 *
 * Exit code 0 when the catalog answered, 1 when it did not (its error's
 * description on standard error). */
#define COBJMACROS
#include <windows.h>
#include <ole2.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

/* The identifiers (CLSID_StubPackageCatalog, IID_...) are compiled in from
 * stub/stub_catalog_i.c; without it, include <initguid.h> here first. */
#include <stub/stub_catalog.h>

/* Writes wide text as UTF-8. */
static void PrintText(const wchar_t* text) {
  char narrow[2048];
  if (WideCharToMultiByte(CP_UTF8, 0, text ? text : L"", -1, narrow, sizeof narrow, NULL, NULL) == 0) {
    fputs("(unprintable)", stdout);
  } else {
    fputs(narrow, stdout);
  }
}

/* The description of the thread's error object, where there is one. */
static void PrintError(const char* step, HRESULT hr) {
  IErrorInfo* info = NULL;
  BSTR description = NULL;
  char narrow[2048] = "";
  if (GetErrorInfo(0, &info) == S_OK && info) {
    IErrorInfo_GetDescription(info, &description);
    IErrorInfo_Release(info);
  }
  if (description) {
    WideCharToMultiByte(CP_UTF8, 0, description, -1, narrow, sizeof narrow, NULL, NULL);
    SysFreeString(description);
  }
  fprintf(stderr, "list_packages: %s failed (0x%08lX) %s\n", step, (unsigned long)hr, narrow);
}

/* Prints a property read by `get` as one field, and frees it. */
static void PrintField(const char* before, BSTR text) {
  fputs(before, stdout);
  PrintText(text);
  SysFreeString(text);
}

static void PrintClasses(IStubPackage* package) {
  IStubClassList* classes = NULL;
  long count = 0, i;
  if (FAILED(IStubPackage_get_Classes(package, &classes))) return;
  IStubClassList_get_Count(classes, &count);
  for (i = 0; i < count; ++i) {
    IStubClass* entry = NULL;
    BSTR kind = NULL, state = NULL, clsid = NULL, progId = NULL;
    if (FAILED(IStubClassList_Item(classes, i, &entry))) continue;
    IStubClass_get_Kind(entry, &kind);
    IStubClass_get_State(entry, &state);
    IStubClass_get_ClassId(entry, &clsid);
    IStubClass_get_ProgId(entry, &progId);
    PrintField("  ", kind);
    PrintField("|", state);
    PrintField("|", clsid);
    PrintField("|", progId);
    fputs("\n", stdout);
    IStubClass_Release(entry);
  }
  IStubClassList_Release(classes);
}

static void PrintPackage(IStubPackage* package) {
  BSTR name = NULL, state = NULL, origin = NULL, path = NULL, detail = NULL;
  IStubPackage_get_Name(package, &name);
  IStubPackage_get_State(package, &state);
  IStubPackage_get_Origin(package, &origin);
  IStubPackage_get_ModulePath(package, &path);
  IStubPackage_get_Detail(package, &detail);
  PrintField("", name);
  PrintField("|", state);
  PrintField("|", origin);
  PrintField("|", path);
  PrintField("|", detail);
  fputs("\n", stdout);
  PrintClasses(package);
}

/* limit < 0: list only; else try each package first under that limit. */
static int List(IStubPackageCatalog* catalog, const wchar_t* folder, long limit) {
  IStubPackageList* packages = NULL;
  long count = 0, i;
  HRESULT hr;
  if (folder) {
    BSTR path = SysAllocString(folder);
    hr = IStubPackageCatalog_FindInFolder(catalog, path, &packages);
    SysFreeString(path);
  } else {
    hr = IStubPackageCatalog_FindRegistered(catalog, &packages);
  }
  if (FAILED(hr)) {
    PrintError(folder ? "FindInFolder" : "FindRegistered", hr);
    return 1;
  }
  IStubPackageList_get_Count(packages, &count);
  for (i = 0; i < count; ++i) {
    IStubPackage* package = NULL;
    if (FAILED(IStubPackageList_Item(packages, i, &package))) continue;
    if (limit >= 0) {
      VARIANT_BOOL worked = VARIANT_FALSE;
      hr = IStubPackage_Try(package, limit, &worked);
      if (FAILED(hr)) PrintError("Try", hr);
    }
    PrintPackage(package);
    IStubPackage_Release(package);
  }
  IStubPackageList_Release(packages);
  return 0;
}

int wmain(int argc, wchar_t** argv) {
  IStubPackageCatalog* catalog = NULL;
  int result;
  HRESULT hr = CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) {
    PrintError("CoInitializeEx", hr);
    return 1;
  }
  hr = CoCreateInstance(&CLSID_StubPackageCatalog, NULL, CLSCTX_INPROC_SERVER, &IID_IStubPackageCatalog,
                        (void**)&catalog);
  if (FAILED(hr)) {
    PrintError("creating Stub.PackageCatalog", hr);
    result = 1;
  } else {
    const int trying = argc > 2 && wcscmp(argv[1], L"--try") == 0;
    result = List(catalog, argc > 1 && !trying ? argv[1] : NULL, trying ? _wtol(argv[2]) : -1);
    IStubPackageCatalog_Release(catalog);
  }
  CoUninitialize();
  return result;
}
