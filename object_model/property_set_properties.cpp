// Properties, type, value and reset of a property set: each forwarded by
// member name to the script property set it wraps.
#include "object_model/property_set_object.h"
#include "object_model/script_contract.h"
#include "object_model/wrapper_calls.h"
#include "server_host/unique_resource.h"

namespace vaduna {

HRESULT STDMETHODCALLTYPE PropertySetObject::GetPropertyCount(long* count) {
  if (count == nullptr) return E_POINTER;
  return ForwardCountGetter(*this, script::kGetPropertyCount, count);
}

HRESULT STDMETHODCALLTYPE PropertySetObject::GetFirstProperty(BSTR* pPropName) {
  if (pPropName == nullptr) return E_POINTER;
  return ForwardStringGetter(*this, script::kGetFirstProperty, nullptr, pPropName);
}

HRESULT STDMETHODCALLTYPE PropertySetObject::GetNextProperty(BSTR* pPropName) {
  if (pPropName == nullptr) return E_POINTER;
  return ForwardStringGetter(*this, script::kGetNextProperty, nullptr, pPropName);
}

HRESULT STDMETHODCALLTYPE PropertySetObject::GetProperty(BSTR propName, BSTR* pPropVal) {
  if (propName == nullptr || pPropVal == nullptr) return E_POINTER;
  VARIANT name = BorrowedString(propName);
  return ForwardStringGetter(*this, script::kGetProperty, &name, pPropVal);
}

HRESULT STDMETHODCALLTYPE PropertySetObject::GetType(BSTR* pType) {
  if (pType == nullptr) return E_POINTER;
  return ForwardStringGetter(*this, script::kGetType, nullptr, pType);
}

HRESULT STDMETHODCALLTYPE PropertySetObject::GetValue(BSTR* pValue) {
  if (pValue == nullptr) return E_POINTER;
  return ForwardStringGetter(*this, script::kGetValue, nullptr, pValue);
}

HRESULT STDMETHODCALLTYPE PropertySetObject::PropertyExists(BSTR propName, VARIANT_BOOL* pBool) {
  if (propName == nullptr) return E_POINTER;
  return ForwardTruthSetter(*this, script::kPropertyExists, propName, pBool);
}

HRESULT STDMETHODCALLTYPE PropertySetObject::RemoveProperty(BSTR propName, VARIANT_BOOL* pBool) {
  if (propName == nullptr) return E_POINTER;
  return ForwardTruthSetter(*this, script::kRemoveProperty, propName, pBool);
}

HRESULT STDMETHODCALLTYPE PropertySetObject::SetType(BSTR type, VARIANT_BOOL* pBool) {
  if (type == nullptr) return E_POINTER;
  return ForwardTruthSetter(*this, script::kSetType, type, pBool);
}

HRESULT STDMETHODCALLTYPE PropertySetObject::SetValue(BSTR value, VARIANT_BOOL* pBool) {
  if (value == nullptr) return E_POINTER;
  return ForwardTruthSetter(*this, script::kSetValue, value, pBool);
}

// The script answers nothing: a call that went through counts as done.
HRESULT STDMETHODCALLTYPE PropertySetObject::SetProperty(BSTR propName, BSTR propVal, VARIANT_BOOL* pBool) {
  if (propName == nullptr || propVal == nullptr) return E_POINTER;
  const ScriptRef scriptSet = Script();
  if (scriptSet.empty()) return RecordError(kMsgOutOfScope);
  const VARIANT name = BorrowedString(propName);
  const VARIANT value = BorrowedString(propVal);
  UniqueVariant result;
  return TruthOfCall(scriptSet.CallMember(script::kSetProperty, &name, &value, result.get()), pBool);
}

HRESULT STDMETHODCALLTYPE PropertySetObject::Reset(VARIANT_BOOL* pBool) {
  const ScriptRef scriptSet = Script();
  if (scriptSet.empty()) return RecordError(kMsgOutOfScope);
  UniqueVariant result;
  return TruthOfCall(scriptSet.CallMember(script::kReset, result.get()), pBool);
}

}  // namespace vaduna
