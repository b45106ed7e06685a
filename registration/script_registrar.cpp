#include "registration/script_registrar.h"

#include <new>
#include <string>

#include "registration/module_registration.h"
#include "registration/script_interpreter.h"
#include "base/hresult.h"
#include "base/unique_resource.h"

namespace vaduna {
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

  // One unit per byte at most, and the terminating NUL that the string keeps.
  std::wstring text;
  try {
    text.resize(size);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  const int units = ::MultiByteToWideChar(ConversionCodePage(), 0, bytes, static_cast<int>(size), text.data(),
                                          static_cast<int>(size));
  if (units == 0) return HresultFromLastError();
  text.resize(static_cast<size_t>(units));
  return RunRegistryScript(text.c_str(), doRegister, placeholders_);
}

}  // namespace vaduna
