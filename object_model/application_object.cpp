#include "object_model/application_object.h"

#include <utility>

#include "object_model/script_contract.h"
#include "object_model/script_results.h"
#include "object_model/shared_attachment.h"
#include "object_model/wrapper_calls.h"
#include "server_host/unique_resource.h"

namespace vaduna {

using Microsoft::WRL::ComPtr;

ApplicationObject::ApplicationObject(IUnknown* outer) noexcept : DualObject(outer) {}

void ApplicationObject::CleanUp() noexcept {
  // A page that never unloads stays attached (the shared record keeps the
  // reference); an app that another attachment replaced is given back here.
  SharedAttachment::Instance().Abandon(std::exchange(attachedApp_, nullptr));
  ServerObjectBase::CleanUp();
}

HRESULT STDMETHODCALLTYPE ApplicationObject::Name(BSTR* str) {
  if (str == nullptr) return E_POINTER;
  const ScriptRef app = SharedAttachment::Instance().CurrentApp();
  if (!app) return RecordError(kMsgOutOfScope);
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
  const ScriptRef app = attachment.CurrentApp();
  if (!app) return RecordError(kMsgOutOfScope);

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
  ServerObjectBase* wrapper = CreateWrapper(ObjectKind::Service);
  if (wrapper == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = wrapper->InnerQueryInterface(IID_IVadunaService, reinterpret_cast<void**>(ppService));
  if (hr != S_OK) {
    wrapper->DestroyPlain();
    return hr;
  }
  wrapper->BindScriptObject(this, *ppService, service.Get());
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ApplicationObject::NewPropertySet(IVadunaPropertySet** pPropSet) {
  if (pPropSet == nullptr) return E_POINTER;
  const ScriptRef app = SharedAttachment::Instance().CurrentApp();
  if (!app) return RecordError(kMsgOutOfScope);

  *pPropSet = nullptr;
  UniqueVariant result;
  if (FAILED(app.CallMember(script::kAppNewPropertySet, result.get()))) return S_FALSE;

  ServerObjectBase* wrapper = CreateWrapper(ObjectKind::PropertySet);
  if (wrapper == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = wrapper->InnerQueryInterface(IID_IVadunaPropertySet, reinterpret_cast<void**>(pPropSet));
  if (hr != S_OK) {
    wrapper->DestroyPlain();
    return hr;
  }
  // Without an object in the answer the binding fails and the client holds a
  // property set without a script object, which answers message 202.
  wrapper->BindScriptObject(this, *pPropSet, ObjectValue(*result.get()));
  return S_OK;  // result is cleared on leaving: the wrapper holds its own reference
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

HRESULT STDMETHODCALLTYPE ApplicationObject::GetLastErrCode(INT* errCode) { return Errors().GetCode(errCode); }

HRESULT STDMETHODCALLTYPE ApplicationObject::GetLastErrText(BSTR* Text) { return Errors().GetText(Text); }

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
