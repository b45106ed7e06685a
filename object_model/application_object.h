// The application object: where every client starts. Forwards Name,
// GetService, NewPropertySet and IsReady to the page's script application
// and wraps the script objects that come back.
#pragma once

#include "object_model/dual_script_wrapper.h"
#include "object_model/shared_attachment.h"

namespace vaduna {

class ApplicationObject final
    : public DualScriptWrapper<IVadunaHTMLApplication, ObjectKind::Application, CLSID_VadunaHTMLApplication>,
      private PageOwner {
 public:
  ApplicationObject(IUnknown* outer, ServerContext& context) noexcept : DualScriptWrapper(outer, context) {}

  HRESULT STDMETHODCALLTYPE Name(BSTR* str) override;
  HRESULT STDMETHODCALLTYPE GetService(BSTR serviceName, IVadunaService** ppService) override;
  HRESULT STDMETHODCALLTYPE NewPropertySet(IVadunaPropertySet** pPropSet) override;
  HRESULT STDMETHODCALLTYPE IsReady(VARIANT_BOOL* pBool) override;
  HRESULT STDMETHODCALLTYPE AttachAppObject(IDispatch* pJSAppObject) override;
  HRESULT STDMETHODCALLTYPE OnUnload() override;

 private:
  // The shared attachment's view of this object.
  bool TryHoldPageOwner() noexcept override { return TryAddRef(); }
  void ReleasePageOwner() noexcept override { DualPointer()->Release(); }
  void UnloadDeadPage() noexcept override;

  // The attached page for a call, or message 202 recorded and its failure
  // answered when no page is attached.
  HRESULT CurrentPageForCall(SharedAttachment::Page* page) noexcept;
  void CleanUp() noexcept override;

  mutable SRWLOCK lock_ = SRWLOCK_INIT;
  // Shares the one reference that the shared attachment holds on the page's
  // script application; given back by OnUnload (or by the attachment, once
  // this object is gone).
  IDispatch* attachedApp_ = nullptr;
};

}  // namespace vaduna
