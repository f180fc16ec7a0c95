// The emulated registry: a tree of keys under the predefined roots, with
// handles that carry their access rights and go stale when their key is
// deleted, behaving as the Windows registry calls do for the module's uses.
#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <iterator>
#include <list>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/emulated/internal.h"

namespace emu {
namespace {

struct Key;
using KeyPtr = std::shared_ptr<Key>;

// A key's values in creation order, found by case-folded name in O(1), so
// that a key of many thousands of values costs linear time to fill and empty.
// A key without values (most keys a script makes) holds only a null pointer.
class ValueList {
 public:
  Value* Find(const std::u16string& name) {
    if (!store_) return nullptr;
    const auto found = store_->byFoldedName.find(detail::Folded(name));
    return found == store_->byFoldedName.end() ? nullptr : &*found->second;
  }
  void Store(const std::u16string& name, DWORD type, std::vector<BYTE> data) {
    if (Value* existing = Find(name)) {
      existing->type = type;
      existing->data = std::move(data);
      return;
    }
    if (!store_) store_ = std::make_unique<Values>();
    store_->values.push_back({name, type, std::move(data)});
    store_->byFoldedName[detail::Folded(name)] = std::prev(store_->values.end());
  }
  bool Erase(const std::u16string& name) {
    if (!store_) return false;
    const auto found = store_->byFoldedName.find(detail::Folded(name));
    if (found == store_->byFoldedName.end()) return false;
    store_->values.erase(found->second);
    store_->byFoldedName.erase(found);
    return true;
  }
  std::vector<Value> Copy() const {
    return store_ ? std::vector<Value>(store_->values.begin(), store_->values.end()) : std::vector<Value>();
  }
  void Assign(const std::vector<Value>& values) {
    store_.reset();
    for (const Value& v : values) Store(v.name, v.type, v.data);
  }

 private:
  struct Values {
    std::list<Value> values;
    std::unordered_map<std::u16string, std::list<Value>::iterator> byFoldedName;
  };
  std::unique_ptr<Values> store_;
};

struct Key {
  std::u16string name;  // as given when the key was created
  Key* parent = nullptr;
  std::list<KeyPtr> subkeys;  // creation order
  // The same subkeys by case-folded name: lookups in O(log n) and the order in
  // which enumeration reports them. Without it, a script of thousands of
  // sibling keys made every lookup a scan and the emulator's cost quadratic.
  std::map<std::u16string, std::list<KeyPtr>::iterator> byFoldedName;
  ValueList values;
  bool isRoot = false;
  bool deleted = false;  // handles still open on it are stale
  bool unreadable = false;
  bool readOnly = false;
};

struct Handle {
  KeyPtr key;
  REGSAM access;
};

constexpr std::uintptr_t kFirstRoot = 0x80000000u;
constexpr std::size_t kRootCount = 7;  // HKEY_CLASSES_ROOT .. HKEY_DYN_DATA
constexpr REGSAM kReadRights = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY;
constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | DELETE;
constexpr REGSAM kGenericRead = 0x80000000u, kGenericWrite = 0x40000000u, kGenericAll = 0x10000000u,
                 kMaximumAllowed = 0x02000000u;
constexpr std::size_t kMaxKeyNameLength = 255;

// Handle values are tagged integers far from any address the process could
// map, so that a sanitizer never mistakes one for heap memory and a handle
// used as a pointer faults at once.
constexpr std::uintptr_t kHandleTag =
    sizeof(std::uintptr_t) == 8 ? static_cast<std::uintptr_t>(0x5EC0000000000000ull) : 0x40000000u;

// A key as it was when the registry was marked, noted the first time a call
// changed it since. Its path is the note's place in the log.
struct NotedKey {
  bool existed;
  std::vector<Value> values;
};

// Where a note stands: the root and the path below it as spelled when first
// noted, ordered as the registry compares names, so that the path is held
// once, as spelled, and found whatever its letters.
using NotePlace = std::pair<std::size_t, std::u16string>;
struct NoteOrder {
  bool operator()(const NotePlace& a, const NotePlace& b) const {
    if (a.first != b.first) return a.first < b.first;
    // Paths of one run share long prefixes spelled alike: only units that differ are folded.
    const std::u16string &x = a.second, &y = b.second;
    const std::size_t n = std::min(x.size(), y.size());
    for (std::size_t i = 0; i < n; ++i) {
      if (x[i] == y[i]) continue;
      const char16_t fx = detail::FoldCase(x[i]), fy = detail::FoldCase(y[i]);
      if (fx != fy) return fx < fy;
    }
    return x.size() < y.size();
  }
};

struct RegistryState {
  std::array<KeyPtr, kRootCount> roots;
  // Changes noted since emu::MarkRegistry, by root and path.
  bool noting = false;
  std::map<NotePlace, NotedKey, NoteOrder> noted;
  // What RegOverridePredefKey made each root stand for (an empty key: nothing).
  std::array<Handle, kRootCount> overrides{};
  std::unordered_map<std::uintptr_t, Handle> handles;
  std::uintptr_t nextHandle = 1;

