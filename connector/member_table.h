// The member names of one page object and their DISPIDs. Lookups never reach
// the page: a name gets its DISPID here the first time it is asked for, and
// keeps it for the object's life. Names match case-insensitively (ordinal),
// as a script engine's lookup does; the spelling first asked for is the one
// the page is called with.
//
// Local members hold their value here and never cross to the page: the
// server's handle member (contract::kHandleMember, whatever the case), and every name
// first created through IDispatchEx::GetDispID with fdexNameEnsure.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <dispex.h>

#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "base/unique_resource.h"
#include "vaduna_contract.h"

namespace vaduna::connector {

class MemberTable {
 public:
  struct Member {
    std::wstring name;
    bool local = false;
  };

  // The DISPID of name, giving it one (remote, or local for the handle member) when it is new. With ensure,
  // a new name becomes a local member holding VT_EMPTY, and so does a local member without a value; a
  // remote member stays remote.
  // DISP_E_UNKNOWNNAME when the name is too long or the table is full; E_OUTOFMEMORY.
  HRESULT IdOf(std::wstring_view name, bool ensure, DISPID* id) noexcept;

  // The DISPID name already has; nothing (and no new entry) when it has none.
  std::optional<DISPID> Lookup(std::wstring_view name) const;

  // The member behind id; nothing when id was never given out.
  std::optional<Member> Find(DISPID id) const;

  // A local member's value: DISP_E_MEMBERNOTFOUND while it has none (never written, or deleted).
  HRESULT Read(DISPID id, VARIANT* value) const noexcept;
  // Stores a copy of value (read through VT_BYREF) in a local member.
  HRESULT Write(DISPID id, const VARIANT& value) noexcept;
  // Forgets a local member's value; its DISPID stays. S_FALSE for a remote member, which cannot be deleted here.
  HRESULT Delete(DISPID id) noexcept;

  // Enumeration in DISPID order: the first id after `after` (DISPID_STARTENUM to begin); S_FALSE at the end.
  HRESULT Next(DISPID after, DISPID* next) const noexcept;

  std::size_t size() const;

 private:
  struct Entry {
    std::wstring name;
    bool local = false;
    bool hasValue = false;
    UniqueVariant value;
  };

  // DISPID n is entries_[n - 1]; entries are never removed.
  Entry* At(DISPID id) noexcept;
  const Entry* At(DISPID id) const noexcept;

  mutable SRWLOCK lock_ = SRWLOCK_INIT;
  std::deque<Entry> entries_;
};

}  // namespace vaduna::connector
