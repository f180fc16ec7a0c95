#include "state_text.h"

namespace catalog {
namespace {

using stub::host::State;

// The class a package's state comes from: the first of the pair in use that
// is neither working nor ready, as Package::state() decides.
const stub::host::Class* DecidingClass(const stub::host::Package& package) {
  const State state = package.state();
  for (const stub::host::Class* entry : {package.style(), package.text()}) {
    if (entry && entry->state == state) return entry;
  }
  for (const stub::host::Class& entry : package.classes) {
    if (entry.state == state) return &entry;
  }
  return nullptr;
}

}  // namespace

std::wstring GuidText(const GUID& id) {
  wchar_t text[40] = {};
  StringFromGUID2(id, text, 40);
  return text;
}

std::wstring StateWord(State state) {
  const char* name = stub::host::StateName(state);
  return std::wstring(name, name + std::char_traits<char>::length(name));
}

std::wstring PackageDetail(const stub::host::Package& package) {
  const State state = package.state();
  if (state == State::ManifestMissing || state == State::BadManifest || state == State::NotInManifest) {
    if (const stub::host::Class* entry = DecidingClass(package)) {
      if (!entry->path.empty()) return stub::host::StateDetail(*entry);
    }
    return package.manifestPath;
  }
  const stub::host::Class* entry = DecidingClass(package);
  return entry ? stub::host::StateDetail(*entry) : std::wstring();
}

const wchar_t* PackageRemedy(const stub::host::Package& package) {
  // A package of a folder is never registered: a shorter folder is all it needs.
  if (package.origin == stub::host::Origin::Folder && package.state() == State::PathTooLong) {
    return L"move the packages' folder to where their module paths have fewer than 260 "
           L"characters; nothing needs registering.";
  }
  const stub::host::Class* entry = DecidingClass(package);
  return stub::host::StateRemedy(package.state(), entry ? entry->result : S_OK);
}

std::wstring ShortPath(const std::wstring& path) {
  constexpr size_t kKept = 60;
  if (path.size() <= 2 * kKept + 3) return path;
  // Never between the two halves of a surrogate pair.
  size_t head = kKept, tail = path.size() - kKept;
  if (IS_HIGH_SURROGATE(path[head - 1])) --head;
  if (IS_LOW_SURROGATE(path[tail])) ++tail;
  return path.substr(0, head) + L"..." + path.substr(tail);
}

}  // namespace catalog
