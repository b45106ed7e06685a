// The (name, value) pairs that replace %name% in a registry script.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "base/unique_resource.h"

namespace vaduna {

// Ordered pairs; duplicates are kept and the first pair added under a name
// wins a lookup. Every operation, lookups included, holds the table's lock.
class PlaceholderTable {
 public:
  // Throws HResultError (E_OUTOFMEMORY or E_FAIL) when the lock cannot be made.
  PlaceholderTable();
  ~PlaceholderTable();
  PlaceholderTable(const PlaceholderTable&) = delete;
  PlaceholderTable& operator=(const PlaceholderTable&) = delete;

  // E_INVALIDARG for a missing name or value; E_OUTOFMEMORY adds nothing.
  HRESULT Add(const wchar_t* name, const wchar_t* value) noexcept;
  void Clear() noexcept;

  // Calls use(value) with the value of the first pair whose name equals name
  // case-insensitively, under the lock; false when there is none.
  template <typename Use>
  bool Lookup(const wchar_t* name, Use&& use) const {
    CriticalSectionGuard guard(lock_);
    for (size_t i = 0; i < names_.size(); ++i) {
      if (::lstrcmpiW(names_[i].c_str(), name) == 0) {
        use(values_[i].c_str());
        return true;
      }
    }
    return false;
  }

 private:
  std::vector<std::wstring> names_;
  std::vector<std::wstring> values_;
  mutable CRITICAL_SECTION lock_;
};

}  // namespace vaduna
