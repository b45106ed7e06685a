// Registry helpers for tests: a scratch key below HKCU\Software\VadunaTest
// that exists only for one test, and readers for what a run left behind.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace vaduna::testing {

struct RawValue {
  DWORD type = REG_NONE;
  std::vector<BYTE> bytes;
};

// Deletes HKCU\Software\VadunaTest\<name> before and after the test.
class ScratchKey {
 public:
  explicit ScratchKey(std::wstring name);
  ~ScratchKey();

  // "Software\VadunaTest\<name>" plus "\<sub>" when given.
  std::wstring Path(const std::wstring& sub = L"") const;
  // The script text that runs body inside the scratch key, which itself
  // and its parents are marked NoRemove.
  std::wstring Wrap(const std::wstring& body) const;
  void CreateSubkey(const std::wstring& sub) const;

 private:
  std::wstring name_;
};

// A registry link HKCU\<path> to HKCU\<target>, deleted as the link when
// the test ends. Declare it after the scratch keys that hold it: their
// cleanup follows links and must find it gone.
class ScratchLink {
 public:
  ScratchLink(std::wstring path, const std::wstring& target);
  ~ScratchLink();

 private:
  std::wstring path_;
};

// True when HKCU\<path> is a registry link (not the key it points to).
bool IsLink(const std::wstring& path);

// The running test's name (ASCII) as a wide string.
std::wstring CurrentTestName();

bool KeyExists(HKEY root, const std::wstring& path);
std::optional<RawValue> ReadRaw(HKEY root, const std::wstring& path, const wchar_t* valueName);
std::optional<std::wstring> ReadString(HKEY root, const std::wstring& path, const wchar_t* valueName);

}  // namespace vaduna::testing
