#include "object_model/application_object.h"

#include <utility>

#include "base/hresult.h"
#include "base/unique_resource.h"
#include "base/variant_builders.h"
#include "object_model/script/script_contract.h"
#include "object_model/script/script_results.h"
#include "object_model/shared_attachment.h"

namespace vaduna {

using Microsoft::WRL::ComPtr;

HRESULT ApplicationObject::CurrentAppForCall(ScriptRef* app) noexcept {
  *app = SharedAttachment::Instance().CurrentApp();
  if (app->empty()) return RecordError(kMsgOutOfScope);
  return S_OK;
}

void ApplicationObject::CleanUp() noexcept {
  // A page that never unloads stays attached (the shared record keeps the
  // reference); an app that another attachment replaced is given back here.
  SharedAttachment::Instance().Abandon(std::exchange(attachedApp_, nullptr));
  ServerObjectBase::CleanUp();
}

HRESULT STDMETHODCALLTYPE ApplicationObject::Name(BSTR* str) {
  if (str == nullptr) return E_POINTER;
  ScriptRef app;
  VADUNA_RETURN_IF_FAILED(CurrentAppForCall(&app));
  UniqueVariant result;
  if (FAILED(app.CallMember(script::kAppName, result.get()))) return S_FALSE;
  TakeStringResult(result.get(), str);  // the script's string passes to the caller uncopied
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ApplicationObject::GetService(BSTR serviceName, IVadunaService** ppService) {
  if (serviceName == nullptr || ppService == nullptr) return E_POINTER;
  // No success code leaves the caller an undefined pointer.
  *ppService = nullptr;
  SharedAttachment& attachment = SharedAttachment::Instance();
  ScriptRef app;
  VADUNA_RETURN_IF_FAILED(CurrentAppForCall(&app));

  VARIANT name = BorrowedString(serviceName);
  if (!attachment.WaitUntilReady()) return S_FALSE;

  UniqueVariant result;
  if (FAILED(app.CallMember(script::kAppGetService, &name, result.get()))) {
    RecordError(kMsgNoService);  // published; the call itself answers S_FALSE
    return S_FALSE;
  }
  ComPtr<IDispatch> service = TestedObjectValue(*result.get());
  result.put();  // the service is held by our own reference from here
  if (!service) return S_OK;  // not an object, or a null one: no service

  if (IUnknown* found = FindWrapper(service.Get(), ObjectKind::Service)) {
    *ppService = static_cast<IVadunaService*>(found);  // FindWrapper added the caller's reference
    return S_OK;
  }
  return CreateBoundWrapper(ObjectKind::Service, this, service.Get(), ppService);
}

HRESULT STDMETHODCALLTYPE ApplicationObject::NewPropertySet(IVadunaPropertySet** pPropSet) {
  if (pPropSet == nullptr) return E_POINTER;
  ScriptRef app;
  VADUNA_RETURN_IF_FAILED(CurrentAppForCall(&app));

  *pPropSet = nullptr;
  UniqueVariant result;
  if (FAILED(app.CallMember(script::kAppNewPropertySet, result.get()))) return S_FALSE;

  // Without an object in the answer the client holds a property set without
  // a script object, which answers message 202. result is cleared on
  // leaving: the wrapper holds its own reference.
  return CreateBoundWrapper(ObjectKind::PropertySet, this, TestedObjectValue(*result.get()), pPropSet);
}

HRESULT STDMETHODCALLTYPE ApplicationObject::IsReady(VARIANT_BOOL* pBool) {
  if (pBool == nullptr) return E_POINTER;
  *pBool = VARIANT_FALSE;
  const ScriptRef app = SharedAttachment::Instance().CurrentApp();
  if (!app) return S_FALSE;
  UniqueVariant result;
  const HRESULT hr = app.CallMember(script::kAppIsReady, result.get());
  if (FAILED(hr)) return S_FALSE;
  *pBool = TruthValue(*result.get());
  return hr;
}

HRESULT STDMETHODCALLTYPE ApplicationObject::AttachAppObject(IDispatch* pJSAppObject) {
  if (pJSAppObject == nullptr) {
    RecordError(kMsgNullAttach);  // its result is dropped
    return E_POINTER;
  }
  HRESULT hr = S_OK;
  IDispatch* earlier = nullptr;
  {
    // The shared record and attachedApp_ change together: two attaches
    // through this object must leave both naming the same app.
    SrwExclusive hold(lock_);
    hr = SharedAttachment::Instance().Attach(pJSAppObject);
    earlier = std::exchange(attachedApp_, pJSAppObject);  // shares the reference Attach took
  }
  // This object's earlier attachment was just replaced in the shared record
  // too: nobody else gives its reference back.
  if (earlier != nullptr) earlier->Release();
  return hr;
}

HRESULT STDMETHODCALLTYPE ApplicationObject::OnUnload() {
  ReleaseOwnedWrappers();
  IDispatch* attached = nullptr;
  {
    SrwExclusive hold(lock_);
    attached = std::exchange(attachedApp_, nullptr);
  }
  SharedAttachment::Instance().Detach(attached);
  return S_OK;
}

}  // namespace vaduna
