#include "registration/script_registrar.h"

#include <memory>
#include <new>

#include "registration/module_registration.h"
#include "registration/script_interpreter.h"
#include "base/hresult.h"
#include "base/unique_resource.h"

namespace vaduna {
namespace {

constexpr size_t kLocalScriptBytes = 1024;

}  // namespace

HRESULT ScriptRegistrar::RunScriptResource(const wchar_t* modulePath, UINT resourceId,
                                           const wchar_t* resourceType, bool doRegister) noexcept {
  UniqueModule module(::LoadLibraryExW(modulePath, nullptr, LOAD_LIBRARY_AS_DATAFILE));
  if (!module) return HresultFromLastError();

  HRSRC resource = ::FindResourceW(module.get(), MAKEINTRESOURCEW(resourceId), resourceType);
  if (resource == nullptr) return HresultFromLastError();
  HGLOBAL loaded = ::LoadResource(module.get(), resource);
  if (loaded == nullptr) return HresultFromLastError();
  const DWORD size = ::SizeofResource(module.get(), resource);
  const char* bytes = static_cast<const char*>(::LockResource(loaded));
  if (bytes == nullptr) return HresultFromLastError();

  wchar_t local[kLocalScriptBytes / sizeof(wchar_t)];
  std::unique_ptr<wchar_t[]> heap;
  wchar_t* text = local;
  if ((static_cast<size_t>(size) + 1) * sizeof(wchar_t) > kLocalScriptBytes) {
    heap.reset(new (std::nothrow) wchar_t[static_cast<size_t>(size) + 1]);
    if (!heap) return E_OUTOFMEMORY;
    text = heap.get();
  }
  const int units = ::MultiByteToWideChar(ConversionCodePage(), 0, bytes, static_cast<int>(size), text,
                                          static_cast<int>(size));
  if (units == 0) return HresultFromLastError();
  text[units] = L'\0';
  return RunRegistryScript(text, doRegister, placeholders_);
}

}  // namespace vaduna
