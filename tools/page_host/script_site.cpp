#include "tools/page_host/script_site.h"

#include <cstdio>

#include "base/pointer_guard.h"
#include "base/unique_resource.h"

namespace page_host {
namespace {

constexpr DISPID kLogId = 1;

void WriteUtf8(FILE* stream, const std::wstring& text) {
  std::wstring line = text + L"\n";
  int size = ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr,
                                   0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), bytes.data(), size,
                        nullptr, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
  std::fflush(stream);
}

}  // namespace

void PrintLine(const std::wstring& text) { WriteUtf8(stdout, text); }
void PrintError(const std::wstring& text) { WriteUtf8(stderr, text); }

HRESULT ScriptSite::GetLCID(LCID* lcid) {
  VADUNA_RETURN_IF_NULL(lcid);
  *lcid = ::GetUserDefaultLCID();
  return S_OK;
}

HRESULT ScriptSite::GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** item, ITypeInfo** typeInfo) {
  if (item) *item = nullptr;
  if (typeInfo) *typeInfo = nullptr;
  if (!name || ::lstrcmpW(name, kHostItemName) != 0) return TYPE_E_ELEMENTNOTFOUND;
  if (mask & SCRIPTINFO_ITYPEINFO) return TYPE_E_ELEMENTNOTFOUND;
  if (!(mask & SCRIPTINFO_IUNKNOWN) || !item) return E_INVALIDARG;
  *item = hostObject_.Get();
  hostObject_->AddRef();  // the engine's reference
  return S_OK;
}

HRESULT ScriptSite::GetDocVersionString(BSTR* version) {
  if (version) *version = nullptr;
  return E_NOTIMPL;
}

HRESULT ScriptSite::OnScriptTerminate(const VARIANT*, const EXCEPINFO*) { return S_OK; }
HRESULT ScriptSite::OnStateChange(SCRIPTSTATE) { return S_OK; }
HRESULT ScriptSite::OnEnterScript() { return S_OK; }
HRESULT ScriptSite::OnLeaveScript() { return S_OK; }

HRESULT ScriptSite::OnScriptError(IActiveScriptError* error) {
  sawError_ = true;
  EXCEPINFO info{};
  DWORD context = 0;
  ULONG line = 0;
  LONG column = 0;
  if (error) {
    error->GetExceptionInfo(&info);
    error->GetSourcePosition(&context, &line, &column);
  }
  vaduna::UniqueBstr description(info.bstrDescription);
  vaduna::UniqueBstr source(info.bstrSource);
  vaduna::UniqueBstr help(info.bstrHelpFile);
  wchar_t code[16];
  ::wsprintfW(code, L"%08lX", static_cast<unsigned long>(info.scode));
  // A member that throws while the server calls it lands here too; the server
  // sees the failed call.
  PrintLine(L"  [page] script error 0x" + std::wstring(code) + L" at line " + std::to_wstring(line + 1) +
            L": " + (description ? description.get() : L"(no description)"));
  return S_OK;
}

HRESULT HostObject::GetTypeInfoCount(UINT* count) {
  VADUNA_RETURN_IF_NULL(count);
  *count = 0;
  return S_OK;
}

HRESULT HostObject::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info) *info = nullptr;
  return DISP_E_BADINDEX;
}

HRESULT HostObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (!names || !ids || count == 0) return E_INVALIDARG;
  for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  if (::lstrcmpiW(names[0], L"Log") != 0) return DISP_E_UNKNOWNNAME;
  ids[0] = kLogId;
  return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
}

HRESULT HostObject::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                           EXCEPINFO*, UINT*) {
  if (id != kLogId) return DISP_E_MEMBERNOTFOUND;
  if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
  if (!params || params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
  vaduna::UniqueVariant text;
  HRESULT hr = ::VariantChangeType(text.get(), &params->rgvarg[0], 0, VT_BSTR);
  if (FAILED(hr)) return hr;
  PrintLine(L"  [page] " + std::wstring(text->bstrVal ? text->bstrVal : L""));
  if (result) ::VariantInit(result);
  return S_OK;
}

}  // namespace page_host
