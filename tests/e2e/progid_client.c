/* A client in C, as a host or macro runtime written in C resolves a package's
 * classes: each argument is a ProgID, resolved with CLSIDFromProgID (which
 * reads the ProgID key's CLSID subkey only), or a braced class identifier,
 * taken as it is; each is created, and asked through the sample engine's
 * interface which engine it is and which module created it.
 * One line per argument on standard output:
 *
 *   PROGID|{CLSID}|ENGINE NAME|MODULE PATH        or   PROGID|error STEP 0xHRESULT
 *
 * Exit code 0 when every ProgID resolved and answered, 1 otherwise. It also
 * shows that the public header serves C: the interface is called through its
 * C macros. */
#define COBJMACROS
#include <windows.h>
#include <ole2.h>
#include <stdio.h>

#include <initguid.h>

#include <stub/stub_engine.h>

/* Writes wide text as UTF-8. */
static void PrintText(const wchar_t* text) {
  char narrow[1024];
  if (WideCharToMultiByte(CP_UTF8, 0, text ? text : L"", -1, narrow, sizeof narrow, NULL, NULL) == 0) {
    fputs("(unprintable)", stdout);
  } else {
    fputs(narrow, stdout);
  }
}

static int Fail(const char* step, HRESULT hr) {
  printf("|error %s 0x%08lX\n", step, (unsigned long)hr);
  return 0;
}

/* Resolves, creates and asks one ProgID; nonzero when all of it worked. */
static int Report(const wchar_t* progId) {
  CLSID clsid;
  wchar_t clsidText[40];
  IStubSampleEngine* engine = NULL;
  BSTR name = NULL, path = NULL;
  HRESULT hr;
  int ok;

  PrintText(progId);
  if (progId[0] == L'{') {
    hr = CLSIDFromString(progId, &clsid);
    if (FAILED(hr)) return Fail("CLSIDFromString", hr);
  } else {
    hr = CLSIDFromProgID(progId, &clsid);
    if (FAILED(hr)) return Fail("CLSIDFromProgID", hr);
  }
  StringFromGUID2(&clsid, clsidText, 40);
  hr = CoCreateInstance(&clsid, NULL, CLSCTX_INPROC_SERVER, &IID_IStubSampleEngine, (void**)&engine);
  if (FAILED(hr)) return Fail("CoCreateInstance", hr);
  hr = IStubSampleEngine_get_EngineName(engine, &name);
  if (SUCCEEDED(hr)) hr = IStubSampleEngine_get_ModulePath(engine, &path);
  IStubSampleEngine_Release(engine);
  ok = SUCCEEDED(hr);
  if (ok) {
    putchar('|');
    PrintText(clsidText);
    putchar('|');
    PrintText(name);
    putchar('|');
    PrintText(path);
    putchar('\n');
  } else {
    Fail("IStubSampleEngine", hr);
  }
  SysFreeString(name);
  SysFreeString(path);
  return ok;
}

int wmain(int argc, wchar_t** argv) {
  int i, all = 1;
  if (argc < 2) {
    fputs("usage: progid_client PROGID...\n", stderr);
    return 2;
  }
  if (FAILED(CoInitializeEx(NULL, COINIT_APARTMENTTHREADED))) {
    fputs("COM could not be initialised\n", stderr);
    return 1;
  }
  for (i = 1; i < argc; ++i) all = Report(argv[i]) && all;
  CoUninitialize();
  fflush(stdout);
  return all ? 0 : 1;
}
