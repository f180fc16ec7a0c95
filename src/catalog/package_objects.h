// The package and class objects the catalog hands out, in their lists.
#pragma once

#include <vector>

#include "stub/stub_catalog.h"
#include "stub/stub_host.h"

namespace catalog {

/// A new list object of `packages` (each checked already), with one
/// reference for the caller.
HRESULT NewPackageList(std::vector<stub::host::Package>& packages, IStubPackageList** list);

}  // namespace catalog
