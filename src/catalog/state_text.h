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
/// `result` is the class's (Class::result): a creation that failed has one
/// remedy for a module file that serves none of its classes, another for
/// any other failure.
const wchar_t* Remedy(stub::host::State state, HRESULT result);

/// The remedy of a package's state, with the result of the class it comes from.
const wchar_t* PackageRemedy(const stub::host::Package& package);

/// A path as an error text shows it: one longer than 123 characters as its
/// first 60 and last 60 characters with "..." between, so that a path of any
/// length gives a text a person can read; a shorter one whole.
std::wstring ShortPath(const std::wstring& path);

/// A braced class identifier.
std::wstring GuidText(const GUID& id);

/// The state's word as UTF-16.
std::wstring StateWord(stub::host::State state);

}  // namespace catalog
