// The page host's side of the script engine: the site that the engine calls
// back, and the "host" object that page scripts use to write to the console.
#pragma once

#include <windows.h>
#include <activscp.h>

#include <wrl/client.h>

#include <string>

#include "base/com_object.h"

namespace page_host {

// Writes one line of UTF-16 text to standard output as UTF-8 and flushes it,
// so that a runner reading the pipe sees each line at once.
void PrintLine(const std::wstring& text);
void PrintError(const std::wstring& text);

// Answers the engine for the one named item "host" (a HostObject) and prints
// script errors with their line among the page's log lines.
class ScriptSite final : public vaduna::ComObject<IActiveScriptSite> {
 public:
  static constexpr const wchar_t* kHostItemName = L"host";

  explicit ScriptSite(IDispatch* hostObject) noexcept : hostObject_(hostObject) {}

  HRESULT STDMETHODCALLTYPE GetLCID(LCID* lcid) override;
  HRESULT STDMETHODCALLTYPE GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** item,
                                        ITypeInfo** typeInfo) override;
  HRESULT STDMETHODCALLTYPE GetDocVersionString(BSTR* version) override;
  HRESULT STDMETHODCALLTYPE OnScriptTerminate(const VARIANT* result, const EXCEPINFO* info) override;
  HRESULT STDMETHODCALLTYPE OnStateChange(SCRIPTSTATE state) override;
  HRESULT STDMETHODCALLTYPE OnScriptError(IActiveScriptError* error) override;
  HRESULT STDMETHODCALLTYPE OnEnterScript() override;
  HRESULT STDMETHODCALLTYPE OnLeaveScript() override;

  // True once the engine reported an error in the page script.
  bool SawError() const noexcept { return sawError_; }

 private:
  Microsoft::WRL::ComPtr<IDispatch> hostObject_;
  bool sawError_ = false;
};

// The script's "host" object: host.Log(text) prints "  [page] text".
class HostObject final : public vaduna::ComObject<IDispatch> {
 public:

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* excepInfo, UINT* argError) override;
};

}  // namespace page_host
