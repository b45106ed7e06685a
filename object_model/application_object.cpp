#include "object_model/application_object.h"

#include <utility>

#include "base/pointer_guard.h"
#include "base/hresult.h"
#include "base/unique_resource.h"
#include "base/variant_builders.h"
#include "object_model/script/script_contract.h"
#include "object_model/script/script_results.h"
#include "object_model/shared_attachment.h"

namespace vaduna {

using Microsoft::WRL::ComPtr;

HRESULT ApplicationObject::CurrentPageForCall(SharedAttachment::Page* page) noexcept {
  *page = Context().attachment.CurrentPage();
  if (page->app.empty()) return RecordError(kMsgOutOfScope);
  return S_OK;
}

void ApplicationObject::CleanUp() noexcept {
  // A page that never unloads stays attached (the shared record keeps the
  // reference); an app that another attachment replaced is given back here.
  Context().attachment.Abandon(std::exchange(attachedApp_, nullptr), this);
  ScriptWrapper::CleanUp();
}

HRESULT STDMETHODCALLTYPE ApplicationObject::Name(BSTR* str) {
  VADUNA_RETURN_IF_NULL(str);
  SharedAttachment::Page page;
  VADUNA_RETURN_IF_FAILED(CurrentPageForCall(&page));
  UniqueVariant result;
  const HRESULT hr = page.app.CallMember(script::kAppName, result.get());
  if (FAILED(hr)) return FailedScriptCall(hr, page.generation);
  TakeStringResult(result.get(), str);  // the script's string passes to the caller uncopied
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ApplicationObject::GetService(BSTR serviceName, IVadunaService** ppService) {
  VADUNA_RETURN_IF_NULL(serviceName, ppService);
  // No success code leaves the caller an undefined pointer.
  *ppService = nullptr;
  SharedAttachment& attachment = Context().attachment;
  if (!attachment.IsAttached()) return RecordError(kMsgOutOfScope);
  if (!attachment.WaitUntilReady()) return S_FALSE;
  // The page as it is after the wait: one that unloaded meanwhile is never called.
  SharedAttachment::Page page;
  VADUNA_RETURN_IF_FAILED(CurrentPageForCall(&page));

  VARIANT name = BorrowedString(serviceName);
  UniqueVariant result;
  const HRESULT hr = page.app.CallMember(script::kAppGetService, &name, result.get());
  if (FAILED(hr)) {
    const HRESULT failed = FailedScriptCall(hr, page.generation);
    if (failed != S_FALSE) return failed;  // the page is gone, and that is recorded
    RecordError(kMsgNoService);  // published; the call itself answers S_FALSE
    return S_FALSE;
  }
  ComPtr<IDispatch> service = TestedObjectValue(*result.get());
  result.put();  // the service is held by our own reference from here
  if (!service) return S_OK;  // not an object, or a null one: no service
  return WrapScriptObject(Context(), ObjectKind::Service, this, service.Get(), page.generation, ppService);
}

HRESULT STDMETHODCALLTYPE ApplicationObject::NewPropertySet(IVadunaPropertySet** pPropSet) {
  VADUNA_RETURN_IF_NULL(pPropSet);
  SharedAttachment::Page page;
  VADUNA_RETURN_IF_FAILED(CurrentPageForCall(&page));

  *pPropSet = nullptr;
  UniqueVariant result;
  const HRESULT hr = page.app.CallMember(script::kAppNewPropertySet, result.get());
  if (FAILED(hr)) return FailedScriptCall(hr, page.generation);

  // Without an object in the answer the client holds a property set without
  // a script object, which answers message 202. result is cleared on
  // leaving: the wrapper holds its own reference.
  return CreateBoundWrapper(Context(), ObjectKind::PropertySet, this, TestedObjectValue(*result.get()),
                            page.generation, pPropSet);
}

HRESULT STDMETHODCALLTYPE ApplicationObject::IsReady(VARIANT_BOOL* pBool) {
  VADUNA_RETURN_IF_NULL(pBool);
  *pBool = VARIANT_FALSE;
  const SharedAttachment::Page page = Context().attachment.CurrentPage();
  if (!page.app) return S_FALSE;
  UniqueVariant result;
  const HRESULT hr = page.app.CallMember(script::kAppIsReady, result.get());
  if (FAILED(hr)) return FailedScriptCall(hr, page.generation);
  *pBool = TruthValue(*result.get());
  return hr;
}

HRESULT STDMETHODCALLTYPE ApplicationObject::AttachAppObject(IDispatch* pJSAppObject) {
  if (pJSAppObject == nullptr) {
    RecordError(kMsgNullAttach);  // its result is dropped
    return E_POINTER;
  }
  // One of the server's own objects as the page would have the server call
  // itself for every request, without end.
  if (IsServerObject(pJSAppObject)) return E_INVALIDARG;
  HRESULT hr = S_OK;
  IDispatch* earlier = nullptr;
  // An app the record alone held goes after the lock: its release calls into
  // a page, which may call back into this object on another thread.
  ComPtr<IDispatch> abandoned;
  {
    // The shared record and attachedApp_ change together: two attaches
    // through this object must leave both naming the same app.
    SrwExclusive hold(lock_);
    hr = Context().attachment.Attach(pJSAppObject, this, &abandoned);
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
  Context().attachment.Detach(attached);
  return S_OK;
}

void ApplicationObject::UnloadDeadPage() noexcept {
  OnUnload();
  // The dead page process's references to this object are never released
  // by the platform: cut them, so that the server can end once its live
  // clients are gone.
  ::CoDisconnectObject(DualPointer(), 0);
}

}  // namespace vaduna
