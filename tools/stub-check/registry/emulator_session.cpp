// The emulated machine of one check.
#include "registry/emulator_session.h"

#include "platform/emulated/emulator.h"

namespace check {

EmulatorSession::EmulatorSession() { emu::Reset(); }

void EmulatorSession::NewMachineKeepingRegistry() { emu::ResetKeepingRegistry(); }

void EmulatorSession::Mark() { emu::MarkRegistry(); }

Changes EmulatorSession::TakeChanges() const { return check::TakeChanges(); }

void EmulatorSession::RollBack() { emu::RollBackRegistry(); }

}  // namespace check
