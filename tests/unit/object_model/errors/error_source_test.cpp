// The published record names the failing class by its version-dependent
// ProgID once the class is registered.
#include "object_model/errors/error_reporting.h"

#include <gtest/gtest.h>

#include <wrl/client.h>

#include <string>
#include <vector>

#include "interface/interfaces.h"
#include "base/unique_resource.h"
#include "vaduna_contract.h"

namespace vaduna {
namespace {

constexpr const wchar_t* kProgId = contract::kApplicationProgIdVersioned;

// Creates keys with a default value and removes, at the end, only the keys it
// created itself; a key that was there keeps its value.
class ScratchKeys {
 public:
  explicit ScratchKeys(HKEY root) : root_(root) {}
  ~ScratchKeys() {
    for (auto it = created_.rbegin(); it != created_.rend(); ++it) ::RegDeleteKeyW(root_, it->c_str());
  }

  void Add(const std::wstring& path, const std::wstring& value) {
    UniqueHkey key;
    DWORD disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(root_, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                               key.put(), &disposition));
    if (disposition != REG_CREATED_NEW_KEY) return;
    created_.push_back(path);
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.get(), nullptr, 0, REG_SZ,
                                              reinterpret_cast<const BYTE*>(value.c_str()),
                                              static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))));
  }

 private:
  HKEY root_;
  std::vector<std::wstring> created_;
};

std::wstring PublishedSource() {
  Microsoft::WRL::ComPtr<IErrorInfo> info;
  if (::GetErrorInfo(0, info.GetAddressOf()) != S_OK || !info) return L"<no record>";
  BSTR source = nullptr;
  info->GetSource(&source);
  std::wstring copy(source != nullptr ? source : L"", ::SysStringLen(source));
  ::SysFreeString(source);
  return copy;
}

TEST(ErrorSource, SourceIsTheRegisteredProgIdOfTheClass) {
  // Wine's COM reads classes from the machine's classes key only; Windows
  // also reads the per-user one (HKCU\Software\Classes), which suffices there.
  ScratchKeys keys(HKEY_LOCAL_MACHINE);
  const std::wstring classes = L"Software\\Classes\\";
  keys.Add(classes + L"CLSID\\" + contract::kClsidApplication, L"VadunaHTMLApplication Class");
  keys.Add(classes + L"CLSID\\" + contract::kClsidApplication + L"\\ProgID", kProgId);
  keys.Add(classes + kProgId, L"VadunaHTMLApplication Class");
  keys.Add(classes + kProgId + L"\\CLSID", contract::kClsidApplication);

  ::SetErrorInfo(0, nullptr);
  ErrorState state;
  ASSERT_EQ(DISP_E_EXCEPTION, state.Record(kMsgOutOfScope, CLSID_VadunaHTMLApplication, IID_IVadunaHTMLApplication));
  EXPECT_EQ(kProgId, PublishedSource());
}

}  // namespace
}  // namespace vaduna
