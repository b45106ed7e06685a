// VARIANTs built in one expression, for arguments and results alike.
// Borrowed values hold the caller's string or object without a copy or a
// reference: such a VARIANT is passed on, never cleared. The others own
// what they hold and are cleared by whoever receives them.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <oleauto.h>

namespace vaduna {

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
inline VARIANT BorrowedString(BSTR text) noexcept {
  VARIANT value = EmptyValue();
  value.vt = VT_BSTR;
  value.bstrVal = text;
  return value;
}

// VT_DISPATCH holding object without an added reference.
inline VARIANT BorrowedObject(IDispatch* object) noexcept {
  VARIANT value = EmptyValue();
  value.vt = VT_DISPATCH;
  value.pdispVal = object;
  return value;
}

// VT_DISPATCH owning one new reference on object (none for null).
inline VARIANT HeldObject(IDispatch* object) noexcept {
  if (object != nullptr) object->AddRef();
  return BorrowedObject(object);
}

}  // namespace vaduna
