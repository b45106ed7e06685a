#include "registration/registry_links.h"

#include <winternl.h>

// The native key delete works on the handle it is given: the Win32 deletes
// reopen the key by name and so follow a link to its target.
extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);

namespace vaduna {

LONG OpenKeyAsItself(HKEY parent, const wchar_t* name, REGSAM access, UniqueHkey& key) noexcept {
  return ::RegOpenKeyExW(parent, name, REG_OPTION_OPEN_LINK, access, key.put());
}

bool IsRegistryLink(HKEY key) noexcept {
  DWORD type = REG_NONE;
  return ::RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS &&
         type == REG_LINK;
}

LONG DeleteOpenedKey(HKEY key) noexcept {
  return static_cast<LONG>(::RtlNtStatusToDosError(::NtDeleteKey(key)));
}

LONG DeleteKeyAsItself(HKEY parent, const wchar_t* name) noexcept {
  UniqueHkey key;
  const LONG status = OpenKeyAsItself(parent, name, DELETE, key);
  if (status != ERROR_SUCCESS) return status;
  return DeleteOpenedKey(key.get());
}

}  // namespace vaduna
