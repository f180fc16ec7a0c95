// The engine interface as shipped: the public header and the type library that
// widl makes from stub_engine.idl, held against what the module itself uses.
#include "e2e_support.h"

#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>

#include "public_identifiers.h"
#include "server/stub_target.h"

namespace e2e {
namespace {

// The module's own identifiers, and the IDL's through the public header, must
// be the same: an engine built from the header is the one the module creates.
TEST(E2EEngineInterface, PublicHeaderNamesTheModulesIdentifiers) {
  const PublicIdentifiers ids = PublicEngineIdentifiers();
  EXPECT_TRUE(IsEqualGUID(ids.stubTarget, IID_IStubTarget)) << Narrow(GuidText(ids.stubTarget));
  EXPECT_TRUE(IsEqualGUID(ids.styleEngine, CLSID_StyleEngine)) << Narrow(GuidText(ids.styleEngine));
  EXPECT_TRUE(IsEqualGUID(ids.styleTextEngine, CLSID_StyleTextEngine))
      << Narrow(GuidText(ids.styleTextEngine));
}

struct TypeInfoHolder {
  ~TypeInfoHolder() {
    if (info && attr) info->ReleaseTypeAttr(attr);
    if (info) info->Release();
  }
  ITypeInfo* info = nullptr;
  TYPEATTR* attr = nullptr;
};

std::wstring MemberName(ITypeInfo* info, MEMBERID id) {
  BSTR name = nullptr;
  if (FAILED(info->GetDocumentation(id, &name, nullptr, nullptr, nullptr))) return L"";
  std::wstring text = name ? name : L"";
  SysFreeString(name);
  return text;
}

// The function described at `index`: its name, vtable offset, kind and
// parameter types, as one line for comparison.
std::wstring DescribeFunction(ITypeInfo* info, UINT index) {
  FUNCDESC* f = nullptr;
  if (FAILED(info->GetFuncDesc(index, &f))) return L"(no function " + std::to_wstring(index) + L")";
  std::wstring text = MemberName(info, f->memid) + L" id " + std::to_wstring(f->memid) + L" slot " +
                      std::to_wstring(f->oVft / static_cast<SHORT>(sizeof(void*))) + L" kind " +
                      std::to_wstring(f->invkind) + L" returns " + std::to_wstring(f->elemdescFunc.tdesc.vt) +
                      L" (";
  for (SHORT p = 0; p < f->cParams; ++p) {
    const TYPEDESC& t = f->lprgelemdescParam[p].tdesc;
    text += (p ? L", " : L"") + std::to_wstring(t.vt);
    if (t.vt == VT_PTR) text += L"->" + std::to_wstring(t.lptdesc->vt);
  }
  info->ReleaseFuncDesc(f);
  return text + L")";
}

// The type library, as a file and as the sample engine's resource, loaded the
// way a language that imports type libraries loads it: the interface, its
// method at the fourth slot (after IUnknown's three), the dual interface with
// its properties, and both engine classes, found by the public identifiers.
TEST(E2EEngineInterface, TypeLibraryDescribesTheInterfaceAndTheSampleEngine) {
  const PublicIdentifiers ids = PublicEngineIdentifiers();
  const std::wstring sources[] = {WindowsPath(E2E_ENGINE_TLB), WindowsPath(E2E_SAMPLE_ENGINE_DLL)};
  for (const std::wstring& source : sources) {
    SCOPED_TRACE(Narrow(source));
    ITypeLib* library = nullptr;
    ASSERT_EQ(LoadTypeLib(source.c_str(), &library), S_OK);
    TLIBATTR* libraryAttr = nullptr;
    ASSERT_EQ(library->GetLibAttr(&libraryAttr), S_OK);
    EXPECT_TRUE(IsEqualGUID(libraryAttr->guid, ids.library));
    EXPECT_EQ(libraryAttr->wMajorVerNum, 1);
    EXPECT_EQ(libraryAttr->wMinorVerNum, 0);
    library->ReleaseTLibAttr(libraryAttr);

    // IStubTarget: derived from IUnknown, one method, HRESULT SetModulePath(LPWSTR).
    {
      TypeInfoHolder target;
      ASSERT_EQ(library->GetTypeInfoOfGuid(ids.stubTarget, &target.info), S_OK);
      ASSERT_EQ(target.info->GetTypeAttr(&target.attr), S_OK);
      EXPECT_EQ(target.attr->typekind, TKIND_INTERFACE);
      EXPECT_EQ(target.attr->cFuncs, 1);
      EXPECT_EQ(Narrow(MemberName(target.info, MEMBERID_NIL)), "IStubTarget");
      EXPECT_EQ(Narrow(DescribeFunction(target.info, 0)),
                "SetModulePath id 1610678272 slot 3 kind 1 returns 25 (31)");
      // The base interface resolves through stdole2 to IUnknown.
      HREFTYPE baseRef = 0;
      TypeInfoHolder base;
      ASSERT_EQ(target.info->GetRefTypeOfImplType(0, &baseRef), S_OK);
      ASSERT_EQ(target.info->GetRefTypeInfo(baseRef, &base.info), S_OK);
      ASSERT_EQ(base.info->GetTypeAttr(&base.attr), S_OK);
      EXPECT_TRUE(IsEqualGUID(base.attr->guid, IID_IUnknown));
    }

    // IStubSampleEngine: dual; its properties by name, as a script finds them.
    {
      TypeInfoHolder dispatch;
      ASSERT_EQ(library->GetTypeInfoOfGuid(ids.sampleEngine, &dispatch.info), S_OK);
      ASSERT_EQ(dispatch.info->GetTypeAttr(&dispatch.attr), S_OK);
      EXPECT_NE(dispatch.attr->wTypeFlags & TYPEFLAG_FDUAL, 0);
      const wchar_t* const names[] = {L"ModulePath", L"EngineClass", L"EngineName"};
      for (MEMBERID expected = 1; expected <= 3; ++expected) {
        LPOLESTR name = const_cast<LPOLESTR>(names[expected - 1]);
        MEMBERID id = MEMBERID_NIL;
        EXPECT_EQ(dispatch.info->GetIDsOfNames(&name, 1, &id), S_OK) << Narrow(name);
        EXPECT_EQ(id, expected) << Narrow(name);
      }
      // Its vtable half: the properties follow IDispatch's seven slots.
      HREFTYPE vtableRef = 0;
      TypeInfoHolder vtable;
      ASSERT_EQ(dispatch.info->GetRefTypeOfImplType(-1, &vtableRef), S_OK);
      ASSERT_EQ(dispatch.info->GetRefTypeInfo(vtableRef, &vtable.info), S_OK);
      ASSERT_EQ(vtable.info->GetTypeAttr(&vtable.attr), S_OK);
      EXPECT_EQ(vtable.attr->typekind, TKIND_INTERFACE);
      ASSERT_EQ(vtable.attr->cFuncs, 3);
      EXPECT_EQ(Narrow(DescribeFunction(vtable.info, 0)), "ModulePath id 1 slot 7 kind 2 returns 25 (26->8)");
      EXPECT_EQ(Narrow(DescribeFunction(vtable.info, 2)), "EngineName id 3 slot 9 kind 2 returns 25 (26->8)");
    }

    // The two engine classes.
    for (const CLSID* engine : {&ids.styleEngine, &ids.styleTextEngine}) {
      TypeInfoHolder coclass;
      ASSERT_EQ(library->GetTypeInfoOfGuid(*engine, &coclass.info), S_OK) << Narrow(GuidText(*engine));
      ASSERT_EQ(coclass.info->GetTypeAttr(&coclass.attr), S_OK);
      EXPECT_EQ(coclass.attr->typekind, TKIND_COCLASS);
      EXPECT_EQ(coclass.attr->cImplTypes, 2);
    }
    library->Release();
  }
}

// The sample engine's objects, created through its own exports as COM would:
// each takes the path through IStubTarget as the module declares it, answers
// it and its class through IDispatch by name, as a script host asks, and keeps
// the DLL from unloading exactly while it lives.
TEST(E2EEngineInterface, SampleEngineAnswersWhatItWasGivenThroughAutomation) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  const std::wstring dll = WindowsPath(E2E_SAMPLE_ENGINE_DLL);
  HMODULE engine = LoadLibraryW(dll.c_str());
  ASSERT_NE(engine, nullptr) << Narrow(dll) << ": error " << GetLastError();
  using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
  using CanUnloadNow = HRESULT(STDAPICALLTYPE*)();
  const auto getClassObject =
      reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(engine, "DllGetClassObject")));
  const auto canUnloadNow =
      reinterpret_cast<CanUnloadNow>(reinterpret_cast<void*>(GetProcAddress(engine, "DllCanUnloadNow")));
  ASSERT_NE(getClassObject, nullptr);
  ASSERT_NE(canUnloadNow, nullptr);

  struct Case {
    const CLSID* engineClass;
    const wchar_t* name;
  };
  const Case cases[] = {{&CLSID_StyleEngine, L"StyleEngine"}, {&CLSID_StyleTextEngine, L"StyleTextEngine"}};
  // A path longer than MAX_PATH and with an apostrophe: the engine copies it whole.
  const std::u16string path =
      u"C:\\Program Files\\O'Brien's Packages\\" + std::u16string(240, u'x') + u"\\Aurora.dll";
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.name));
    IClassFactory* factory = nullptr;
    ASSERT_EQ(getClassObject(*c.engineClass, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    IStubTarget* target = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IStubTarget, reinterpret_cast<void**>(&target)), S_OK);
    factory->Release();
    EXPECT_EQ(canUnloadNow(), S_FALSE) << "an engine object is alive";
    EXPECT_EQ(target->SetModulePath(nullptr), E_POINTER);
    {
      std::u16string passed = path;  // lives only during the call
      EXPECT_EQ(target->SetModulePath(passed.c_str()), S_OK);
      passed.assign(passed.size(), u'?');
    }
    IDispatch* dispatch = nullptr;
    ASSERT_EQ(target->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
    target->Release();

    const std::wstring expected[] = {std::wstring(path.begin(), path.end()), GuidText(*c.engineClass),
                                     c.name};
    const wchar_t* const properties[] = {L"ModulePath", L"EngineClass", L"EngineName"};
    for (int i = 0; i < 3; ++i) {
      LPOLESTR name = const_cast<LPOLESTR>(properties[i]);
      DISPID id = DISPID_UNKNOWN;
      ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id), S_OK);
      DISPPARAMS none = {};
      VARIANT result;
      VariantInit(&result);
      ASSERT_EQ(dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result,
                                 nullptr, nullptr),
                S_OK)
          << Narrow(properties[i]);
      ASSERT_EQ(result.vt, VT_BSTR);
      EXPECT_EQ(Narrow(result.bstrVal), Narrow(expected[i])) << Narrow(properties[i]);
      VariantClear(&result);
    }
    dispatch->Release();
    EXPECT_EQ(canUnloadNow(), S_OK) << "no engine object is alive";
  }
  FreeLibrary(engine);
  CoUninitialize();
}

}  // namespace
}  // namespace e2e
