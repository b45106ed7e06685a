#include "registration/registry_value.h"

#include <oleauto.h>

#include <cwchar>
#include <memory>
#include <new>

#include "base/hresult.h"

namespace vaduna {
namespace {

// 256 bytes in place, the heap beyond.
class SmallBuffer {
 public:
  // False when the heap had no room.
  bool Reserve(size_t bytes) noexcept {
    if (bytes <= sizeof(local_)) {
      data_ = local_;
      return true;
    }
    heap_.reset(new (std::nothrow) unsigned char[bytes]);
    data_ = heap_.get();
    return data_ != nullptr;
  }
  unsigned char* Bytes() noexcept { return data_; }
  wchar_t* Units() noexcept { return reinterpret_cast<wchar_t*>(data_); }

 private:
  alignas(wchar_t) unsigned char local_[256];
  std::unique_ptr<unsigned char[]> heap_;
  unsigned char* data_ = nullptr;
};

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
  SmallBuffer buffer;
  if (!buffer.Reserve(length / 2 + 1)) return E_FAIL;
  unsigned char* bytes = buffer.Bytes();
  for (size_t i = 0; i < length / 2; ++i) bytes[i] = 0;
  for (size_t i = 0; i < length; ++i) {
    bytes[i / 2] |= static_cast<unsigned char>(HexValue(text[i]) << (i % 2 == 0 ? 4 : 0));
  }
  return SetValue(key, valueName, REG_BINARY, bytes, length / 2);
}

// "\0" separates the strings; the list ends at the first empty string.
HRESULT WriteMultiString(HKEY key, const wchar_t* valueName, const wchar_t* text) noexcept {
  const size_t length = wcslen(text);
  SmallBuffer buffer;
  if (!buffer.Reserve((length + 2) * sizeof(wchar_t))) return E_OUTOFMEMORY;
  wchar_t* copy = buffer.Units();
  size_t n = 0;
  for (const wchar_t* p = text; *p != L'\0'; ++p) {
    if (p[0] == L'\\' && p[1] == L'0') {
      copy[n++] = L'\0';
      ++p;
    } else {
      copy[n++] = *p;
    }
  }
  copy[n] = L'\0';
  copy[n + 1] = L'\0';
  size_t units = 0;
  while (copy[units] != L'\0') units += wcslen(copy + units) + 1;
  units += 1;
  return SetValue(key, valueName, REG_MULTI_SZ, copy, units * sizeof(wchar_t));
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
