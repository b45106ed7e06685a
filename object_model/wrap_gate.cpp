#include "object_model/wrap_gate.h"

#include <new>

#include "base/unique_resource.h"

namespace vaduna {

WrapGate::WrapGate(WrapGates& gates, IUnknown* identity) noexcept : gates_(gates), identity_(nullptr) {
  Enter(identity, true);
}

WrapGate::WrapGate(WrapGates& gates, IUnknown* identity, NoWait) noexcept : gates_(gates), identity_(nullptr) {
  Enter(identity, false);
}

void WrapGate::Enter(IUnknown* identity, bool wait) noexcept {
  if (identity == nullptr) return;
  const DWORD self = ::GetCurrentThreadId();
  SrwExclusive hold(gates_.lock_);
  WrapGates::Gate* gate = nullptr;
  try {
    gate = &gates_.gates_[identity];
  } catch (const std::bad_alloc&) {
    return;  // without memory for a gate the call goes on ungated
  }
  // A busy gate has users, so its entry stays for them.
  if (!wait && gate->depth != 0 && gate->holder != self) return;
  ++gate->users;
  while (gate->depth != 0 && gate->holder != self) {
    ::SleepConditionVariableSRW(&gates_.freed_, &gates_.lock_, INFINITE, 0);
    gate = &gates_.gates_.find(identity)->second;  // the entry stays while we are one of its users
  }
  gate->holder = self;
  ++gate->depth;
  identity_ = identity;
}

WrapGate::~WrapGate() {
  if (identity_ == nullptr) return;
  {
    SrwExclusive hold(gates_.lock_);
    WrapGates::Gate& gate = gates_.gates_.find(identity_)->second;
    if (--gate.depth == 0) gate.holder = 0;
    if (--gate.users == 0) gates_.gates_.erase(identity_);
  }
  ::WakeAllConditionVariable(&gates_.freed_);
}

}  // namespace vaduna
