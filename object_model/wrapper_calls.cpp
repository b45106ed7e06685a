#include "object_model/wrapper_calls.h"

#include "object_model/application_object.h"
#include "object_model/script_results.h"
#include "server_host/unique_resource.h"

#include <optional>
#include <utility>

namespace vaduna {

OwnerRef::OwnerRef(const ServerObjectBase& wrapper) noexcept : owner_(wrapper.AcquireOwner()) {}

OwnerRef::~OwnerRef() {
  if (owner_ != nullptr) owner_->DualPointer()->Release();
}

VARIANT BorrowedString(BSTR text) noexcept {
  VARIANT value;
  ::VariantInit(&value);
  value.vt = VT_BSTR;
  value.bstrVal = text;
  return value;
}

VARIANT BorrowedObject(IDispatch* object) noexcept {
  VARIANT value;
  ::VariantInit(&value);
  value.vt = VT_DISPATCH;
  value.pdispVal = object;
  return value;
}

VARIANT Int32Argument(LONG number) noexcept {
  VARIANT value;
  ::VariantInit(&value);
  value.vt = VT_I4;
  value.lVal = number;
  return value;
}

HRESULT TruthOfCall(HRESULT callResult, VARIANT_BOOL* out) noexcept {
  if (FAILED(callResult)) {
    StoreTruth(out, VARIANT_FALSE);
    return S_FALSE;
  }
  StoreTruth(out, VARIANT_TRUE);
  return S_OK;
}

HRESULT ForwardTruthSetter(ServerObjectBase& wrapper, const wchar_t* member, BSTR argument,
                           VARIANT_BOOL* out) noexcept {
  const ScriptRef script = wrapper.Script();
  if (script.empty()) return wrapper.RecordError(kMsgOutOfScope);
  VARIANT borrowed = BorrowedString(argument);
  UniqueVariant result;
  if (FAILED(script.CallMember(member, &borrowed, result.get()))) {
    StoreTruth(out, VARIANT_FALSE);
    return S_FALSE;
  }
  StoreTruth(out, SetterTruth(*result.get()));
  return S_OK;
}

HRESULT ForwardStringGetter(ServerObjectBase& wrapper, const wchar_t* member, VARIANT* argument,
                            BSTR* out) noexcept {
  const ScriptRef script = wrapper.Script();
  if (script.empty()) return wrapper.RecordError(kMsgOutOfScope);
  UniqueVariant result;
  const HRESULT hr = argument != nullptr ? script.CallMember(member, argument, result.get())
                                         : script.CallMember(member, result.get());
  if (FAILED(hr)) return S_FALSE;
  // The string passes to the client, who frees it.
  return TakeStringResult(result.get(), out);
}

HRESULT ForwardCountGetter(ServerObjectBase& wrapper, const wchar_t* member, long* out) noexcept {
  const ScriptRef script = wrapper.Script();
  if (script.empty()) return wrapper.RecordError(kMsgOutOfScope);
  UniqueVariant result;
  if (FAILED(script.CallMember(member, result.get()))) return S_FALSE;
  const std::optional<LONG> count = CountValue(*result.get());
  if (!count) return S_FALSE;
  *out = *count;
  return S_OK;
}

ServerObjectBase* PassedPropertySet(IUnknown* set) noexcept {
  ServerObjectBase* object = nullptr;
  if (set == nullptr || FAILED(ServerObjectFromInterface(set, &object)) || object == nullptr) return nullptr;
  return object->Kind() == ObjectKind::PropertySet ? object : nullptr;
}

HRESULT ScriptOfPassedSet(IUnknown* set, ScriptRef* script) noexcept {
  ServerObjectBase* object = PassedPropertySet(set);
  if (object == nullptr) return E_INVALIDARG;
  ScriptRef held = object->Script();
  if (held.empty()) return E_INVALIDARG;
  *script = std::move(held);
  return S_OK;
}

}  // namespace vaduna
