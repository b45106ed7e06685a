// Command-line switches that ask for registration instead of serving.
#pragma once

#include <windows.h>

namespace vaduna {

enum class SwitchAction { Serve, Register, Unregister };

// Position just after the first character of text found in separators, or
// null when there is none (also for a null or empty text).
const wchar_t* NextSwitch(const wchar_t* text, const wchar_t* separators) noexcept;

// Register or Unregister when a switch word directly follows a '-' or '/'
// and ends the command line; Serve otherwise.
SwitchAction ScanSwitches(const wchar_t* commandLine) noexcept;

}  // namespace vaduna
