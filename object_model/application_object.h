// The application object: where every client starts. Forwards Name,
// GetService, NewPropertySet and IsReady to the page's script application
// and wraps the script objects that come back.
#pragma once

#include "object_model/server_object_base.h"

namespace vaduna {

class ApplicationObject final : public DualObject<ServerObjectBase, IVadunaHTMLApplication> {
 public:
  explicit ApplicationObject(IUnknown* outer) noexcept;

  ObjectKind Kind() const noexcept override { return ObjectKind::Application; }
  const CLSID& ClassId() const noexcept override { return CLSID_VadunaHTMLApplication; }

  HRESULT STDMETHODCALLTYPE Name(BSTR* str) override;
  HRESULT STDMETHODCALLTYPE GetService(BSTR serviceName, IVadunaService** ppService) override;
  HRESULT STDMETHODCALLTYPE NewPropertySet(IVadunaPropertySet** pPropSet) override;
  HRESULT STDMETHODCALLTYPE IsReady(VARIANT_BOOL* pBool) override;
  HRESULT STDMETHODCALLTYPE GetLastErrCode(INT* errCode) override;
  HRESULT STDMETHODCALLTYPE GetLastErrText(BSTR* Text) override;
  HRESULT STDMETHODCALLTYPE AttachAppObject(IDispatch* pJSAppObject) override;
  HRESULT STDMETHODCALLTYPE OnUnload() override;

 private:
  void CleanUp() noexcept override;
  mutable SRWLOCK lock_ = SRWLOCK_INIT;
  IDispatch* attachedApp_ = nullptr;  // shares the reference held by the shared attachment
};

}  // namespace vaduna
