#include "object_model/script/script_results.h"

#include "base/pointer_guard.h"
#include "base/unique_resource.h"

namespace vaduna {
namespace {

// Types whose value field holds a pointer rather than a number.
bool HoldsPointer(VARTYPE type) noexcept {
  if ((type & (VT_ARRAY | VT_BYREF)) != 0) return true;
  switch (type) {
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_UNKNOWN:
    case VT_RECORD:
    case VT_LPSTR:
    case VT_LPWSTR:
    case VT_PTR:
    case VT_VOID:
      return true;
    default:
      return false;
  }
}

bool IsNumeric(VARTYPE type) noexcept {
  switch (type) {
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_INT:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_UINT:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DECIMAL:
      return true;
    default:
      return false;
  }
}

}  // namespace

HRESULT TakeStringResult(VARIANT* result, BSTR* out) noexcept {
  VADUNA_RETURN_IF_NULL(result, out);
  if (result->vt == VT_BSTR) {
    // The script's string passes to the caller uncopied; the result lets go of it.
    *out = result->bstrVal;
    ::VariantInit(result);
    return S_OK;
  }
  *out = nullptr;
  // Objects are not asked for a default value: that would be one more call
  // into the script, and its text would be none the client asked for.
  const VARTYPE base = result->vt & VT_TYPEMASK;
  if (base == VT_EMPTY || base == VT_NULL || base == VT_DISPATCH || base == VT_UNKNOWN ||
      (result->vt & VT_ARRAY) != 0) {
    ::VariantClear(result);
    return S_OK;
  }
  UniqueVariant text;
  if (SUCCEEDED(::VariantChangeType(text.get(), result, 0, VT_BSTR)) && text->vt == VT_BSTR) {
    *out = text.release().bstrVal;
  }
  ::VariantClear(result);
  return S_OK;
}

VARIANT_BOOL TruthValue(const VARIANT& result) noexcept {
  if (result.vt == VT_EMPTY || result.vt == VT_NULL) return VARIANT_FALSE;
  if (HoldsPointer(result.vt)) return result.byref != nullptr ? VARIANT_TRUE : VARIANT_FALSE;
  return result.boolVal;  // the first 16 bits, as they come
}

VARIANT_BOOL SetterTruth(const VARIANT& result) noexcept {
  if (result.vt == VT_BOOL) return result.boolVal;
  if (result.vt == VT_I4) return result.lVal != 0 ? VARIANT_TRUE : VARIANT_FALSE;
  return VARIANT_FALSE;
}

std::optional<LONG> CountValue(const VARIANT& result) noexcept {
  if (result.vt == VT_I4) return result.lVal;
  if (!IsNumeric(result.vt)) return std::nullopt;
  UniqueVariant count;
  if (FAILED(::VariantChangeType(count.get(), const_cast<VARIANT*>(&result), 0, VT_I4)) ||
      count->vt != VT_I4) {
    return std::nullopt;
  }
  return count->lVal;
}

IDispatch* TestedObjectValue(const VARIANT& result) noexcept {
  return result.vt == VT_DISPATCH ? result.pdispVal : nullptr;
}

std::optional<LONG> HandleValue(HRESULT getResult, const VARIANT& result) noexcept {
  if (FAILED(getResult)) return std::nullopt;
  if (result.vt == VT_EMPTY || result.vt == VT_NULL || HoldsPointer(result.vt)) return std::nullopt;
  if (result.lVal == 0) return std::nullopt;
  return result.lVal;
}

}  // namespace vaduna
