#include "server/class_table.h"

#include "server/class_factory.h"
#include "server/stub.h"

GUID CLSID_Stub = {};
GUID CLSID_StubText = {};

namespace {

// The per-class hooks of both rows: nothing to register, describe, list, start or stop.
HRESULT NoRegistryUpdate(BOOL) { return S_OK; }
const char16_t* NoDescription() { return nullptr; }
const CATID* NoCategories() { return nullptr; }
void NoStartStop(bool) {}

}  // namespace

ClassTableEntry ClassTable[3] = {
    {&CLSID_Stub, NoRegistryUpdate, CreateCachedClassFactory, CreateStubInstance<Stub>, nullptr, 0,
     NoDescription, NoCategories, NoStartStop},
    {&CLSID_StubText, NoRegistryUpdate, CreateCachedClassFactory, CreateStubInstance<StubText>, nullptr, 0,
     NoDescription, NoCategories, NoStartStop},
    {nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr},
};
