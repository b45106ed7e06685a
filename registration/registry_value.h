// Writing one typed value of a registry script: the type letters and the
// conversion of a value token into registry data.
#pragma once

#include <windows.h>

namespace vaduna {

enum class ScriptValueType { String, MultiString, Dword, Binary, Unknown };

// "S", "M", "D" or "B", case-insensitively.
ScriptValueType ValueTypeFromLetter(const wchar_t* letter) noexcept;

// Converts text as type and writes it into key under valueName (null: the
// default value). "B": E_FAIL for an odd length or no memory; "M":
// E_OUTOFMEMORY; "D": the conversion's failure for a token that is not a
// number; a registry failure as its status converted.
HRESULT WriteScriptValue(HKEY key, const wchar_t* valueName, ScriptValueType type,
                         const wchar_t* text) noexcept;

}  // namespace vaduna
