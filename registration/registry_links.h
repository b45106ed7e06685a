// Registry keys taken as themselves: a registry link (a key made with
// REG_OPTION_CREATE_LINK whose "SymbolicLinkValue" names another key) is
// opened, examined and deleted as the link, never as the key it points to.
#pragma once

#include <windows.h>

#include "base/unique_resource.h"

namespace vaduna {

// Opens name below parent with access; a link is opened as the link itself,
// any other key as usual. A registry status (2 for an absent key).
LONG OpenKeyAsItself(HKEY parent, const wchar_t* name, REGSAM access, UniqueHkey& key) noexcept;

// True when key, opened with OpenKeyAsItself and KEY_QUERY_VALUE, is a link.
bool IsRegistryLink(HKEY key) noexcept;

// Deletes the key that key was opened on (with DELETE access); a link goes
// alone, its target stays. A registry status: ERROR_ACCESS_DENIED for a key
// that still has subkeys.
LONG DeleteOpenedKey(HKEY key) noexcept;

// Deletes name below parent alone, as RegDeleteKeyW does, but a link is
// deleted itself where RegDeleteKeyW would delete the key it points to.
LONG DeleteKeyAsItself(HKEY parent, const wchar_t* name) noexcept;

}  // namespace vaduna