  RegistryState() {
    for (KeyPtr& root : roots) {
      root = std::make_shared<Key>();
      root->isRoot = true;
    }
  }
};

RegistryState& Registry() {
  static RegistryState state;
  return state;
}

REGSAM MapGeneric(REGSAM access) {
  if (access & (kGenericAll | kMaximumAllowed)) access |= KEY_ALL_ACCESS;
  if (access & kGenericRead) access |= KEY_READ;
  if (access & kGenericWrite) access |= KEY_WRITE;
  return access & KEY_ALL_ACCESS;
}

bool IsPredefined(HKEY key) {
  auto value = reinterpret_cast<std::uintptr_t>(key);
  return value >= kFirstRoot && value < kFirstRoot + kRootCount;
}

// Finds what a handle refers to; ERROR_INVALID_HANDLE for anything unknown.
// The registry calls follow an override of a predefined root; the emulator's
// own services and the test controls do not.
LONG Resolve(HKEY key, Handle* out, bool followOverride = true) {
  RegistryState& registry = Registry();
  if (IsPredefined(key)) {
    const std::size_t root = reinterpret_cast<std::uintptr_t>(key) - kFirstRoot;
    if (followOverride && registry.overrides[root].key) {
      *out = registry.overrides[root];
    } else {
      *out = {registry.roots[root], KEY_ALL_ACCESS};
    }
    return ERROR_SUCCESS;
  }
  auto it = registry.handles.find(reinterpret_cast<std::uintptr_t>(key));
  if (it == registry.handles.end()) return ERROR_INVALID_HANDLE;
  *out = it->second;
  return ERROR_SUCCESS;
}

// The rights a handle has on its key now: marks set by tests take rights away
// from handles (predefined roots included) as the key's security would.
REGSAM Effective(const Handle& handle) {
  REGSAM access = handle.access;
  if (handle.key->unreadable) access &= ~kReadRights;
  if (handle.key->readOnly) access &= ~kWriteRights;
  return access;
}

LONG Require(const Handle& handle, REGSAM rights) {
  if (handle.key->deleted) return ERROR_KEY_DELETED;
  return (Effective(handle) & rights) == rights ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// Splits a key path at backslashes. Empty pieces inside or at the end are
// skipped; a leading backslash is refused as Windows refuses it.
LONG SplitPath(const std::u16string& path, std::vector<std::u16string>* parts) {
  parts->clear();
  if (!path.empty() && path[0] == u'\\') return ERROR_BAD_PATHNAME;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(u'\\', start);
    if (end == std::u16string::npos) end = path.size();
    if (end > start) {
      if (end - start > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
      parts->push_back(path.substr(start, end - start));
    }
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

std::u16string Text(const char16_t* text) { return text ? std::u16string(text) : std::u16string(); }

KeyPtr FindChild(const Key& key, const std::u16string& name) {
  const auto found = key.byFoldedName.find(detail::Folded(name));
  return found == key.byFoldedName.end() ? nullptr : *found->second;
}

KeyPtr Walk(KeyPtr key, const std::vector<std::u16string>& parts) {
  for (const std::u16string& part : parts) {
    key = FindChild(*key, part);
    if (!key) return nullptr;
  }
  return key;
}

// The root a live key is under and its path below it; false for a key no
// longer in the tree.
bool PathOf(const Key& key, std::size_t* root, std::u16string* path) {
  std::vector<const Key*> chain;
  const Key* top = &key;
  for (; top->parent; top = top->parent) chain.push_back(top);
  if (!top->isRoot) return false;
  const auto& roots = Registry().roots;
  const auto found =
      std::find_if(roots.begin(), roots.end(), [&](const KeyPtr& r) { return r.get() == top; });
  if (found == roots.end()) return false;
  *root = static_cast<std::size_t>(found - roots.begin());
  path->clear();
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!path->empty()) *path += u'\\';
    *path += (*it)->name;
  }
  return true;
}

// Notes `key` as it is now (or, `existed` false, as a key that was not there)
// unless it was noted since the mark already.
void Note(const Key& key, bool existed) {
  RegistryState& registry = Registry();
  if (!registry.noting) return;
  std::size_t root = 0;
  std::u16string path;
  if (!PathOf(key, &root, &path)) return;
  auto [it, made] = registry.noted.try_emplace({root, std::move(path)});
  if (made && existed) it->second = {true, key.values.Copy()};
}

// Notes a key about to be deleted, with every key below it.
void NoteTree(const Key& key) {
  if (!Registry().noting) return;
  Note(key, true);
  for (const KeyPtr& child : key.subkeys) NoteTree(*child);
}

KeyPtr AddChild(Key& parent, const std::u16string& name) {
  auto child = std::make_shared<Key>();
  child->name = name;
  child->parent = &parent;
  parent.subkeys.push_back(child);
  parent.byFoldedName[detail::Folded(name)] = std::prev(parent.subkeys.end());
  Note(*child, false);
  return child;
}

// Creates what is missing along `parts` below `start`. `mayCreateHere` says
// whether the caller's handle lets it add subkeys to `start` itself; keys
// marked read-only never receive new subkeys.
LONG CreatePath(KeyPtr start, const std::vector<std::u16string>& parts, bool mayCreateHere, KeyPtr* result,
                bool* created) {
  KeyPtr key = start;
  std::size_t i = 0;
  for (; i < parts.size(); ++i) {
    KeyPtr child = FindChild(*key, parts[i]);
    if (!child) break;
    key = child;
  }
  *created = i < parts.size();
  if (*created) {
    if (key->readOnly || (key == start && !mayCreateHere)) return ERROR_ACCESS_DENIED;
    for (; i < parts.size(); ++i) key = AddChild(*key, parts[i]);
  }
  *result = key;
  return ERROR_SUCCESS;
}

HKEY NewHandle(const KeyPtr& key, REGSAM access) {
  RegistryState& registry = Registry();
  std::uintptr_t value = kHandleTag | (registry.nextHandle++ << 4);
  registry.handles[value] = {key, access};
  return reinterpret_cast<HKEY>(value);
}

// The final key of an open or create: unreadable keys refuse every open,
// read-only keys refuse opens that ask for a write right.
LONG CheckOpen(const Key& key, REGSAM access) {
  if (key.unreadable) return ERROR_ACCESS_DENIED;
  if (key.readOnly && (access & kWriteRights)) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

void StoreValue(Key& key, const std::u16string& name, DWORD type, const BYTE* data, std::size_t size) {
  Note(key, true);
  key.values.Store(name, type, std::vector<BYTE>(data, data + size));
}

void MarkDeleted(Key& key) {
  key.deleted = true;
  for (KeyPtr& child : key.subkeys) MarkDeleted(*child);
}

void Unlink(Key& key) {
  Key* parent = key.parent;
  const auto entry = parent->byFoldedName.find(detail::Folded(key.name));
  key.parent = nullptr;
  parent->subkeys.erase(entry->second);  // may release the last reference to `key`
  parent->byFoldedName.erase(entry);
}

// Finds the key at `path` below a root or handle, for the emulator's own use.
KeyPtr Locate(HKEY root, const std::u16string& path) {
  Handle handle;
  std::vector<std::u16string> parts;
  if (Resolve(root, &handle, false) != ERROR_SUCCESS || handle.key->deleted) return nullptr;
  if (SplitPath(path, &parts) != ERROR_SUCCESS) return nullptr;
  return Walk(handle.key, parts);
}

KeyPtr LocateOrCreate(HKEY root, const std::u16string& path) {
  Handle handle;
  std::vector<std::u16string> parts;
  if (Resolve(root, &handle, false) != ERROR_SUCCESS || handle.key->deleted) return nullptr;
  if (SplitPath(path, &parts) != ERROR_SUCCESS) return nullptr;
  KeyPtr key = handle.key;
  for (const std::u16string& part : parts) {
    KeyPtr child = FindChild(*key, part);
    key = child ? child : AddChild(*key, part);
  }
  return key;
}

// The live key behind `parent` and the pieces of the path `name` below it.
LONG ResolvePath(HKEY parent, const char16_t* name, Handle* handle, std::vector<std::u16string>* parts) {
  LONG status = Resolve(parent, handle);
  if (status != ERROR_SUCCESS) return status;
  if (handle->key->deleted) return ERROR_KEY_DELETED;
  return SplitPath(Text(name), parts);
}

}  // namespace

namespace detail {

void ResetRegistry() { Registry() = RegistryState(); }

void ResetRegistryKeepingKeys() {
  RegistryState& registry = Registry();
  registry.overrides = {};
  registry.handles.clear();
  registry.noting = false;
  registry.noted.clear();
}

LONG CreateKeyPath(HKEY root, const std::u16string& path) {
  Guard guard(StateLock());
  Handle handle;
  std::vector<std::u16string> parts;
  LONG status = Resolve(root, &handle, false);
  if (status == ERROR_SUCCESS) status = SplitPath(path, &parts);
  if (status != ERROR_SUCCESS) return status;
  KeyPtr key;
  bool created = false;
  return CreatePath(handle.key, parts, true, &key, &created);
}

LONG SetValueAt(HKEY root, const std::u16string& path, const std::u16string& name, DWORD type,
                const void* data, std::size_t size) {
  Guard guard(StateLock());
  Handle handle;
  std::vector<std::u16string> parts;
  LONG status = Resolve(root, &handle, false);
  if (status == ERROR_SUCCESS) status = SplitPath(path, &parts);
  if (status != ERROR_SUCCESS) return status;
  KeyPtr key;
  bool created = false;
  status = CreatePath(handle.key, parts, true, &key, &created);
  if (status != ERROR_SUCCESS) return status;
  if (key->readOnly) return ERROR_ACCESS_DENIED;
  StoreValue(*key, name, type, static_cast<const BYTE*>(data), size);
  return ERROR_SUCCESS;
}

LONG DeleteTreeAt(HKEY root, const std::u16string& path) {
  Guard guard(StateLock());
  KeyPtr key = Locate(root, path);
  if (!key) return ERROR_FILE_NOT_FOUND;
  if (key->isRoot || key->readOnly || key->unreadable) return ERROR_ACCESS_DENIED;
  NoteTree(*key);
  MarkDeleted(*key);
  Unlink(*key);
  return ERROR_SUCCESS;
}

bool ReadStringValue(HKEY root, const std::u16string& path, const std::u16string& name,
                     std::u16string* text) {
  Guard guard(StateLock());
  KeyPtr key = Locate(root, path);
  if (!key || key->unreadable) return false;
  const Value* value = key->values.Find(name);
  if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return false;
  text->assign(reinterpret_cast<const char16_t*>(value->data.data()), value->data.size() / sizeof(char16_t));
  while (!text->empty() && text->back() == 0) text->pop_back();
  return true;
}

}  // namespace detail

int OpenKeyHandles() {
  detail::Guard guard(detail::StateLock());
  return static_cast<int>(Registry().handles.size());
}

void CreateKey(HKEY root, const std::u16string& path) {
  detail::Guard guard(detail::StateLock());
  LocateOrCreate(root, path);
}

void SetValue(HKEY root, const std::u16string& path, const std::u16string& name, DWORD type,
              const std::vector<BYTE>& data) {
  detail::Guard guard(detail::StateLock());
  if (KeyPtr key = LocateOrCreate(root, path)) {
    StoreValue(*key, name, type, data.data(), data.size());
  }
}

bool KeyExists(HKEY root, const std::u16string& path) {
  detail::Guard guard(detail::StateLock());
  return Locate(root, path) != nullptr;
}

// Marking a key that does not exist yet creates it, so that the mark has
// something to stand on.
void MarkKeyUnreadable(HKEY root, const std::u16string& path) {
  detail::Guard guard(detail::StateLock());
  if (KeyPtr key = LocateOrCreate(root, path)) key->unreadable = true;
}

void MarkKeyReadOnly(HKEY root, const std::u16string& path) {
  detail::Guard guard(detail::StateLock());
  if (KeyPtr key = LocateOrCreate(root, path)) key->readOnly = true;
}

bool PredefinedKeyOverridden(HKEY root) {
  detail::Guard guard(detail::StateLock());
  if (!IsPredefined(root)) return false;
  return Registry().overrides[reinterpret_cast<std::uintptr_t>(root) - kFirstRoot].key != nullptr;
}

void MarkRegistry() {
  detail::Guard guard(detail::StateLock());
  Registry().noting = true;
  Registry().noted.clear();
}

void VisitRegistryChanges(const std::function<void(const KeyChange&)>& visit) {
  detail::Guard guard(detail::StateLock());
  KeyChange change;
  for (const auto& [place, noted] : Registry().noted) {
    change.root = reinterpret_cast<HKEY>(kFirstRoot + place.first);
    change.before = place.second;
    change.existed = noted.existed;
    change.valuesBefore = noted.values;
    std::vector<std::u16string> parts;
    SplitPath(place.second, &parts);
    const KeyPtr key = Walk(Registry().roots[place.first], parts);
    std::size_t root = 0;
    change.exists = key && PathOf(*key, &root, &change.now);
    change.values = key ? key->values.Copy() : std::vector<Value>();
    if (!change.exists) change.now.clear();
    visit(change);
  }
}

std::vector<KeyChange> RegistryChanges() {
  std::vector<KeyChange> changes;
  VisitRegistryChanges([&changes](const KeyChange& change) { changes.push_back(change); });
  return changes;
}

void RollBackRegistry() {
  detail::Guard guard(detail::StateLock());
  RegistryState& registry = Registry();
  registry.noting = false;
  using Note = std::pair<const NotePlace, NotedKey>;
  std::vector<const Note*> order;
  for (const Note& note : registry.noted) order.push_back(&note);
  // Parents before their subkeys.
  const auto depth = [](const Note* n) {
    const std::u16string& path = n->first.second;
    return std::count(path.begin(), path.end(), u'\\');
  };
  std::stable_sort(order.begin(), order.end(),
                   [&](const Note* a, const Note* b) { return depth(a) < depth(b); });
  const auto remove = [](const KeyPtr& key) {
    MarkDeleted(*key);
    Unlink(*key);
  };
  // Keys made since go (with everything below them, all made since too).
  for (const Note* note : order) {
    const auto& [root, path] = note->first;
    if (note->second.existed || path.empty()) continue;
    std::vector<std::u16string> parts;
    SplitPath(path, &parts);
    if (KeyPtr key = Walk(registry.roots[root], parts)) remove(key);
  }
  // Keys that were there come back as they were. One spelled otherwise now
  // was deleted and made again since: what is below it now was made since
  // too, and what was below it then is noted.
  for (const Note* note : order) {
    const auto& [root, path] = note->first;
    if (!note->second.existed) continue;
    std::vector<std::u16string> parts;
    SplitPath(path, &parts);
    KeyPtr key = Walk(registry.roots[root], parts);
    if (key && !parts.empty() && key->name != parts.back()) {
      remove(key);
      key = nullptr;
    }
    if (!key) key = LocateOrCreate(reinterpret_cast<HKEY>(kFirstRoot + root), path);
    if (key) key->values.Assign(note->second.values);
  }
  registry.noted.clear();
}

KeyContents ReadKey(HKEY root, const std::u16string& path) {
  detail::Guard guard(detail::StateLock());
  KeyContents contents;
  KeyPtr key = Locate(root, path);
  if (!key) return contents;
  contents.exists = true;
  for (const KeyPtr& child : key->subkeys) contents.subkeys.push_back(child->name);
  contents.values = key->values.Copy();
  return contents;
}

}  // namespace emu

namespace sys {

using emu::detail::CallFails;
using emu::detail::Guard;
using emu::detail::StateLock;

LONG RegCreateKeyExW(HKEY parent, const char16_t* name, DWORD /*reserved*/, char16_t* /*className*/,
                     DWORD /*options*/, REGSAM access, SECURITY_ATTRIBUTES* /*security*/, HKEY* result,
                     DWORD* disposition) {
  std::int32_t code = 0;
  if (result) *result = nullptr;
  if (CallFails(emu::Call::RegCreateKeyExW, &code)) return code;
  if (!result) return ERROR_INVALID_PARAMETER;
  Guard guard(StateLock());
  emu::Handle handle;
  std::vector<std::u16string> parts;
  LONG status = emu::ResolvePath(parent, name, &handle, &parts);
  if (status != ERROR_SUCCESS) return status;
  access = emu::MapGeneric(access);
  emu::KeyPtr key;
  bool created = false;
  status =
      emu::CreatePath(handle.key, parts, (emu::Effective(handle) & KEY_CREATE_SUB_KEY) != 0, &key, &created);
  if (status != ERROR_SUCCESS) return status;
  if (!created) {
    status = emu::CheckOpen(*key, access);
    if (status != ERROR_SUCCESS) return status;
  }
  *result = emu::NewHandle(key, access);
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LONG RegOpenKeyExW(HKEY parent, const char16_t* name, DWORD /*options*/, REGSAM access, HKEY* result) {
  std::int32_t code = 0;
  if (result) *result = nullptr;
  if (CallFails(emu::Call::RegOpenKeyExW, &code)) return code;
  if (!result) return ERROR_INVALID_PARAMETER;
  Guard guard(StateLock());
  emu::Handle handle;
  std::vector<std::u16string> parts;
  LONG status = emu::ResolvePath(parent, name, &handle, &parts);
  if (status != ERROR_SUCCESS) return status;
  emu::KeyPtr key = emu::Walk(handle.key, parts);
  if (!key) return ERROR_FILE_NOT_FOUND;
  access = emu::MapGeneric(access);
  status = emu::CheckOpen(*key, access);
  if (status != ERROR_SUCCESS) return status;
  *result = emu::NewHandle(key, access);
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
  std::int32_t code = 0;
  if (CallFails(emu::Call::RegCloseKey, &code)) return code;
  if (emu::IsPredefined(key)) return ERROR_SUCCESS;
  Guard guard(StateLock());
  return emu::Registry().handles.erase(reinterpret_cast<std::uintptr_t>(key)) ? ERROR_SUCCESS
                                                                              : ERROR_INVALID_HANDLE;
}

LONG RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* nameLength) {
  std::int32_t code = 0;
  if (CallFails(emu::Call::RegEnumKeyExW, &code)) return code;
  Guard guard(StateLock());
  emu::Handle handle;
  LONG status = emu::Resolve(key, &handle);
  if (status == ERROR_SUCCESS) status = emu::Require(handle, KEY_ENUMERATE_SUB_KEYS);
  if (status != ERROR_SUCCESS) return status;
  if (!nameLength) return ERROR_INVALID_PARAMETER;
  // Subkeys come back ordered by their case-folded names, whatever the order
  // of creation.
  const auto& ordered = handle.key->byFoldedName;
  if (index >= ordered.size()) return ERROR_NO_MORE_ITEMS;
  const std::u16string& found = (*std::next(ordered.begin(), index)->second)->name;
  if (found.size() >= *nameLength) return ERROR_MORE_DATA;
  if (!name) return ERROR_INVALID_PARAMETER;
  std::memcpy(name, found.c_str(), (found.size() + 1) * sizeof(char16_t));
  *nameLength = static_cast<DWORD>(found.size());
  return ERROR_SUCCESS;
}

LONG RegDeleteKeyW(HKEY parent, const char16_t* name) {
  std::int32_t code = 0;
  if (CallFails(emu::Call::RegDeleteKeyW, &code)) return code;
  Guard guard(StateLock());
  emu::Handle handle;
  std::vector<std::u16string> parts;
  LONG status = emu::ResolvePath(parent, name, &handle, &parts);
  if (status != ERROR_SUCCESS) return status;
  emu::KeyPtr key = emu::Walk(handle.key, parts);
  if (!key) return ERROR_FILE_NOT_FOUND;
  // A key with subkeys is refused; the caller deletes the leaves first.
  if (key->isRoot || key->unreadable || key->readOnly || !key->subkeys.empty()) {
    return ERROR_ACCESS_DENIED;
  }
  emu::NoteTree(*key);
  emu::MarkDeleted(*key);
  emu::Unlink(*key);
  return ERROR_SUCCESS;
}

LONG RegDeleteValueW(HKEY key, const char16_t* name) {
  std::int32_t code = 0;
  if (CallFails(emu::Call::RegDeleteValueW, &code)) return code;
  Guard guard(StateLock());
  emu::Handle handle;
  LONG status = emu::Resolve(key, &handle);
  if (status == ERROR_SUCCESS) status = emu::Require(handle, KEY_SET_VALUE);
  if (status != ERROR_SUCCESS) return status;
  const std::u16string valueName = emu::Text(name);
  if (!handle.key->values.Find(valueName)) return ERROR_FILE_NOT_FOUND;
  emu::Note(*handle.key, true);
  handle.key->values.Erase(valueName);
  return ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY key, const char16_t* name, DWORD* type, BYTE* data, DWORD* size) {
  std::int32_t code = 0;
  if (CallFails(emu::Call::RegQueryValueExW, &code)) return code;
  Guard guard(StateLock());
  emu::Handle handle;
  LONG status = emu::Resolve(key, &handle);
  if (status == ERROR_SUCCESS) status = emu::Require(handle, KEY_QUERY_VALUE);
  if (status != ERROR_SUCCESS) return status;
  if (data && !size) return ERROR_INVALID_PARAMETER;
  const emu::Value* value = handle.key->values.Find(emu::Text(name));
  if (!value) return ERROR_FILE_NOT_FOUND;
  if (type) *type = value->type;
  if (!size) return ERROR_SUCCESS;
  const DWORD capacity = *size;
  *size = static_cast<DWORD>(value->data.size());
  if (!data) return ERROR_SUCCESS;
  if (capacity < value->data.size()) return ERROR_MORE_DATA;
  std::copy(value->data.begin(), value->data.end(), data);
  return ERROR_SUCCESS;
}

LONG RegQueryInfoKeyW(HKEY key, DWORD* subKeyCount) {
  std::int32_t code = 0;
  if (CallFails(emu::Call::RegQueryInfoKeyW, &code)) return code;
  Guard guard(StateLock());
  emu::Handle handle;
  LONG status = emu::Resolve(key, &handle);
  if (status == ERROR_SUCCESS) status = emu::Require(handle, KEY_QUERY_VALUE);
  if (status != ERROR_SUCCESS) return status;
  if (subKeyCount) *subKeyCount = static_cast<DWORD>(handle.key->subkeys.size());
  return ERROR_SUCCESS;
}

LONG RegSetValueExW(HKEY key, const char16_t* name, DWORD /*reserved*/, DWORD type, const BYTE* data,
                    DWORD size) {
  std::int32_t code = 0;
  if (CallFails(emu::Call::RegSetValueExW, &code)) return code;
  Guard guard(StateLock());
  emu::Handle handle;
  LONG status = emu::Resolve(key, &handle);
  if (status == ERROR_SUCCESS) status = emu::Require(handle, KEY_SET_VALUE);
  if (status != ERROR_SUCCESS) return status;
  if (!data && size > 0) return ERROR_NOACCESS;
  emu::StoreValue(*handle.key, emu::Text(name), type, data, data ? size : 0);
  return ERROR_SUCCESS;
}

LONG RegOverridePredefKey(HKEY key, HKEY newKey) {
  std::int32_t code = 0;
  if (CallFails(emu::Call::RegOverridePredefKey, &code)) return code;
  Guard guard(StateLock());
  // HKEY_DYN_DATA is not among the keys Windows lets a process override, and
  // the new key may not be a predefined one.
  if (!emu::IsPredefined(key) || key == HKEY_DYN_DATA || emu::IsPredefined(newKey)) {
    return ERROR_INVALID_HANDLE;
  }
  emu::Handle target{};
  if (newKey) {
    // The override keeps its own reference: closing `newKey` leaves it working.
    LONG status = emu::Resolve(newKey, &target);
    if (status != ERROR_SUCCESS) return status;
  }
  emu::Registry().overrides[reinterpret_cast<std::uintptr_t>(key) - emu::kFirstRoot] = target;
  return ERROR_SUCCESS;
}

}  // namespace sys
