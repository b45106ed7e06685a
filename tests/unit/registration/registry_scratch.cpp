#include "tests/unit/registration/registry_scratch.h"

#include <gtest/gtest.h>

namespace vaduna::testing {

ScratchKey::ScratchKey(std::wstring name) : name_(std::move(name)) {
  ::RegDeleteTreeW(HKEY_CURRENT_USER, Path().c_str());
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, Path().c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
  if (key != nullptr) ::RegCloseKey(key);
}

ScratchKey::~ScratchKey() {
  ::RegDeleteTreeW(HKEY_CURRENT_USER, Path().c_str());
  ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\VadunaTest");  // only when empty
}

std::wstring ScratchKey::Path(const std::wstring& sub) const {
  std::wstring path = L"Software\\VadunaTest\\" + name_;
  if (!sub.empty()) path += L"\\" + sub;
  return path;
}

std::wstring ScratchKey::Wrap(const std::wstring& body) const {
  return L"HKCU\r\n{\r\n\tNoRemove Software\r\n\t{\r\n\t\tNoRemove VadunaTest\r\n\t\t{\r\n\t\t\tNoRemove '" +
         name_ + L"'\r\n\t\t\t{\r\n" + body + L"\r\n\t\t\t}\r\n\t\t}\r\n\t}\r\n}\r\n";
}

void ScratchKey::CreateSubkey(const std::wstring& sub) const {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, Path(sub).c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
  ::RegCloseKey(key);
}

std::wstring CurrentTestName() {
  const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  return std::wstring(name.begin(), name.end());
}

bool KeyExists(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  ::RegCloseKey(key);
  return true;
}

std::optional<RawValue> ReadRaw(HKEY root, const std::wstring& path, const wchar_t* valueName) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
  RawValue value;
  DWORD size = 0;
  LONG status = ::RegQueryValueExW(key, valueName, nullptr, &value.type, nullptr, &size);
  if (status == ERROR_SUCCESS) {
    value.bytes.resize(size);
    status = ::RegQueryValueExW(key, valueName, nullptr, &value.type, value.bytes.data(), &size);
    value.bytes.resize(size);
  }
  ::RegCloseKey(key);
  if (status != ERROR_SUCCESS) return std::nullopt;
  return value;
}

std::optional<std::wstring> ReadString(HKEY root, const std::wstring& path, const wchar_t* valueName) {
  const std::optional<RawValue> raw = ReadRaw(root, path, valueName);
  if (!raw || raw->type != REG_SZ) return std::nullopt;
  std::wstring text(reinterpret_cast<const wchar_t*>(raw->bytes.data()), raw->bytes.size() / sizeof(wchar_t));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

}  // namespace vaduna::testing
