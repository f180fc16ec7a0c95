// Registration and removal of one module file take turns across processes:
// two runs at once would interleave their key writes, and one run's undoing of
// a failed block could delete keys the other had just written.
#pragma once

#include "platform/platform.h"
#include "platform/unique_resource.h"

/// Waits for, and holds until it goes away, the turn of the module file at
/// `moduleLongPath`: a named mutex whose name is derived from the path without
/// regard to ASCII letter case or slash direction, shared by every process and
/// session. Should no mutex be had (the system refuses one), the run goes on
/// without a turn, as it would have without this; a mutex left by a process
/// that ended while holding it is taken over.
class CRegistrationTurn {
 public:
  explicit CRegistrationTurn(const char16_t* moduleLongPath);
  CRegistrationTurn(const CRegistrationTurn&) = delete;
  CRegistrationTurn& operator=(const CRegistrationTurn&) = delete;

  /// Whether this run holds the turn.
  bool Held() const { return static_cast<bool>(held_); }

 private:
  CUniqueHandle mutex_;
  CHeldMutex held_;  // given back before mutex_ is closed
};

/// The mutex name of the module file at `moduleLongPath`:
/// "Global\StubRegistration-" and 16 hexadecimal digits. `name` holds kTurnNameCapacity units.
inline constexpr int kTurnNameCapacity = 41;
void RegistrationTurnName(const char16_t* moduleLongPath, char16_t (&name)[kTurnNameCapacity]);
