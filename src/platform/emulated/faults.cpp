// Fault injection, call counting and the reset of all emulated state.
#include <array>
#include <vector>

#include "platform/emulated/internal.h"

namespace emu {
namespace {

struct ArmedFault {
  Call call;
  int remaining;  // calls to let through before this one fires (1 = the next)
  std::int32_t code;
};

struct FaultState {
  std::array<int, static_cast<std::size_t>(Call::kCount)> callCounts{};
  std::vector<ArmedFault> armed;
  std::vector<int> armedAllocations;  // countdowns, 1 = the next allocation
  int allocations = 0;
};

FaultState& Faults() {
  static FaultState state;
  return state;
}

}  // namespace

namespace detail {

std::recursive_mutex& StateLock() {
  static std::recursive_mutex lock;
  return lock;
}

bool CallFails(Call call, std::int32_t* code) {
  Guard guard(StateLock());
  FaultState& faults = Faults();
  ++faults.callCounts[static_cast<std::size_t>(call)];
  bool fails = false;
  for (auto it = faults.armed.begin(); it != faults.armed.end();) {
    if (it->call == call && --it->remaining == 0) {
      if (!fails) {
        fails = true;
        *code = it->code;
      }
      it = faults.armed.erase(it);
    } else {
      ++it;
    }
  }
  return fails;
}

bool AllocationFails() {
  Guard guard(StateLock());
  FaultState& faults = Faults();
  ++faults.allocations;
  bool fails = false;
  for (auto it = faults.armedAllocations.begin(); it != faults.armedAllocations.end();) {
    if (--*it == 0) {
      fails = true;
      it = faults.armedAllocations.erase(it);
    } else {
      ++it;
    }
  }
  return fails;
}

void ResetFaults() { Faults() = FaultState(); }

}  // namespace detail

void FailCall(Call call, int nth, std::int32_t code) {
  if (nth < 1 || call == Call::kCount) return;
  detail::Guard guard(detail::StateLock());
  Faults().armed.push_back({call, nth, code});
}

void FailAllocation(int nth) {
  if (nth < 1) return;
  detail::Guard guard(detail::StateLock());
  Faults().armedAllocations.push_back(nth);
}

void ClearFaults() {
  detail::Guard guard(detail::StateLock());
  Faults().armed.clear();
  Faults().armedAllocations.clear();
}

int CallCount(Call call) {
  if (call == Call::kCount) return 0;
  detail::Guard guard(detail::StateLock());
  return Faults().callCounts[static_cast<std::size_t>(call)];
}

int AllocationCount() {
  detail::Guard guard(detail::StateLock());
  return Faults().allocations;
}

void Reset() {
  detail::Guard guard(detail::StateLock());
  detail::ResetFaults();
  detail::ResetRegistry();
  detail::ResetFiles();
  detail::ResetModules();
  detail::ResetCom();
  detail::ResetKernel();
}

void ResetKeepingRegistry() {
  detail::Guard guard(detail::StateLock());
  detail::ResetFaults();
  detail::ResetRegistryKeepingKeys();
  detail::ResetFiles();
  detail::ResetModules();
  detail::ResetCom();
  detail::ResetKernel();
}

}  // namespace emu
