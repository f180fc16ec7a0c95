// The emulated machine a check runs on, as one scoped object: constructing a
// session empties the emulator (registry, files, boxes, the module's name),
// and nothing else does; marking the registry, taking its changes and rolling
// it back are the session's own steps. The order a check depends on (the
// registry to start from first, then the runs over it) is thus in the types.
#pragma once

#include "platform/emulated/emulator.h"
#include "registry/registry_state.h"

namespace check {

class EmulatorSession {
 public:
  EmulatorSession() { emu::Reset(); }
  EmulatorSession(const EmulatorSession&) = delete;
  EmulatorSession& operator=(const EmulatorSession&) = delete;

  /// A fresh machine over the registry the session holds: files, boxes, the
  /// module's name and any override of HKEY_CLASSES_ROOT go.
  void NewMachineKeepingRegistry() { emu::ResetKeepingRegistry(); }
  /// Marks the registry as it is now: TakeChanges and RollBack start from here.
  void Mark() { emu::MarkRegistry(); }
  /// The registry now, as its changes since the mark.
  Changes TakeChanges() const { return check::TakeChanges(); }
  /// Puts the registry back as it was at the mark.
  void RollBack() { emu::RollBackRegistry(); }
};

}  // namespace check
