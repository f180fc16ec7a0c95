// The checker's one way into the emulated platform: the machine a check sets up, and the registry it reads,
// marks, compares and puts back.
#include "registry/emulator_session.h"

#include "platform/emulated/emulator.h"
#include "platform/platform.h"
#include "registrar/script_grammar.h"
#include "registry/registry_state.h"
#include "text/text.h"

namespace check {
namespace {

// Whether a snapshot lists the key `below`: any key but a root, a root only with values.
bool Listed(const std::u16string& below, bool exists, const std::vector<emu::Value>& values) {
  return exists && (!below.empty() || !values.empty());
}

RegKey MakeKey(std::u16string path, const std::vector<emu::Value>& values) {
  RegKey key{std::move(path), {}};
  for (const emu::Value& v : values) key.values[FoldCase(v.name)] = {v.name, v.type, v.data};
  return key;
}

std::size_t CountTree(HKEY root, const std::u16string& below) {
  const emu::KeyContents contents = emu::ReadKey(root, below);
  std::size_t count = Listed(below, contents.exists, contents.values) ? 1 : 0;
  for (const std::u16string& child : contents.subkeys) count += CountTree(root, JoinKeyPath(below, child));
  return count;
}

}  // namespace

EmulatorSession::EmulatorSession() { emu::Reset(); }

void EmulatorSession::NewMachineKeepingRegistry() { emu::ResetKeepingRegistry(); }

void EmulatorSession::SetModulePath(const std::u16string& path) {
  emu::SetModuleFileName(sys::ThisModule(), path);
}

void EmulatorSession::PutFile(const std::u16string& path, std::shared_ptr<const std::string> bytes) {
  emu::PutFile(path, std::move(bytes));
}

void EmulatorSession::PutDirectory(const std::u16string& path) { emu::PutDirectory(path); }

std::u16string EmulatorSession::LastOpenedPath() const {
  const std::vector<std::u16string>& opened = emu::OpenedPaths();
  return opened.empty() ? u"" : opened.back();
}

std::size_t EmulatorSession::BoxCount() const { return emu::MessageBoxes().size(); }

std::vector<ShownBox> EmulatorSession::BoxesFrom(std::size_t first) const {
  std::vector<ShownBox> boxes;
  const std::vector<emu::MessageBoxRecord>& shown = emu::MessageBoxes();
  for (std::size_t i = first; i < shown.size(); ++i) boxes.push_back({shown[i].caption, shown[i].text});
  return boxes;
}

void EmulatorSession::Restore(const RegKey& key) {
  HKEY root = nullptr;
  std::u16string below;
  if (!SplitKeyPath(key.path, &root, &below)) return;
  // Setting a value makes its key; only a key without values needs its own call.
  if (!below.empty() && key.values.empty()) emu::CreateKey(root, below);
  for (const auto& [name, value] : key.values) emu::SetValue(root, below, value.name, value.type, value.data);
}

void EmulatorSession::Restore(const Snapshot& snapshot) {
  for (const auto& [folded, key] : snapshot) Restore(key);
}

bool EmulatorSession::ReadRegKey(const std::u16string& path, RegKey* key) const {
  HKEY root = nullptr;
  std::u16string below;
  if (!SplitKeyPath(path, &root, &below)) return false;
  const emu::KeyContents contents = emu::ReadKey(root, below);
  if (!Listed(below, contents.exists, contents.values)) return false;
  *key = MakeKey(path, contents.values);
  return true;
}

std::size_t EmulatorSession::CountKeys() const {
  std::size_t count = 0;
  for (const RootKeyRow& row : RootKeyTable) {
    if (row.name == ShortRootName(row.key) && RootHoldsKeys(row.key)) count += CountTree(row.key, u"");
  }
  return count;
}

void EmulatorSession::Mark() { emu::MarkRegistry(); }

Changes EmulatorSession::TakeChanges() const {
  Changes changes;
  // One change at a time: the registry's notes are not copied whole first.
  emu::VisitRegistryChanges([&changes](const emu::KeyChange& c) {
    const std::u16string root = LongRootName(c.root);
    if (root.empty() || !RootHoldsKeys(c.root)) return;
    const bool was = Listed(c.before, c.existed, c.valuesBefore);
    const std::u16string folded = FoldCase(JoinKeyPath(root, c.before));
    if (Listed(c.now, c.exists, c.values)) {
      RegKey now = MakeKey(JoinKeyPath(root, c.now), c.values);
      if (!was || now.values != MakeKey(u"", c.valuesBefore).values) {
        changes.changed.emplace(folded, std::move(now));
      }
    } else if (was) {
      changes.deleted.insert(folded);
    }
    if (was) changes.was.emplace(folded, MakeKey(JoinKeyPath(root, c.before), c.valuesBefore));
  });
  return changes;
}

void EmulatorSession::RollBack() { emu::RollBackRegistry(); }

}  // namespace check
