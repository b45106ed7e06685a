#include "registration/placeholder_table.h"

#include "base/hresult.h"

namespace vaduna {

PlaceholderTable::PlaceholderTable() {
  if (!::InitializeCriticalSectionAndSpinCount(&lock_, 0)) {
    throw HResultError(::GetLastError() == ERROR_NOT_ENOUGH_MEMORY ? E_OUTOFMEMORY : E_FAIL);
  }
}

PlaceholderTable::~PlaceholderTable() {
  Clear();
  ::DeleteCriticalSection(&lock_);
}

HRESULT PlaceholderTable::Add(const wchar_t* name, const wchar_t* value) noexcept {
  if (name == nullptr || value == nullptr) return E_INVALIDARG;
  CriticalSectionGuard guard(lock_);
  try {
    std::wstring nameCopy(name);
    std::wstring valueCopy(value);
    // Both arrays grow first, so a failure leaves the table as it was.
    names_.reserve(names_.size() + 1);
    values_.reserve(values_.size() + 1);
    names_.push_back(std::move(nameCopy));
    values_.push_back(std::move(valueCopy));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

void PlaceholderTable::Clear() noexcept {
  CriticalSectionGuard guard(lock_);
  names_.clear();
  values_.clear();
}

}  // namespace vaduna
