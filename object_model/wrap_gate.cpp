#include "object_model/wrap_gate.h"

#include <new>
#include <unordered_map>

#include "base/unique_resource.h"

namespace vaduna {
namespace {

struct Gate {
  DWORD holder = 0;  // thread id; 0 while free
  ULONG depth = 0;   // re-entries of the holder
  ULONG users = 0;   // the holder and the waiters; the entry goes at 0
};

struct GateTable {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE freed = CONDITION_VARIABLE_INIT;
  std::unordered_map<IUnknown*, Gate> gates;
};

// Never destroyed: a call may still pass a gate while the process ends.
GateTable& Table() noexcept {
  static GateTable* const table = new GateTable();
  return *table;
}

}  // namespace

WrapGate::WrapGate(IUnknown* identity) noexcept : identity_(nullptr) {
  if (identity == nullptr) return;
  GateTable& table = Table();
  const DWORD self = ::GetCurrentThreadId();
  SrwExclusive hold(table.lock);
  Gate* gate = nullptr;
  try {
    gate = &table.gates[identity];
  } catch (const std::bad_alloc&) {
    return;  // without memory for a gate the call goes on ungated
  }
  ++gate->users;
  while (gate->depth != 0 && gate->holder != self) {
    ::SleepConditionVariableSRW(&table.freed, &table.lock, INFINITE, 0);
    gate = &table.gates.find(identity)->second;  // the entry stays while we are one of its users
  }
  gate->holder = self;
  ++gate->depth;
  identity_ = identity;
}

WrapGate::~WrapGate() {
  if (identity_ == nullptr) return;
  GateTable& table = Table();
  {
    SrwExclusive hold(table.lock);
    Gate& gate = table.gates.find(identity_)->second;
    if (--gate.depth == 0) gate.holder = 0;
    if (--gate.users == 0) table.gates.erase(identity_);
  }
  ::WakeAllConditionVariable(&table.freed);
}

}  // namespace vaduna
