// The emulated machine a check runs on, as one scoped object: only making a session empties the emulator
// (registry, files, boxes, the module's name): the order a check depends on (registry, then runs) is typed.
#pragma once

#include "platform/emulated/emulator.h"
#include "registry/registry_state.h"

namespace check {

class EmulatorSession {
 public:
  EmulatorSession() { emu::Reset(); }
  EmulatorSession(const EmulatorSession&) = delete;
  EmulatorSession& operator=(const EmulatorSession&) = delete;

  /// A fresh machine over the session's registry: files, boxes, the module's name, HKCR overrides go.
  void NewMachineKeepingRegistry() { emu::ResetKeepingRegistry(); }
  /// Marks the registry as it is now: TakeChanges and RollBack start from here.
  void Mark() { emu::MarkRegistry(); }
  /// The registry now, as its changes since the mark.
  Changes TakeChanges() const { return check::TakeChanges(); }
  /// Puts the registry back as it was at the mark.
  void RollBack() { emu::RollBackRegistry(); }
};

}  // namespace check
