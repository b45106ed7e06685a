#include "connector/object_table.h"

#include <new>

#include "base/unique_resource.h"

namespace vaduna::connector {

using Microsoft::WRL::ComPtr;

HRESULT ObjectTable::Receive(const std::shared_ptr<PageObjectOwner>& owner, std::uint64_t id,
                             PageObject** object) noexcept {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  SrwExclusive hold(lock_);
  if (closed_) return RPC_E_DISCONNECTED;
  try {
    // The entry is made first: once the object exists, nothing can fail any more.
    const auto [entry, inserted] = objects_.try_emplace(id, nullptr);
    if (!inserted && entry->second->TryAddRef()) {
      ++entry->second->receipts;
      *object = entry->second;
      return S_OK;
    }
    PageObject* created = nullptr;
    const HRESULT hr = PageObject::Create(owner, id, &created);
    if (FAILED(hr)) {
      if (inserted) objects_.erase(entry);
      return hr;
    }
    created->receipts = 1;
    // An object being destroyed is replaced here; its release is sent with its own count.
    entry->second = created;
    *object = created;
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

std::optional<std::uint64_t> ObjectTable::IdOf(const PageObject& object) const noexcept {
  SrwShared hold(lock_);
  const auto found = objects_.find(object.id());
  if (found == objects_.end() || found->second != &object) return std::nullopt;
  return object.id();
}

std::optional<std::uint64_t> ObjectTable::Forget(PageObject& object) noexcept {
  SrwExclusive hold(lock_);
  const auto found = objects_.find(object.id());
  if (found != objects_.end() && found->second == &object) objects_.erase(found);
  if (closed_) return std::nullopt;
  return object.receipts;
}

void ObjectTable::Close() noexcept {
  SrwExclusive hold(lock_);
  closed_ = true;
}

bool ObjectTable::closed() const noexcept {
  SrwShared hold(lock_);
  return closed_;
}

std::vector<ComPtr<PageObject>> ObjectTable::Live() const {
  std::vector<ComPtr<PageObject>> live;
  SrwShared hold(lock_);
  live.reserve(objects_.size());
  for (const auto& [id, object] : objects_) {
    if (!object->TryAddRef()) continue;  // already going
    ComPtr<PageObject> held;
    *held.ReleaseAndGetAddressOf() = object;  // takes over the reference just added
    live.push_back(std::move(held));
  }
  return live;
}

std::size_t ObjectTable::size() const noexcept {
  SrwShared hold(lock_);
  return objects_.size();
}

}  // namespace vaduna::connector
