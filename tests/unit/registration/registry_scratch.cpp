#include "tests/unit/registration/registry_scratch.h"

#include <sddl.h>
#include <winternl.h>

#include <gtest/gtest.h>

// Only the native delete takes a link itself; RegDeleteKeyW deletes its target.
extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);

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

namespace {

// HKCU's native name, \Registry\User\<the user's SID>, as links hold it.
std::wstring NativeCurrentUserPath() {
  HANDLE token = nullptr;
  EXPECT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
  alignas(TOKEN_USER) BYTE buffer[256];
  DWORD size = 0;
  EXPECT_TRUE(::GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size));
  ::CloseHandle(token);
  wchar_t* sid = nullptr;
  EXPECT_TRUE(::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid));
  const std::wstring path = std::wstring(L"\\Registry\\User\\") + (sid != nullptr ? sid : L"?");
  ::LocalFree(sid);
  return path;
}

HKEY OpenLink(const std::wstring& path, REGSAM access) {
  HKEY key = nullptr;
  ::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), REG_OPTION_OPEN_LINK, access, &key);
  return key;
}

}  // namespace

ScratchLink::ScratchLink(std::wstring path, const std::wstring& target) : path_(std::move(path)) {
  HKEY link = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK,
                                             KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &link, nullptr));
  const std::wstring native = NativeCurrentUserPath() + L"\\" + target;
  // The link's name is stored without a NUL.
  EXPECT_EQ(ERROR_SUCCESS, ::RegSetValueExW(link, L"SymbolicLinkValue", 0, REG_LINK,
                                            reinterpret_cast<const BYTE*>(native.data()),
                                            static_cast<DWORD>(native.size() * sizeof(wchar_t))));
  ::RegCloseKey(link);
  EXPECT_TRUE(IsLink(path_));
}

ScratchLink::~ScratchLink() {
  if (!IsLink(path_)) return;
  HKEY link = OpenLink(path_, DELETE);
  EXPECT_EQ(0, ::NtDeleteKey(link));
  ::RegCloseKey(link);
}

bool IsLink(const std::wstring& path) {
  HKEY key = OpenLink(path, KEY_READ);
  if (key == nullptr) return false;
  DWORD type = REG_NONE;
  const LONG status = ::RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr);
  ::RegCloseKey(key);
  return status == ERROR_SUCCESS && type == REG_LINK;
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
