// What the catalog says about a state: the fact behind it, as the host
// library found it, and what to do about it, for Detail and for error texts.
#pragma once

#include <string>

#include "stub/stub_host.h"

namespace catalog {

/// The fact behind a class's state: a path, the identifier text a script
/// holds, the machine of a module, the identifier a script names now, or a
/// result as 0xXXXXXXXX. Empty for states that have none (ready, working).
std::wstring ClassDetail(const stub::host::Class& entry);

/// The fact behind a package's state: that of the class the state comes
/// from; the manifest path for a package of a folder without a usable one.
std::wstring PackageDetail(const stub::host::Package& package);

/// What to do about a state, one sentence; empty for ready and working.
const wchar_t* Remedy(stub::host::State state);

/// A braced class identifier.
std::wstring GuidText(const GUID& id);

/// The state's word as UTF-16.
std::wstring StateWord(stub::host::State state);

}  // namespace catalog
