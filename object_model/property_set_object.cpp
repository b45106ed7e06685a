#include "object_model/property_set_object.h"

namespace vaduna {

PropertySetObject::PropertySetObject(IUnknown* outer) noexcept : DualObject(outer) {}

HRESULT STDMETHODCALLTYPE PropertySetObject::GetLastErrCode(INT* errCode) { return Errors().GetCode(errCode); }

HRESULT STDMETHODCALLTYPE PropertySetObject::GetLastErrText(BSTR* Text) { return Errors().GetText(Text); }

}  // namespace vaduna
