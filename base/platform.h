// Where the process runs: Windows itself, or Wine, whose ntdll exports
// wine_get_version (Windows' does not). Some answers of the platform differ
// (Wine names no owner of a loopback connection, activates from the machine's
// classes only), and what depends on them asks here.
#pragma once

#include <windows.h>

namespace vaduna {

inline bool RunningUnderWine() noexcept {
  static const bool wine = [] {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

}  // namespace vaduna
