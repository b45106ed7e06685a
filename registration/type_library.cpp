// Registration of the type library that the executable carries.
#include <windows.h>
#include <oleauto.h>
#include <shlwapi.h>
#include <wrl/client.h>

#include <cstdio>
#include <cwchar>
#include <new>
#include <string>

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

// The key of the library's registration for 32-bit clients:
// TypeLib\{libid}\major.minor\lcid\win32 (numbers in hex, as the
// platform's registration writes them).
std::wstring Win32RegistrationKey(const TLIBATTR& attributes) {
  wchar_t libid[64];
  ::StringFromGUID2(attributes.guid, libid, 64);
  wchar_t rest[64];
  std::swprintf(rest, 64, L"\\%x.%x\\%lx\\win32", attributes.wMajorVerNum, attributes.wMinorVerNum,
                static_cast<unsigned long>(attributes.lcid));
  return std::wstring(L"TypeLib\\") + libid + rest;
}

// 32-bit clients look the library up under "win32"; the platform registers a
// 64-bit library under "win64" only (its interface keys it writes for both
// views). The same file serves both: a type library describes no pointer size.
HRESULT RegisterFor32BitClients(ITypeLib* library, const wchar_t* path) noexcept {
  return HresultBoundary([&]() -> HRESULT {
    TLIBATTR* attributes = nullptr;
    VADUNA_RETURN_IF_FAILED(library->GetLibAttr(&attributes));
    const std::wstring key = Win32RegistrationKey(*attributes);
    library->ReleaseTLibAttr(attributes);
    const DWORD bytes = static_cast<DWORD>((std::wcslen(path) + 1) * sizeof(wchar_t));
    return HresultFromStatus(::RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, REG_SZ, path, bytes));
  });
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
  VADUNA_RETURN_IF_FAILED(::RegisterTypeLib(library.Get(), path.get(), directory));
  return RegisterFor32BitClients(library.Get(), path.get());
}

HRESULT RemoveTypeLibrary(HMODULE module) noexcept {
  UniqueBstr path;
  Microsoft::WRL::ComPtr<ITypeLib> library;
  VADUNA_RETURN_IF_FAILED(LocateTypeLibrary(module, path.put(), library.GetAddressOf()));
  TLIBATTR* attributes = nullptr;
  VADUNA_RETURN_IF_FAILED(library->GetLibAttr(&attributes));
  // The 32-bit clients' entry first: the platform's removal leaves the
  // library's key while it has another entry. Its absence is no failure.
  try {
    ::RegDeleteKeyW(HKEY_CLASSES_ROOT, Win32RegistrationKey(*attributes).c_str());
  } catch (const std::bad_alloc&) {
    library->ReleaseTLibAttr(attributes);
    return E_OUTOFMEMORY;
  }
  const HRESULT hr = ::UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                                         attributes->lcid, attributes->syskind);
  library->ReleaseTLibAttr(attributes);
  return hr;
}

}  // namespace vaduna
