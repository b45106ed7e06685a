// Registration of the type library that the executable carries.
#include <windows.h>
#include <oleauto.h>
#include <shlwapi.h>
#include <wrl/client.h>

#include <cwchar>

#include "registration/module_registration.h"
#include "base/hresult.h"
#include "base/unique_resource.h"

namespace vaduna {
namespace {

// Cuts path after its last "\", "/" or ":"; no separator leaves it empty.
void KeepDirectory(wchar_t* path) noexcept {
  wchar_t* end = path;
  for (wchar_t* p = path; *p != L'\0'; p = ::CharNextW(p)) {
    if (*p == L'\\' || *p == L'/' || *p == L':') end = p + 1;
  }
  *end = L'\0';
}

}  // namespace

HRESULT LocateTypeLibrary(HMODULE module, BSTR* path, ITypeLib** library) noexcept {
  wchar_t file[MAX_PATH];
  VADUNA_RETURN_IF_FAILED(ModuleFilePath(module, file));
  Microsoft::WRL::ComPtr<ITypeLib> loaded;
  if (FAILED(::LoadTypeLib(file, loaded.GetAddressOf()))) {
    wchar_t* extension = ::PathFindExtensionW(file);
    if (static_cast<size_t>(extension - file) + 5 > MAX_PATH) return E_FAIL;
    wcscpy(extension, L".tlb");
    VADUNA_RETURN_IF_FAILED(::LoadTypeLib(file, loaded.ReleaseAndGetAddressOf()));
  }
  UniqueBstr text(::SysAllocString(file));
  if (!text) return E_OUTOFMEMORY;
  *path = text.release();
  *library = loaded.Detach();
  return S_OK;
}

HRESULT InstallTypeLibrary(HMODULE module) noexcept {
  UniqueBstr path;
  Microsoft::WRL::ComPtr<ITypeLib> library;
  VADUNA_RETURN_IF_FAILED(LocateTypeLibrary(module, path.put(), library.GetAddressOf()));
  wchar_t directory[MAX_PATH];
  wcsncpy(directory, path.get(), MAX_PATH - 1);
  directory[MAX_PATH - 1] = L'\0';
  KeepDirectory(directory);
  return ::RegisterTypeLib(library.Get(), path.get(), directory);
}

HRESULT RemoveTypeLibrary(HMODULE module) noexcept {
  UniqueBstr path;
  Microsoft::WRL::ComPtr<ITypeLib> library;
  VADUNA_RETURN_IF_FAILED(LocateTypeLibrary(module, path.put(), library.GetAddressOf()));
  TLIBATTR* attributes = nullptr;
  VADUNA_RETURN_IF_FAILED(library->GetLibAttr(&attributes));
  const HRESULT hr = ::UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                                         attributes->lcid, attributes->syskind);
  library->ReleaseTLibAttr(attributes);
  return hr;
}

}  // namespace vaduna
