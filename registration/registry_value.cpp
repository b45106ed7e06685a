#include "registration/registry_value.h"

#include <oleauto.h>

#include <cwchar>
#include <new>
#include <string>
#include <vector>

#include "base/hresult.h"

namespace vaduna {
namespace {

unsigned HexValue(wchar_t c) noexcept {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  return 0;
}

HRESULT SetValue(HKEY key, const wchar_t* valueName, DWORD type, const void* data, size_t bytes) noexcept {
  return HresultFromStatus(::RegSetValueExW(key, valueName, 0, type, static_cast<const BYTE*>(data),
                                            static_cast<DWORD>(bytes)));
}

HRESULT WriteBinary(HKEY key, const wchar_t* valueName, const wchar_t* text) noexcept {
  const size_t length = wcslen(text);
  if (length % 2 != 0) return E_FAIL;
  std::vector<unsigned char> bytes;
  try {
    bytes.assign(length / 2, 0);
  } catch (const std::bad_alloc&) {
    return E_FAIL;
  }
  for (size_t i = 0; i < length; ++i) {
    bytes[i / 2] |= static_cast<unsigned char>(HexValue(text[i]) << (i % 2 == 0 ? 4 : 0));
  }
  return SetValue(key, valueName, REG_BINARY, bytes.data(), bytes.size());
}

// "\0" separates the strings; the list ends at the first empty string.
HRESULT WriteMultiString(HKEY key, const wchar_t* valueName, const wchar_t* text) noexcept {
  std::wstring list;
  try {
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
      if (p[0] == L'\\' && p[1] == L'0') {
        list += L'\0';
        ++p;
      } else {
        list += *p;
      }
    }
    list.append(2, L'\0');
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  // Up to the first empty string, with its terminating NUL.
  size_t units = 0;
  while (list[units] != L'\0') units += wcslen(list.c_str() + units) + 1;
  units += 1;
  return SetValue(key, valueName, REG_MULTI_SZ, list.data(), units * sizeof(wchar_t));
}

}  // namespace

ScriptValueType ValueTypeFromLetter(const wchar_t* letter) noexcept {
  if (::lstrcmpiW(letter, L"S") == 0) return ScriptValueType::String;
  if (::lstrcmpiW(letter, L"M") == 0) return ScriptValueType::MultiString;
  if (::lstrcmpiW(letter, L"D") == 0) return ScriptValueType::Dword;
  if (::lstrcmpiW(letter, L"B") == 0) return ScriptValueType::Binary;
  return ScriptValueType::Unknown;
}

HRESULT WriteScriptValue(HKEY key, const wchar_t* valueName, ScriptValueType type,
                         const wchar_t* text) noexcept {
  switch (type) {
    case ScriptValueType::String:
      return SetValue(key, valueName, REG_SZ, text, (wcslen(text) + 1) * sizeof(wchar_t));
    case ScriptValueType::Dword: {
      ULONG number = 0;
      // A token that is not a number is refused rather than written as
      // whatever the failed conversion left behind.
      VADUNA_RETURN_IF_FAILED(::VarUI4FromStr(const_cast<OLECHAR*>(text), 0, 0, &number));
      const DWORD data = number;
      return SetValue(key, valueName, REG_DWORD, &data, sizeof(data));
    }
    case ScriptValueType::Binary:
      return WriteBinary(key, valueName, text);
    case ScriptValueType::MultiString:
      return WriteMultiString(key, valueName, text);
    case ScriptValueType::Unknown:
      break;
  }
  return DISP_E_EXCEPTION;
}

}  // namespace vaduna
