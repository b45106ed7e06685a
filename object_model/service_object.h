// A business service of the page: forwards Name and InvokeMethod to the
// script service it wraps.
#pragma once

#include "object_model/server_object_base.h"

namespace vaduna {

class ServiceObject final : public DualObject<ServerObjectBase, IVadunaService> {
 public:
  explicit ServiceObject(IUnknown* outer) noexcept;

  ObjectKind Kind() const noexcept override { return ObjectKind::Service; }
  const CLSID& ClassId() const noexcept override { return CLSID_VadunaService; }

  HRESULT STDMETHODCALLTYPE Name(BSTR* str) override;
  HRESULT STDMETHODCALLTYPE InvokeMethod(BSTR method, IVadunaPropertySet* pInputArgs,
                                         IVadunaPropertySet* pOutputArgs, VARIANT_BOOL* pBool) override;
  HRESULT STDMETHODCALLTYPE GetLastErrCode(INT* errCode) override;
  HRESULT STDMETHODCALLTYPE GetLastErrText(BSTR* Text) override;
};

}  // namespace vaduna
