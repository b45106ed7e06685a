// The property-set methods whose script members answer nothing.
#include "base/hresult.h"
#include "base/pointer_guard.h"
#include "base/unique_resource.h"
#include "object_model/property_set_object.h"

namespace vaduna {

HRESULT STDMETHODCALLTYPE PropertySetObject::SetProperty(BSTR propName, BSTR propVal, VARIANT_BOOL* pBool) {
  VADUNA_RETURN_IF_NULL(propName, propVal);
  ScriptRef scriptSet;
  VADUNA_RETURN_IF_FAILED(ScriptForCall(&scriptSet));
  const VARIANT name = BorrowedString(propName);
  const VARIANT value = BorrowedString(propVal);
  UniqueVariant result;
  return TruthOfCall(*this, scriptSet.CallMember(script::kSetProperty, &name, &value, result.get()), pBool);
}

HRESULT STDMETHODCALLTYPE PropertySetObject::Reset(VARIANT_BOOL* pBool) {
  ScriptRef scriptSet;
  VADUNA_RETURN_IF_FAILED(ScriptForCall(&scriptSet));
  UniqueVariant result;
  return TruthOfCall(*this, scriptSet.CallMember(script::kReset, result.get()), pBool);
}

}  // namespace vaduna
