#include "object_model/wrapper_calls.h"

#include <optional>
#include <utility>

#include "base/pointer_guard.h"
#include "base/hresult.h"
#include "base/unique_resource.h"
#include "object_model/script/script_results.h"

namespace vaduna {

OwnerRef::OwnerRef(const ScriptWrapper& wrapper) noexcept : owner_(wrapper.AcquireOwner()) {}

OwnerRef::~OwnerRef() {
  if (owner_ != nullptr) owner_->DualPointer()->Release();
}

HRESULT TruthOfCall(ScriptWrapper& wrapper, HRESULT callResult, VARIANT_BOOL* out) noexcept {
  if (FAILED(callResult)) {
    StoreTruth(out, VARIANT_FALSE);
    return wrapper.FailedScriptCall(callResult);
  }
  StoreTruth(out, VARIANT_TRUE);
  return S_OK;
}

HRESULT ForwardTruthSetter(ScriptWrapper& wrapper, const wchar_t* member, BSTR argument,
                           VARIANT_BOOL* out) noexcept {
  VADUNA_RETURN_IF_NULL(argument);
  ScriptRef script;
  VADUNA_RETURN_IF_FAILED(wrapper.ScriptForCall(&script));
  VARIANT borrowed = BorrowedString(argument);
  UniqueVariant result;
  const HRESULT hr = script.CallMember(member, &borrowed, result.get());
  if (FAILED(hr)) {
    StoreTruth(out, VARIANT_FALSE);
    return wrapper.FailedScriptCall(hr);
  }
  StoreTruth(out, SetterTruth(*result.get()));
  return S_OK;
}

namespace {

HRESULT CallStringGetter(ScriptWrapper& wrapper, const wchar_t* member, VARIANT* argument, BSTR* out) noexcept {
  ScriptRef script;
  VADUNA_RETURN_IF_FAILED(wrapper.ScriptForCall(&script));
  UniqueVariant result;
  const HRESULT hr = argument != nullptr ? script.CallMember(member, argument, result.get())
                                         : script.CallMember(member, result.get());
  if (FAILED(hr)) return wrapper.FailedScriptCall(hr);
  // The string passes to the client, who frees it.
  return TakeStringResult(result.get(), out);
}

}  // namespace

HRESULT ForwardStringGetter(ScriptWrapper& wrapper, const wchar_t* member, BSTR* out) noexcept {
  VADUNA_RETURN_IF_NULL(out);
  return CallStringGetter(wrapper, member, nullptr, out);
}

HRESULT ForwardStringGetter(ScriptWrapper& wrapper, const wchar_t* member, BSTR argument, BSTR* out) noexcept {
  VADUNA_RETURN_IF_NULL(argument, out);
  VARIANT borrowed = BorrowedString(argument);
  return CallStringGetter(wrapper, member, &borrowed, out);
}

HRESULT ForwardCountGetter(ScriptWrapper& wrapper, const wchar_t* member, long* out) noexcept {
  VADUNA_RETURN_IF_NULL(out);
  ScriptRef script;
  VADUNA_RETURN_IF_FAILED(wrapper.ScriptForCall(&script));
  UniqueVariant result;
  const HRESULT hr = script.CallMember(member, result.get());
  if (FAILED(hr)) return wrapper.FailedScriptCall(hr);
  const std::optional<LONG> count = CountValue(*result.get());
  if (!count) return S_FALSE;
  *out = *count;
  return S_OK;
}

ScriptWrapper* PassedPropertySet(IUnknown* set) noexcept {
  ScriptWrapper* object = nullptr;
  if (set == nullptr || FAILED(ServerObjectFromInterface(set, &object)) || object == nullptr) return nullptr;
  return object->Kind() == ObjectKind::PropertySet ? object : nullptr;
}

HRESULT RefuseStaleSet(ScriptWrapper& callee, ULONG generation, const ScriptWrapper* set) noexcept {
  if (set == nullptr) return S_OK;
  const ULONG setGeneration = set->PageGeneration();
  if (setGeneration == 0) return S_OK;
  const bool otherPage = generation != 0 && setGeneration != generation;
  if (!otherPage && setGeneration == callee.Context().attachment.Generation()) return S_OK;
  return callee.RecordError(kMsgOutOfScope);
}

HRESULT ScriptOfPassedSet(IUnknown* set, ScriptRef* script) noexcept {
  ScriptWrapper* object = PassedPropertySet(set);
  if (object == nullptr) return E_INVALIDARG;
  ScriptRef held = object->Script();
  if (held.empty()) return E_INVALIDARG;
  *script = std::move(held);
  return S_OK;
}

}  // namespace vaduna
