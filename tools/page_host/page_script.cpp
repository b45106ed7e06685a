#include "tools/page_host/page_script.h"

#include "base/hresult.h"
#include "base/unique_resource.h"

namespace page_host {
namespace {

// The JScript engine's class.
constexpr CLSID kJScriptClsid = {0xf414c260, 0x6ac0, 0x11cf, {0xb6, 0xd1, 0x00, 0xaa, 0x00, 0xbb, 0xbb, 0x58}};

}  // namespace

PageScript::~PageScript() { Close(); }

HRESULT PageScript::Run(const std::wstring& code) {
  VADUNA_RETURN_IF_FAILED(::CoCreateInstance(kJScriptClsid, nullptr, CLSCTX_INPROC_SERVER,
                                             IID_PPV_ARGS(engine_.ReleaseAndGetAddressOf())));
  Microsoft::WRL::ComPtr<IActiveScriptParse64> parser;
  VADUNA_RETURN_IF_FAILED(engine_.As(&parser));
  VADUNA_RETURN_IF_FAILED(parser->InitNew());

  const Microsoft::WRL::ComPtr<HostObject> host = vaduna::MakeObject<HostObject>();
  if (!host) return E_OUTOFMEMORY;
  site_ = vaduna::MakeObject<ScriptSite>(host.Get());
  if (!site_) return E_OUTOFMEMORY;
  VADUNA_RETURN_IF_FAILED(engine_->SetScriptSite(site_.Get()));
  VADUNA_RETURN_IF_FAILED(engine_->AddNamedItem(ScriptSite::kHostItemName, SCRIPTITEM_ISVISIBLE));
  VADUNA_RETURN_IF_FAILED(parser->ParseScriptText(code.c_str(), nullptr, nullptr, nullptr, 0, 0,
                                                  SCRIPTTEXT_ISVISIBLE, nullptr, nullptr));
  VADUNA_RETURN_IF_FAILED(engine_->SetScriptState(SCRIPTSTATE_CONNECTED));
  return site_->SawError() ? E_FAIL : S_OK;
}

HRESULT PageScript::GetGlobalObject(const wchar_t* name, Microsoft::WRL::ComPtr<IDispatch>& object) {
  if (!engine_) return E_UNEXPECTED;
  Microsoft::WRL::ComPtr<IDispatch> global;
  VADUNA_RETURN_IF_FAILED(engine_->GetScriptDispatch(nullptr, &global));
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  VADUNA_RETURN_IF_FAILED(global->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
  DISPPARAMS noArgs{};
  vaduna::UniqueVariant value;
  VADUNA_RETURN_IF_FAILED(global->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET,
                                         &noArgs, value.put(), nullptr, nullptr));
  if (value->vt != VT_DISPATCH || !value->pdispVal) return DISP_E_TYPEMISMATCH;
  object = value->pdispVal;
  return S_OK;
}

void PageScript::Close() noexcept {
  if (engine_) {
    engine_->Close();
    engine_.Reset();
  }
  site_.Reset();
}

HRESULT ReadTextFile(const std::wstring& path, std::wstring& text) {
  vaduna::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    file.release();
    return vaduna::HresultFromLastError();
  }
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size)) return vaduna::HresultFromLastError();
  std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  if (!bytes.empty() && !::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr))
    return vaduna::HresultFromLastError();
  bytes.resize(read);
  if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) bytes.erase(0, 3);
  if (bytes.empty()) {
    text.clear();
    return S_OK;
  }
  int length = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (length <= 0) return vaduna::HresultFromLastError();
  text.assign(static_cast<size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), length);
  return S_OK;
}

}  // namespace page_host
