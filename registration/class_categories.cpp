// A class's component categories, written and removed through the platform's
// component categories manager.
#include <windows.h>
#include <comcat.h>
#include <objbase.h>
#include <wrl/client.h>

#include <string>

#include "registration/module_registration.h"
#include "base/unique_resource.h"

namespace vaduna {
namespace {

// Deletes HKCR\CLSID\{clsid}\subkeyName when it has no subkeys left.
void DeleteIfEmpty(const wchar_t* clsidText, const wchar_t* subkeyName) noexcept {
  std::wstring path;
  try {
    path = std::wstring(L"CLSID\\") + clsidText + L"\\" + subkeyName;
  } catch (...) {
    return;
  }
  UniqueHkey key;
  if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
  DWORD subkeys = 0;
  const LONG status = ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                         nullptr, nullptr, nullptr, nullptr, nullptr);
  key.reset();
  if (status == ERROR_SUCCESS && subkeys == 0) ::RegDeleteKeyW(HKEY_CLASSES_ROOT, path.c_str());
}

}  // namespace

HRESULT UpdateClassCategories(REFCLSID clsid, const CategoryEntry* categories, bool doRegister) noexcept {
  if (categories == nullptr || ::IsEqualCLSID(clsid, GUID_NULL)) return S_OK;
  Microsoft::WRL::ComPtr<ICatRegister> manager;
  if (FAILED(::CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                IID_PPV_ARGS(&manager)))) {
    return S_OK;  // Without the manager the class simply has no categories.
  }
  for (const CategoryEntry* entry = categories; entry->kind != kCategoryEnd; ++entry) {
    CATID id = *entry->id;
    const bool implemented = entry->kind == kCategoryImplemented;
    if (doRegister) {
      const HRESULT hr = implemented ? manager->RegisterClassImplCategories(clsid, 1, &id)
                                     : manager->RegisterClassReqCategories(clsid, 1, &id);
      if (FAILED(hr)) return hr;
    } else if (implemented) {
      manager->UnRegisterClassImplCategories(clsid, 1, &id);
    } else {
      manager->UnRegisterClassReqCategories(clsid, 1, &id);
    }
  }
  if (!doRegister) {
    wchar_t clsidText[64];
    ::StringFromGUID2(clsid, clsidText, 64);
    DeleteIfEmpty(clsidText, L"Required Categories");
    DeleteIfEmpty(clsidText, L"Implemented Categories");
  }
  return S_OK;
}

}  // namespace vaduna
