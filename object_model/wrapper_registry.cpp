#include "object_model/wrapper_registry.h"

#include <new>

#include "base/unique_resource.h"

namespace vaduna {

LONG WrapperRegistry::Add(ScriptWrapper* wrapper) noexcept {
  SrwExclusive hold(lock_);
  // 0 means "no wrapper"; after 2^32 ids a number could come round again,
  // and a live id is never given twice.
  LONG id = 0;
  do {
    id = static_cast<LONG>(++lastId_);
  } while (id == 0 || live_.count(id) != 0);
  try {
    live_.emplace(id, wrapper);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return id;
}

void WrapperRegistry::Remove(LONG id) noexcept {
  SrwExclusive hold(lock_);
  live_.erase(id);
}

IUnknown* WrapperRegistry::WithLiveWrapper(LONG id, Accept accept, void* context) noexcept {
  if (id == 0) return nullptr;
  SrwShared hold(lock_);
  const auto found = live_.find(id);
  if (found == live_.end()) return nullptr;
  return accept(*found->second, context);
}

}  // namespace vaduna
