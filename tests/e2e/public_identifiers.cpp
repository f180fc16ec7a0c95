// See public_identifiers.h. Only the public header is included here, as an
// engine developer includes it.
#include "public_identifiers.h"

#include <ole2.h>

#include <initguid.h>

#include <stub/stub_engine.h>

namespace e2e {

PublicIdentifiers PublicEngineIdentifiers() {
  return {IID_IStubTarget, CLSID_StyleEngine, CLSID_StyleTextEngine, IID_IStubSampleEngine,
          LIBID_StubEngineLib};
}

}  // namespace e2e
