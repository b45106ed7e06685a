#include "connector/member_table.h"

#include <oleauto.h>

#include <new>

#include "connector/limits.h"

namespace vaduna::connector {

namespace {

bool SameName(std::wstring_view a, std::wstring_view b) noexcept {
  return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

}  // namespace

MemberTable::Entry* MemberTable::At(DISPID id) noexcept {
  if (id < 1 || static_cast<std::size_t>(id) > entries_.size()) return nullptr;
  return &entries_[static_cast<std::size_t>(id) - 1];
}

const MemberTable::Entry* MemberTable::At(DISPID id) const noexcept {
  if (id < 1 || static_cast<std::size_t>(id) > entries_.size()) return nullptr;
  return &entries_[static_cast<std::size_t>(id) - 1];
}

HRESULT MemberTable::IdOf(std::wstring_view name, bool ensure, DISPID* id) noexcept {
  if (id == nullptr) return E_POINTER;
  *id = DISPID_UNKNOWN;
  if (name.empty() || name.size() > kMaxMemberNameLength) return DISP_E_UNKNOWNNAME;
  SrwExclusive hold(lock_);
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (SameName(entries_[i].name, name)) {
      // Ensuring a local member that has no value (yet, or any more) creates it again.
      if (ensure && entries_[i].local) entries_[i].hasValue = true;
      *id = static_cast<DISPID>(i + 1);
      return S_OK;
    }
  }
  if (entries_.size() >= kMaxMembersPerObject) return DISP_E_UNKNOWNNAME;
  try {
    Entry& entry = entries_.emplace_back();
    entry.name.assign(name);
    entry.local = ensure || SameName(name, contract::kHandleMember);
    entry.hasValue = ensure;  // an ensured member exists, holding VT_EMPTY
  } catch (const std::bad_alloc&) {
    if (!entries_.empty() && entries_.back().name.empty()) entries_.pop_back();
    return E_OUTOFMEMORY;
  }
  *id = static_cast<DISPID>(entries_.size());
  return S_OK;
}

std::optional<DISPID> MemberTable::Lookup(std::wstring_view name) const {
  SrwShared hold(lock_);
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (SameName(entries_[i].name, name)) return static_cast<DISPID>(i + 1);
  }
  return std::nullopt;
}

std::optional<MemberTable::Member> MemberTable::Find(DISPID id) const {
  SrwShared hold(lock_);
  const Entry* entry = At(id);
  if (entry == nullptr) return std::nullopt;
  return Member{entry->name, entry->local};
}

HRESULT MemberTable::Read(DISPID id, VARIANT* value) const noexcept {
  SrwShared hold(lock_);
  const Entry* entry = At(id);
  if (entry == nullptr || !entry->local || !entry->hasValue) return DISP_E_MEMBERNOTFOUND;
  if (value == nullptr) return S_OK;
  return ::VariantCopy(value, const_cast<VARIANT*>(entry->value.get()));
}

HRESULT MemberTable::Write(DISPID id, const VARIANT& value) noexcept {
  UniqueVariant copy;
  const HRESULT copied = ::VariantCopyInd(copy.get(), const_cast<VARIANT*>(&value));
  if (FAILED(copied)) return copied;
  UniqueVariant replaced;
  {
    SrwExclusive hold(lock_);
    Entry* entry = At(id);
    if (entry == nullptr || !entry->local) return DISP_E_MEMBERNOTFOUND;
    // The old value leaves through `replaced`, cleared outside the lock: it may hold an object.
    *replaced.get() = *entry->value.get();
    *entry->value.get() = copy.release();
    entry->hasValue = true;
  }
  return S_OK;
}

HRESULT MemberTable::Delete(DISPID id) noexcept {
  UniqueVariant removed;
  {
    SrwExclusive hold(lock_);
    Entry* entry = At(id);
    if (entry == nullptr) return DISP_E_MEMBERNOTFOUND;
    if (!entry->local) return S_FALSE;
    *removed.get() = entry->value.release();
    entry->hasValue = false;
  }
  return S_OK;
}

HRESULT MemberTable::Next(DISPID after, DISPID* next) const noexcept {
  if (next == nullptr) return E_POINTER;
  *next = DISPID_UNKNOWN;
  SrwShared hold(lock_);
  const DISPID first = after == DISPID_STARTENUM ? 1 : after + 1;
  if (after != DISPID_STARTENUM && At(after) == nullptr) return E_INVALIDARG;
  if (At(first) == nullptr) return S_FALSE;
  *next = first;
  return S_OK;
}

std::size_t MemberTable::size() const {
  SrwShared hold(lock_);
  return entries_.size();
}

}  // namespace vaduna::connector
