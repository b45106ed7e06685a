#include "object_model/wrapper_registry.h"

#include <new>
#include <unordered_map>

#include "base/unique_resource.h"

namespace vaduna::wrapper_registry {
namespace {

struct Table {
  SRWLOCK lock = SRWLOCK_INIT;
  ULONG lastId = 0;  // ids only grow: a stale handle can never name a newer wrapper
  std::unordered_map<LONG, ServerObjectBase*> live;
};

Table& TheTable() noexcept {
  // Never destroyed: a wrapper's clean-up may still reach it while the
  // process's exit processing runs.
  static Table* const table = new Table();
  return *table;
}

}  // namespace

LONG Add(ServerObjectBase* wrapper) noexcept {
  Table& table = TheTable();
  SrwExclusive hold(table.lock);
  // 0 means "no wrapper"; after 2^32 ids a number could come round again,
  // and a live id is never given twice.
  LONG id = 0;
  do {
    id = static_cast<LONG>(++table.lastId);
  } while (id == 0 || table.live.count(id) != 0);
  try {
    table.live.emplace(id, wrapper);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return id;
}

void Remove(LONG id) noexcept {
  Table& table = TheTable();
  SrwExclusive hold(table.lock);
  table.live.erase(id);
}

IUnknown* WithLiveWrapper(LONG id, Accept accept, void* context) noexcept {
  if (id == 0) return nullptr;
  Table& table = TheTable();
  SrwShared hold(table.lock);
  const auto found = table.live.find(id);
  if (found == table.live.end()) return nullptr;
  return accept(*found->second, context);
}

}  // namespace vaduna::wrapper_registry
