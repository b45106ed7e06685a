#include "registration/switch_scan.h"

namespace vaduna {

const wchar_t* NextSwitch(const wchar_t* text, const wchar_t* separators) noexcept {
  if (text == nullptr) return nullptr;
  for (const wchar_t* p = text; *p != L'\0'; p = ::CharNextW(p)) {
    for (const wchar_t* s = separators; *s != L'\0'; s = ::CharNextW(s)) {
      if (*p == *s) return ::CharNextW(p);
    }
  }
  return nullptr;
}

SwitchAction ScanSwitches(const wchar_t* commandLine) noexcept {
  constexpr wchar_t kSeparators[] = L"-/";
  // The whole rest must be the word: "/RegServer /s" matches nothing.
  for (const wchar_t* rest = NextSwitch(commandLine, kSeparators); rest != nullptr;
       rest = NextSwitch(rest, kSeparators)) {
    if (::lstrcmpiW(rest, L"UnregServer") == 0) return SwitchAction::Unregister;
    if (::lstrcmpiW(rest, L"RegServer") == 0) return SwitchAction::Register;
    if (::lstrcmpiW(rest, L"UnregServerPerUser") == 0) return SwitchAction::UnregisterPerUser;
    if (::lstrcmpiW(rest, L"RegServerPerUser") == 0) return SwitchAction::RegisterPerUser;
    if (::lstrcmpiW(rest, L"Diagnose") == 0) return SwitchAction::Diagnose;
  }
  return SwitchAction::Serve;
}

}  // namespace vaduna
