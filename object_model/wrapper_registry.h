// The table of live wrappers. A script object's handle member holds a
// wrapper's 32-bit id from this table, never an address: a handle is only
// trusted once the table confirms that it names a live wrapper.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <unordered_map>

namespace vaduna {

class ScriptWrapper;

// One per server context; outlives every wrapper entered in it.
class WrapperRegistry {
 public:
  WrapperRegistry() noexcept = default;
  WrapperRegistry(const WrapperRegistry&) = delete;
  WrapperRegistry& operator=(const WrapperRegistry&) = delete;

  // Enters wrapper under a new non-zero id, never handed out before by this
  // table; 0 when the table cannot grow.
  LONG Add(ScriptWrapper* wrapper) noexcept;

  // Takes id out of the table; later lookups of it find nothing.
  void Remove(LONG id) noexcept;

  // When id names a live wrapper, calls accept(wrapper, context) with the
  // table locked, so the wrapper cannot be freed during the call, and returns
  // its result; null otherwise. accept must not call back into the table.
  using Accept = IUnknown* (*)(ScriptWrapper& wrapper, void* context);
  IUnknown* WithLiveWrapper(LONG id, Accept accept, void* context) noexcept;

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
  ULONG lastId_ = 0;  // ids only grow: a stale handle can never name a newer wrapper
  std::unordered_map<LONG, ScriptWrapper*> live_;
};

}  // namespace vaduna
