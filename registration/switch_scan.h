// Command-line switches that ask for registration instead of serving.
#pragma once

#include <windows.h>

namespace vaduna {

// Register and Unregister work on the machine's classes; the PerUser forms
// on the current user's (HKEY_CURRENT_USER\Software\Classes), which needs
// no administrator.
// Diagnose reports what a client would find (see server/diagnosis.h).
enum class SwitchAction { Serve, Register, Unregister, RegisterPerUser, UnregisterPerUser, Diagnose };

// Position just after the first character of text found in separators, or
// null when there is none (also for a null or empty text).
const wchar_t* NextSwitch(const wchar_t* text, const wchar_t* separators) noexcept;

// The action of a switch word ("RegServer", "UnregServer",
// "RegServerPerUser", "UnregServerPerUser", "Diagnose", in any case) that directly
// follows a '-' or '/' and ends the command line; Serve otherwise.
SwitchAction ScanSwitches(const wchar_t* commandLine) noexcept;

}  // namespace vaduna
