// How the server reads a script member's answer. The bridge converts nothing;
// each caller picks the rule for the kind of result it expects. No rule reads
// the bits of a pointer-valued VARIANT as a number or a number as a pointer.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <optional>

namespace vaduna {

// String rule. A VT_BSTR result passes to *out uncopied (the caller frees it);
// VT_EMPTY and VT_NULL give a null BSTR (the empty string); numbers, truth
// values and dates are converted to their text; objects, arrays and anything
// that cannot be converted give a null BSTR. *result is VT_EMPTY afterwards
// and *out always holds a string the client may free. E_POINTER for null
// pointers, otherwise S_OK.
HRESULT TakeStringResult(VARIANT* result, BSTR* out) noexcept;

// Truth-value rule: the first 16 bits of the value field, taken as they come
// (VT_BOOL true gives -1, VT_I4 1 gives 1). VT_EMPTY and VT_NULL, whose value
// field is undefined, give 0; pointer-valued results (strings, objects,
// arrays, references) give VARIANT_TRUE when non-null and 0 when null.
VARIANT_BOOL TruthValue(const VARIANT& result) noexcept;

// Truth of a setter's answer: VT_BOOL its own value, VT_I4 non-zero
// VARIANT_TRUE and zero VARIANT_FALSE, any other type VARIANT_FALSE.
VARIANT_BOOL SetterTruth(const VARIANT& result) noexcept;

// Count rule: VT_I4 as it is; other numeric types converted to a 32-bit
// integer when they fit; anything else (empty, null, strings, objects) gives
// nothing, and the caller leaves its out-parameter unwritten.
std::optional<LONG> CountValue(const VARIANT& result) noexcept;

// Object rule, type-tested: the object of a VT_DISPATCH result (possibly
// null); any other type gives null, so no number is ever called through.
// Not counted: the result keeps its reference.
IDispatch* TestedObjectValue(const VARIANT& result) noexcept;

// Handle rule: the 32-bit value when the get succeeded, the type is neither
// VT_EMPTY nor VT_NULL and the value is non-zero. Pointer-valued results
// (strings, objects, arrays, references) are never usable handles.
std::optional<LONG> HandleValue(HRESULT getResult, const VARIANT& result) noexcept;

}  // namespace vaduna
