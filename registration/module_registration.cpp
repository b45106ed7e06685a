#include "registration/module_registration.h"

#include <cstdlib>
#include <iterator>
#include <string>

#include "registration/script_registrar.h"
#include "base/hresult.h"

namespace vaduna {
namespace {

// Appends "Module" (in double quotes for an executable) and "Module_Raw",
// both with single quotes doubled. Throws std::bad_alloc.
HRESULT AddModulePlaceholders(ScriptRegistrar& registrar, const wchar_t* path, bool isExecutable) {
  const std::wstring escaped = EscapeQuotes(path);
  const std::wstring module = isExecutable ? L"\"" + escaped + L"\"" : escaped;
  VADUNA_RETURN_IF_FAILED(registrar.AddPlaceholder(L"Module", module.c_str()));
  return registrar.AddPlaceholder(L"Module_Raw", escaped.c_str());
}

}  // namespace

HRESULT ModuleFilePath(HMODULE module, wchar_t (&path)[MAX_PATH]) noexcept {
  const DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH);
  if (length == 0) return HresultFromLastError();
  if (length >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  return S_OK;
}

std::wstring EscapeQuotes(const wchar_t* source) {
  std::wstring escaped;
  for (; *source != L'\0'; ++source) {
    escaped += *source;
    if (*source == L'\'') escaped += L'\'';
  }
  return escaped;
}

HRESULT AddCommonPlaceholders(ScriptRegistrar& registrar) noexcept {
  return registrar.AddPlaceholder(L"APPID", L"");
}

HRESULT RunScriptWithModule(const wchar_t* modulePath, bool isExecutable, UINT resourceId, bool doRegister,
                            const Placeholder* extras, size_t extraCount) noexcept {
  return HresultBoundary([&]() -> HRESULT {
    ScriptRegistrar registrar;
    for (size_t i = 0; i < extraCount; ++i) registrar.AddPlaceholder(extras[i].name, extras[i].value);
    VADUNA_RETURN_IF_FAILED(AddCommonPlaceholders(registrar));
    VADUNA_RETURN_IF_FAILED(AddModulePlaceholders(registrar, modulePath, isExecutable));
    return registrar.RunScriptResource(modulePath, resourceId, L"REGISTRY", doRegister);
  });
}

HRESULT RunModuleScript(UINT resourceId, bool doRegister, const Placeholder* extras,
                        size_t extraCount) noexcept {
  // The registry scripts live in the process's executable.
  const HMODULE module = ::GetModuleHandleW(nullptr);
  wchar_t path[MAX_PATH];
  VADUNA_RETURN_IF_FAILED(ModuleFilePath(module, path));
  return RunScriptWithModule(path, true, resourceId, doRegister, extras, extraCount);
}

HRESULT RunModuleScript(UINT resourceId, bool doRegister) noexcept {
  return RunModuleScript(resourceId, doRegister, nullptr, 0);
}

UINT ConversionCodePage() noexcept {
  static const UINT codePage = [] {
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const BOOL known = ::GetVersionExW(&version);
#pragma GCC diagnostic pop
    if (known && version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 5) {
      return static_cast<UINT>(CP_THREAD_ACP);
    }
    char digits[8] = {};
    ::GetLocaleInfoA(::GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE, digits, static_cast<int>(std::size(digits)));
    const auto value = static_cast<UINT>(std::strtoul(digits, nullptr, 10));
    return value != 0 ? value : ::GetACP();
  }();
  return codePage;
}

}  // namespace vaduna
