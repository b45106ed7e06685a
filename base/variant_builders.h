// VARIANTs built in one expression, for arguments and results alike. The
// type says who frees: a plain VARIANT holds nothing to free (numbers,
// truth values, empty, null, error codes); a BorrowedVariant holds the
// caller's string or object without a copy or a reference and is passed
// on, never cleared; a UniqueVariant owns what it holds.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <oleauto.h>

#include "base/unique_resource.h"

namespace vaduna {

// A VARIANT that holds what someone else owns. It converts to a plain
// VARIANT for an argument list; nothing ever clears it.
struct BorrowedVariant : VARIANT {
  explicit BorrowedVariant(const VARIANT& value) noexcept : VARIANT(value) {}
};

inline VARIANT EmptyValue() noexcept {
  VARIANT value;
  ::VariantInit(&value);
  return value;
}

inline VARIANT NullValue() noexcept {
  VARIANT value = EmptyValue();
  value.vt = VT_NULL;
  return value;
}

inline VARIANT Int32Value(LONG number) noexcept {
  VARIANT value = EmptyValue();
  value.vt = VT_I4;
  value.lVal = number;
  return value;
}

inline VARIANT BoolValue(bool truth) noexcept {
  VARIANT value = EmptyValue();
  value.vt = VT_BOOL;
  value.boolVal = truth ? VARIANT_TRUE : VARIANT_FALSE;
  return value;
}

// The failure code of an argument that could not be passed.
inline VARIANT ErrorValue(HRESULT code) noexcept {
  VARIANT value = EmptyValue();
  value.vt = VT_ERROR;
  value.scode = code;
  return value;
}

// VT_BSTR holding the caller's string itself: neither copied nor freed.
inline BorrowedVariant BorrowedString(BSTR text) noexcept {
  VARIANT value = EmptyValue();
  value.vt = VT_BSTR;
  value.bstrVal = text;
  return BorrowedVariant(value);
}

// VT_DISPATCH holding object without an added reference.
inline BorrowedVariant BorrowedObject(IDispatch* object) noexcept {
  VARIANT value = EmptyValue();
  value.vt = VT_DISPATCH;
  value.pdispVal = object;
  return BorrowedVariant(value);
}

// VT_DISPATCH owning one new reference on object (none for null).
inline UniqueVariant HeldObject(IDispatch* object) noexcept {
  if (object != nullptr) object->AddRef();
  return UniqueVariant(BorrowedObject(object));
}

}  // namespace vaduna
