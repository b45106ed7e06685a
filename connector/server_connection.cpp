#include "connector/server_connection.h"

#include <objbase.h>

#include "base/hresult.h"
#include "base/unique_resource.h"
#include "vaduna_contract.h"

namespace vaduna::connector {

HRESULT RegisteredServer::CreateApplication(Microsoft::WRL::ComPtr<IDispatch>& application) noexcept {
  CLSID clsid;
  VADUNA_RETURN_IF_FAILED(::CLSIDFromProgID(contract::kApplicationProgId, &clsid));
  // The IDispatch half of the dual interface: its marshalling needs no type library.
  return ::CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(application.ReleaseAndGetAddressOf()));
}

HRESULT RegisteredServer::Probe(IDispatch* application) noexcept {
  if (application == nullptr) return E_POINTER;
  // Answered by the server object itself, never by the page, and needs no type library.
  UINT count = 0;
  return application->GetTypeInfoCount(&count);
}

bool IsServerGone(HRESULT code) noexcept {
  switch (code) {
    case RPC_E_DISCONNECTED:
    case RPC_E_SERVER_DIED:
    case RPC_E_SERVER_DIED_DNE:
    case CO_E_OBJNOTCONNECTED:
    case HresultFromStatus(RPC_S_SERVER_UNAVAILABLE):
    case HresultFromStatus(RPC_S_CALL_FAILED):
    case HresultFromStatus(RPC_S_CALL_FAILED_DNE):
      return true;
    default:
      return false;
  }
}

HRESULT CallByName(IDispatch* target, const wchar_t* name, VARIANT* argument) noexcept {
  if (target == nullptr || name == nullptr) return E_INVALIDARG;
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  VADUNA_RETURN_IF_FAILED(target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
  DISPPARAMS params{argument, nullptr, argument != nullptr ? 1u : 0u, 0};
  UniqueVariant ignored;
  return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, ignored.get(), nullptr,
                        nullptr);
}

}  // namespace vaduna::connector
