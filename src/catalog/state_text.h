// What the catalog says about a package's state: the fact behind it and what
// to do about it, for Detail and for error texts, from the host library's
// table of states (StateDetail, StateRemedy), as a class's are.
#pragma once

#include <string>

#include "stub/stub_host.h"

namespace catalog {

/// The fact behind a package's state: that of the class the state comes
/// from (stub::host::StateDetail); the manifest path for a package of a
/// folder without a usable one.
std::wstring PackageDetail(const stub::host::Package& package);

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
