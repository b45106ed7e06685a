// A class's component categories, written and removed through the platform's
// component categories manager.
#include <windows.h>
#include <comcat.h>
#include <objbase.h>
#include <wrl/client.h>

#include <string>

#include "base/hresult.h"
#include "base/unique_resource.h"
#include "registration/classes_root_override.h"
#include "registration/module_registration.h"

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

const wchar_t* CategoryKeyName(const CategoryEntry& entry) noexcept {
  return entry.kind == kCategoryImplemented ? L"Implemented Categories" : L"Required Categories";
}

// The keys the categories manager writes for a class, written (or removed)
// under HKEY_CLASSES_ROOT directly: CLSID\{clsid}\<kind> Categories\{catid}.
HRESULT UpdateCategoryKeys(const wchar_t* clsidText, const CategoryEntry* categories, bool doRegister) noexcept {
  return HresultBoundary([&]() -> HRESULT {
    for (const CategoryEntry* entry = categories; entry->kind != kCategoryEnd; ++entry) {
      wchar_t catidText[64];
      ::StringFromGUID2(*entry->id, catidText, 64);
      const std::wstring path =
          std::wstring(L"CLSID\\") + clsidText + L"\\" + CategoryKeyName(*entry) + L"\\" + catidText;
      if (!doRegister) {
        ::RegDeleteKeyW(HKEY_CLASSES_ROOT, path.c_str());  // an absent key is no failure
        continue;
      }
      UniqueHkey key;
      const LONG status = ::RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                            KEY_WRITE, nullptr, key.put(), nullptr);
      if (status != ERROR_SUCCESS) return HresultFromStatus(status);
    }
    return S_OK;
  });
}

}  // namespace

HRESULT UpdateClassCategories(REFCLSID clsid, const CategoryEntry* categories, bool doRegister) noexcept {
  if (categories == nullptr || ::IsEqualCLSID(clsid, GUID_NULL)) return S_OK;
  wchar_t clsidText[64];
  ::StringFromGUID2(clsid, clsidText, 64);
  if (ClassesRootOverride::Active()) {
    VADUNA_RETURN_IF_FAILED(UpdateCategoryKeys(clsidText, categories, doRegister));
    if (!doRegister) {
      DeleteIfEmpty(clsidText, L"Required Categories");
      DeleteIfEmpty(clsidText, L"Implemented Categories");
    }
    return S_OK;
  }
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
    DeleteIfEmpty(clsidText, L"Required Categories");
    DeleteIfEmpty(clsidText, L"Implemented Categories");
  }
  return S_OK;
}

}  // namespace vaduna
