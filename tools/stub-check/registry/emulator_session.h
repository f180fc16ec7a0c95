// The emulated machine a check runs on, as one scoped object: the only way the checker reaches the emulator.
// Only making a session empties it (registry, files, boxes, the module's name), and every question the
// checker asks of it is a method here, so the order a check depends on (registry, then runs) is typed.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "registry/registry_state.h"

namespace check {

/// A message box the module showed.
struct ShownBox {
  std::u16string caption;
  std::u16string text;
};

class EmulatorSession {
 public:
  EmulatorSession();
  EmulatorSession(const EmulatorSession&) = delete;
  EmulatorSession& operator=(const EmulatorSession&) = delete;

  // ---- The machine around the registry

  /// A fresh machine over the session's registry: files, boxes, the module's name, HKCR overrides go.
  void NewMachineKeepingRegistry();
  /// The file name the module finds for itself.
  void SetModulePath(const std::u16string& path);
  /// A file at a Windows path, holding `bytes` with the caller; a folder at `path`.
  void PutFile(const std::u16string& path, std::shared_ptr<const std::string> bytes);
  void PutDirectory(const std::u16string& path);
  /// The path the module opened last since the machine was made; empty for none.
  std::u16string LastOpenedPath() const;
  /// How many boxes the module has shown since the machine was made, and those from the `first` on.
  std::size_t BoxCount() const;
  std::vector<ShownBox> BoxesFrom(std::size_t first) const;

  // ---- The registry

  /// Adds every key and value of `snapshot`, or of one key, to the registry.
  void Restore(const Snapshot& snapshot);
  void Restore(const RegKey& key);
  /// The key at `path` ("HKEY_CLASSES_ROOT\a") now; false if a snapshot would not list it.
  bool ReadRegKey(const std::u16string& path, RegKey* key) const;
  /// How many keys a snapshot of the registry would list now.
  std::size_t CountKeys() const;
  /// Marks the registry as it is now: TakeChanges and RollBack start from here.
  void Mark();
  /// The registry now, as its changes since the mark.
  Changes TakeChanges() const;
  /// Puts the registry back as it was at the mark.
  void RollBack();
};

}  // namespace check
