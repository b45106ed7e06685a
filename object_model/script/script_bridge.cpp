#include "object_model/script/script_bridge.h"

#include <wrl/client.h>

#include "base/pointer_guard.h"
#include "base/hresult.h"
#include "base/unique_resource.h"
#include "base/variant_builders.h"
#include "interface/interfaces.h"

namespace vaduna {
namespace {

// LOCALE_USER_DEFAULT, for the lookup and the invocation alike.
constexpr LCID kScriptLocale = 0x0400;

// One name per lookup; the identifier is never cached, so a member the script
// adds or replaces between two calls is seen as it is now.
HRESULT LookUp(IDispatch* object, const wchar_t* name, DISPID* id) noexcept {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  return object->GetIDsOfNames(IID_NULL, names, 1, kScriptLocale, id);
}

// One level of a VT_BYREF answer: the value its storage holds, which now
// belongs to the caller, and the storage freed. The automation marshaller
// hands a reference over in memory of the task allocator that belongs to the
// receiver; the value it held (a string, an object, an array, or a VARIANT
// that may itself be a reference) is taken over, not copied.
VARIANT TakeOneLevel(VARIANT* reference) noexcept {
  const VARTYPE type = reference->vt & ~VT_BYREF;
  void* const referent = reference->byref;
  VARIANT value = EmptyValue();
  if (referent != nullptr) {
    if ((type & VT_ARRAY) != 0) {
      value.vt = type;
      value.parray = *static_cast<SAFEARRAY**>(referent);
    } else if (type == VT_VARIANT) {
      value = *static_cast<VARIANT*>(referent);
    } else if (type == VT_BSTR) {
      value = BorrowedString(*static_cast<BSTR*>(referent));  // taken over
    } else if (type == VT_DISPATCH || type == VT_UNKNOWN) {
      value.vt = type;
      value.punkVal = *static_cast<IUnknown**>(referent);  // its reference taken over
    } else if (FAILED(::VariantCopyInd(&value, reference))) {
      value = EmptyValue();  // a type no rule reads
    }
  }
  ::CoTaskMemFree(referent);
  return value;
}

// What a VT_BYREF answer points at, read through into the answer itself,
// level by level to any depth: each level's storage is freed on the way, so
// that a chain of references leaves nothing behind but its final value.
void TakeReferencedValue(VARIANT* result) noexcept {
  while ((result->vt & VT_BYREF) != 0) *result = TakeOneLevel(result);
}

// No EXCEPINFO and no argument-error index: a script failure reaches the
// server only as this HRESULT. A referenced answer is read through.
HRESULT InvokeKind(IDispatch* object, DISPID id, WORD kind, DISPPARAMS* params, VARIANT* result) noexcept {
  const HRESULT hr = object->Invoke(id, IID_NULL, kScriptLocale, kind, params, result, nullptr, nullptr);
  if (SUCCEEDED(hr) && result != nullptr) TakeReferencedValue(result);
  return hr;
}

HRESULT InvokeMethod(IDispatch* object, const wchar_t* name, VARIANT* args, UINT count,
                     VARIANT* result) noexcept {
  if (object == nullptr || name == nullptr) return E_INVALIDARG;
  DISPID id = DISPID_UNKNOWN;
  VADUNA_RETURN_IF_FAILED(LookUp(object, name, &id));
  if (count != 0 && args == nullptr) return E_INVALIDARG;
  DISPPARAMS params{count != 0 ? args : nullptr, nullptr, count, 0};
  return InvokeKind(object, id, DISPATCH_METHOD, &params, result);
}

// Copies source into an empty slot; a failed copy stands in as VT_ERROR
// carrying the copy's HRESULT, so the call still goes ahead.
void CopyArgument(VARIANT* slot, const VARIANT* source) noexcept {
  const HRESULT copied = ::VariantCopy(slot, const_cast<VARIANT*>(source));
  if (FAILED(copied)) *slot = ErrorValue(copied);
}

bool PutsByReference(VARTYPE type) noexcept {
  return type == VT_UNKNOWN || type == VT_DISPATCH || (type & (VT_ARRAY | VT_BYREF)) != 0;
}

}  // namespace

HRESULT ScriptRef::CallMember(const wchar_t* name, VARIANT* result) const noexcept {
  return InvokeMethod(get(), name, nullptr, 0, result);
}

HRESULT ScriptRef::CallMember(const wchar_t* name, VARIANT* arg, VARIANT* result) const noexcept {
  return InvokeMethod(get(), name, arg, 1, result);
}

HRESULT ScriptRef::CallMember(const wchar_t* name, const VARIANT* first, const VARIANT* second,
                              VARIANT* result) const noexcept {
  if (empty() || name == nullptr) return E_INVALIDARG;
  DISPID id = DISPID_UNKNOWN;
  VADUNA_RETURN_IF_FAILED(LookUp(get(), name, &id));
  if (first == nullptr || second == nullptr) return E_INVALIDARG;
  // Element 0 is the last argument: the script sees first, then second. The
  // copies are the call's own and are cleared after it whatever happens.
  VARIANT args[2] = {EmptyValue(), EmptyValue()};
  CopyArgument(&args[0], second);
  CopyArgument(&args[1], first);
  DISPPARAMS params{args, nullptr, 2, 0};
  const HRESULT invoked = InvokeKind(get(), id, DISPATCH_METHOD, &params, result);
  for (VARIANT& arg : args) ::VariantClear(&arg);
  return invoked;
}

HRESULT ScriptRef::CallMember(const wchar_t* name, VARIANT* args, UINT count, VARIANT* result) const noexcept {
  return InvokeMethod(get(), name, args, count, result);
}

HRESULT ScriptRef::GetMember(const wchar_t* name, VARIANT* result) const noexcept {
  if (empty() || name == nullptr) return E_INVALIDARG;
  DISPID id = DISPID_UNKNOWN;
  VADUNA_RETURN_IF_FAILED(LookUp(get(), name, &id));
  VADUNA_RETURN_IF_NULL(result);
  DISPPARAMS params{nullptr, nullptr, 0, 0};
  return InvokeKind(get(), id, DISPATCH_PROPERTYGET, &params, result);
}

HRESULT ScriptRef::PutMember(const wchar_t* name, VARIANT* value) const noexcept {
  if (empty() || name == nullptr) return E_INVALIDARG;
  DISPID id = DISPID_UNKNOWN;
  VADUNA_RETURN_IF_FAILED(LookUp(get(), name, &id));
  return PutMemberById(id, value);
}

HRESULT ScriptRef::PutMemberById(DISPID id, VARIANT* value) const noexcept {
  VADUNA_RETURN_IF_NULL(value);
  if (empty()) return E_INVALIDARG;
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{value, &named, 1, 1};
  if (PutsByReference(value->vt)) {
    const HRESULT byReference = InvokeKind(get(), id, DISPATCH_PROPERTYPUTREF, &params, nullptr);
    if (SUCCEEDED(byReference)) return byReference;
  }
  return InvokeKind(get(), id, DISPATCH_PROPERTYPUT, &params, nullptr);
}

void ScriptRef::EnsureMember(const wchar_t* name) const noexcept {
  if (object_ == nullptr || name == nullptr) return;
  Microsoft::WRL::ComPtr<IDispatchEx> expandable;
  if (FAILED(object_.As(&expandable)) || !expandable) return;
  UniqueBstr memberName(::SysAllocString(name));
  if (!memberName) return;
  DISPID ignored = DISPID_UNKNOWN;
  expandable->GetDispID(memberName.get(), fdexNameEnsure, &ignored);
}

}  // namespace vaduna
