// What the application, service and property set classes share beyond the
// common base: their dual interface served from the server's type library,
// their kind and class, and the error-state methods every interface has.
#pragma once

#include "hosting/aggregatable_object.h"
#include "hosting/type_info_holder.h"
#include "object_model/script_wrapper.h"

namespace vaduna {

// The type library that describes the three dual interfaces (TYPELIB 1 of
// the executable, registered by the server's registration).
struct ServerTypeLibrary {
  static const GUID& Id() noexcept { return LIBID_VADUNAHTMLLib; }
  static constexpr WORD kMajor = 1;
  static constexpr WORD kMinor = 0;
};

template <class Dual, ObjectKind kKind, const CLSID& kClassId>
class DualScriptWrapper : public DualObject<ScriptWrapper, Dual, ServerTypeLibrary> {
 public:
  ObjectKind Kind() const noexcept final { return kKind; }
  const CLSID& ClassId() const noexcept final { return kClassId; }

  // The last recorded message number and a new copy of its text; E_POINTER
  // for a null out-parameter.
  HRESULT STDMETHODCALLTYPE GetLastErrCode(INT* errCode) final { return this->Errors().GetCode(errCode); }
  HRESULT STDMETHODCALLTYPE GetLastErrText(BSTR* text) final { return this->Errors().GetText(text); }

 protected:
  using Base = DualObject<ScriptWrapper, Dual, ServerTypeLibrary>;
  DualScriptWrapper(IUnknown* outer, ServerContext& context) noexcept : Base(outer, context) {}
};

}  // namespace vaduna
