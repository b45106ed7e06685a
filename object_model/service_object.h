// A business service of the page: forwards Name and InvokeMethod to the
// script service it wraps.
#pragma once

#include "object_model/script/script_contract.h"
#include "object_model/dual_script_wrapper.h"
#include "object_model/wrapper_calls.h"

namespace vaduna {

class ServiceObject final : public DualScriptWrapper<IVadunaService, ObjectKind::Service, CLSID_VadunaService> {
 public:
  ServiceObject(IUnknown* outer, ServerContext& context) noexcept : DualScriptWrapper(outer, context) {}

  HRESULT STDMETHODCALLTYPE Name(BSTR* str) override {
    return ForwardStringGetter(*this, script::kServiceName, str);
  }
  HRESULT STDMETHODCALLTYPE InvokeMethod(BSTR method, IVadunaPropertySet* pInputArgs,
                                         IVadunaPropertySet* pOutputArgs, VARIANT_BOOL* pBool) override;
};

}  // namespace vaduna
