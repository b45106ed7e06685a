#include "connector/wire_values.h"

#include <oleauto.h>

#include <boost/json.hpp>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>

#include "connector/limits.h"
#include "connector/utf.h"

namespace vaduna::connector {

namespace json = boost::json;

namespace {

// A page number holds integers exactly up to 2^53.
constexpr std::int64_t kMaxExactInteger = std::int64_t{1} << 53;

// A page Date spans +-8.64e15 ms around 1970.
constexpr double kMaxPageMs = 8.64e15;
constexpr std::int64_t kMsPerDay = 86400000;
// Days from COM's day 0 (1899-12-30) to 1970-01-01.
constexpr std::int64_t kUnixEpochDay = 25569;
// COM's dates: 100-01-01 to 9999-12-31.
constexpr std::int64_t kFirstComDay = -657434;
constexpr std::int64_t kLastComDay = 2958465;

// BYREF reads may nest at most this deep (a VARIANT reference to a reference).
constexpr int kMaxByRefDepth = 2;

Conversion Failure(HRESULT code, std::wstring description) {
  Conversion result;
  result.code = code;
  result.description = std::move(description);
  return result;
}

Conversion Malformed(std::wstring description) {
  Conversion result = Failure(DISP_E_TYPEMISMATCH, std::move(description));
  result.malformed = true;
  return result;
}

std::wstring TypeName(VARTYPE type) {
  wchar_t text[16];
  std::swprintf(text, 16, L"0x%04X", static_cast<unsigned>(type));
  return text;
}

std::wstring Hex(unsigned long code) {
  wchar_t text[16];
  std::swprintf(text, 16, L"0x%08lX", code);
  return text;
}

// The double nearest to the decimal number in text (from_chars rounds correctly).
double NearestDouble(const char* text, std::size_t length) {
  double value = 0;
  std::from_chars(text, text + length, value);
  return value;
}

double CurrencyToDouble(CY value) {
  const bool negative = value.int64 < 0;
  const std::uint64_t magnitude =
      negative ? 0 - static_cast<std::uint64_t>(value.int64) : static_cast<std::uint64_t>(value.int64);
  char text[40];
  const int length = std::snprintf(text, sizeof text, "%s%llu.%04llu", negative ? "-" : "",
                                   static_cast<unsigned long long>(magnitude / 10000),
                                   static_cast<unsigned long long>(magnitude % 10000));
  return NearestDouble(text, static_cast<std::size_t>(length));
}

std::optional<double> DecimalToDouble(const DECIMAL& value) {
  if (value.scale > 28) return std::nullopt;
  unsigned __int128 mantissa = (static_cast<unsigned __int128>(value.Hi32) << 64) | value.Lo64;
  char digits[40];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + static_cast<int>(mantissa % 10));
    mantissa /= 10;
  } while (mantissa != 0);
  while (count <= value.scale) digits[count++] = '0';  // at least one digit before the point
  char text[48];
  std::size_t length = 0;
  if (value.sign & DECIMAL_NEG) text[length++] = '-';
  for (int i = count - 1; i >= 0; --i) {
    text[length++] = digits[i];
    if (i == value.scale && i != 0) text[length++] = '.';
  }
  return NearestDouble(text, length);
}

// COM's DATE (days since 1899-12-30; before day 0 the fraction counts
// forwards from the day's start) as milliseconds since 1970, taken as UTC.
std::optional<std::int64_t> DateToUnixMs(DATE date) {
  if (!std::isfinite(date) || std::fabs(date) > 4e8) return std::nullopt;
  const double whole = std::trunc(date);
  const double fraction = std::fabs(date - whole);
  const std::int64_t ms = (static_cast<std::int64_t>(whole) - kUnixEpochDay) * kMsPerDay +
                          std::llround(fraction * static_cast<double>(kMsPerDay));
  if (std::fabs(static_cast<double>(ms)) > kMaxPageMs) return std::nullopt;
  return ms;
}

std::optional<DATE> UnixMsToDate(double ms) {
  if (!std::isfinite(ms) || std::fabs(ms) > kMaxPageMs) return std::nullopt;
  const std::int64_t total = std::llround(ms) + kUnixEpochDay * kMsPerDay;
  std::int64_t day = total / kMsPerDay;
  std::int64_t msOfDay = total % kMsPerDay;
  if (msOfDay < 0) {
    msOfDay += kMsPerDay;
    --day;
  }
  if (day < kFirstComDay || day > kLastComDay) return std::nullopt;
  const double fraction = static_cast<double>(msOfDay) / static_cast<double>(kMsPerDay);
  return day >= 0 ? static_cast<double>(day) + fraction : static_cast<double>(day) - fraction;
}

json::value Special(const char* kind, json::value v) {
  json::object special;
  special["$"] = kind;
  special["v"] = std::move(v);
  return special;
}

json::value NumberValue(double number) {
  if (std::isnan(number)) return Special("number", "NaN");
  if (std::isinf(number)) return Special("number", number > 0 ? "Infinity" : "-Infinity");
  return number;
}

// The value that value refers to when it is VT_BYREF: *scratch is filled as
// a borrowed view (never cleared) of the referenced scalar, or the referenced
// VARIANT is returned itself. Null for a null or unreadable reference.
const VARIANT* ReadThrough(const VARIANT& value, VARIANT& scratch) {
  if ((value.vt & VT_BYREF) == 0) return &value;
  const VARTYPE base = value.vt & ~VT_BYREF;
  if (value.byref == nullptr) return nullptr;
  if (base == VT_VARIANT) return value.pvarVal;
  ::VariantInit(&scratch);
  switch (base) {
    case VT_I1: scratch.cVal = *value.pcVal; break;
    case VT_UI1: scratch.bVal = *value.pbVal; break;
    case VT_I2: scratch.iVal = *value.piVal; break;
    case VT_UI2: scratch.uiVal = *value.puiVal; break;
    case VT_I4: scratch.lVal = *value.plVal; break;
    case VT_UI4: scratch.ulVal = *value.pulVal; break;
    case VT_INT: scratch.intVal = *value.pintVal; break;
    case VT_UINT: scratch.uintVal = *value.puintVal; break;
    case VT_I8: scratch.llVal = *value.pllVal; break;
    case VT_UI8: scratch.ullVal = *value.pullVal; break;
    case VT_R4: scratch.fltVal = *value.pfltVal; break;
    case VT_R8: scratch.dblVal = *value.pdblVal; break;
    case VT_CY: scratch.cyVal = *value.pcyVal; break;
    case VT_DATE: scratch.date = *value.pdate; break;
    case VT_BOOL: scratch.boolVal = *value.pboolVal; break;
    case VT_BSTR: scratch.bstrVal = *value.pbstrVal; break;
    case VT_DISPATCH: scratch.pdispVal = *value.ppdispVal; break;
    case VT_UNKNOWN: scratch.punkVal = *value.ppunkVal; break;
    case VT_ERROR: scratch.scode = *value.pscode; break;
    case VT_DECIMAL: scratch.decVal = *value.pdecVal; break;  // overlays vt: set below
    default:
      scratch.vt = value.vt;  // arrays, records: refused by the caller
      return &scratch;
  }
  scratch.vt = base;
  return &scratch;
}

Conversion IntegerToWire(std::int64_t number, json::value& out) {
  if (number > kMaxExactInteger || number < -kMaxExactInteger) {
    return Failure(DISP_E_OVERFLOW, L"The 64-bit integer " + std::to_wstring(number) +
                                        L" is beyond +-2^53: a page number cannot hold it exactly");
  }
  out = number;
  return {};
}

Conversion ObjectToWire(IUnknown* object, ObjectRefs& refs, json::value& out) {
  if (object == nullptr) {
    out = nullptr;
    return {};
  }
  const std::optional<std::uint64_t> id = refs.IdOf(object);
  if (!id) {
    return Failure(DISP_E_TYPEMISMATCH,
                   L"A COM object that is not one of the page's own objects cannot be passed to the page");
  }
  json::object ref;
  ref["$"] = "ref";
  ref["id"] = *id;
  out = std::move(ref);
  return {};
}

Conversion ScalarToWire(const VARIANT& value, ObjectRefs& refs, json::value& out) {
  switch (value.vt) {
    case VT_EMPTY: {
      json::object undefined;
      undefined["$"] = "undefined";
      out = std::move(undefined);
      return {};
    }
    case VT_NULL: out = nullptr; return {};
    case VT_BOOL: out = value.boolVal != VARIANT_FALSE; return {};
    case VT_I1: out = static_cast<std::int64_t>(value.cVal); return {};
    case VT_UI1: out = static_cast<std::int64_t>(value.bVal); return {};
    case VT_I2: out = static_cast<std::int64_t>(value.iVal); return {};
    case VT_UI2: out = static_cast<std::int64_t>(value.uiVal); return {};
    case VT_I4: out = static_cast<std::int64_t>(value.lVal); return {};
    case VT_UI4: out = static_cast<std::int64_t>(value.ulVal); return {};
    case VT_INT: out = static_cast<std::int64_t>(value.intVal); return {};
    case VT_UINT: out = static_cast<std::int64_t>(value.uintVal); return {};
    case VT_I8: return IntegerToWire(value.llVal, out);
    case VT_UI8:
      if (value.ullVal > static_cast<std::uint64_t>(kMaxExactInteger)) {
        return Failure(DISP_E_OVERFLOW, L"The 64-bit integer " + std::to_wstring(value.ullVal) +
                                            L" is beyond 2^53: a page number cannot hold it exactly");
      }
      out = static_cast<std::int64_t>(value.ullVal);
      return {};
    case VT_R4: out = NumberValue(value.fltVal); return {};
    case VT_R8: out = NumberValue(value.dblVal); return {};
    case VT_CY: out = CurrencyToDouble(value.cyVal); return {};
    case VT_DECIMAL: {
      const std::optional<double> number = DecimalToDouble(value.decVal);
      if (!number) return Failure(DISP_E_TYPEMISMATCH, L"A DECIMAL with a scale above 28 is not a number");
      out = *number;
      return {};
    }
    case VT_DATE: {
      const std::optional<std::int64_t> ms = DateToUnixMs(value.date);
      if (!ms) return Failure(DISP_E_OVERFLOW, L"The date lies beyond the range of a page Date");
      out = Special("date", *ms);
      return {};
    }
    case VT_BSTR: {
      const std::wstring_view text(value.bstrVal, ::SysStringLen(value.bstrVal));
      // Each UTF-16 unit makes at least one byte: the first test needs no pass over the text.
      if (text.size() > kMaxFrameBytes || Utf8Length(text) > kMaxFrameBytes) {
        return Failure(kCallTooLarge, L"The string is larger than a message to the page may be (16 MiB)");
      }
      out = json::string(ToUtf8(text));
      return {};
    }
    case VT_DISPATCH: return ObjectToWire(value.pdispVal, refs, out);
    case VT_UNKNOWN: return ObjectToWire(value.punkVal, refs, out);
    case VT_ERROR:
      return Failure(DISP_E_TYPEMISMATCH, L"An error value (" + Hex(static_cast<unsigned long>(value.scode)) +
                                              L") cannot be passed to the page");
    default:
      break;
  }
  if (value.vt & VT_ARRAY) return Failure(DISP_E_TYPEMISMATCH, L"An array cannot be passed to the page");
  return Failure(DISP_E_TYPEMISMATCH, L"A value of type " + TypeName(value.vt) + L" cannot be passed to the page");
}

Conversion ObjectFromWire(const json::object& object, ObjectRefs& refs, VARIANT* out) {
  const json::value* kind = object.if_contains("$");
  if (kind == nullptr || !kind->is_string()) return Malformed(L"An object value without a \"$\" kind");
  const json::string& name = kind->get_string();
  const json::value* v = object.if_contains("v");
  if (name == "undefined") {
    out->vt = VT_EMPTY;
    return {};
  }
  if (name == "number") {
    if (v == nullptr || !v->is_string()) return Malformed(L"A special number without its name");
    const json::string& which = v->get_string();
    double number = 0;
    if (which == "NaN") {
      number = std::numeric_limits<double>::quiet_NaN();
    } else if (which == "Infinity") {
      number = std::numeric_limits<double>::infinity();
    } else if (which == "-Infinity") {
      number = -std::numeric_limits<double>::infinity();
    } else {
      return Malformed(L"An unknown special number");
    }
    out->vt = VT_R8;
    out->dblVal = number;
    return {};
  }
  if (name == "date") {
    if (v == nullptr || !v->is_number()) return Malformed(L"A date without its time value");
    const std::optional<DATE> date = UnixMsToDate(v->to_number<double>());
    if (!date) return Failure(DISP_E_OVERFLOW, L"The page's Date lies outside COM's dates (years 100 to 9999)");
    out->vt = VT_DATE;
    out->date = *date;
    return {};
  }
  if (name == "ref") {
    const json::value* id = object.if_contains("id");
    const std::optional<std::uint64_t> number = id ? PositiveInteger(*id) : std::nullopt;
    if (!number) return Malformed(L"A reference without a valid id");
    IDispatch* received = nullptr;
    const HRESULT hr = refs.Receive(*number, &received);
    if (FAILED(hr)) return Failure(hr, L"The page's object could not be received");
    out->vt = VT_DISPATCH;
    out->pdispVal = received;
    return {};
  }
  return Malformed(L"An object value of an unknown kind");
}

}  // namespace

std::optional<std::uint64_t> PositiveInteger(const json::value& value) noexcept {
  if (value.is_int64()) {
    const std::int64_t n = value.get_int64();
    if (n > 0 && n <= kMaxExactInteger) return static_cast<std::uint64_t>(n);
  } else if (value.is_uint64()) {
    const std::uint64_t n = value.get_uint64();
    if (n > 0 && n <= static_cast<std::uint64_t>(kMaxExactInteger)) return n;
  } else if (value.is_double()) {
    const double n = value.get_double();
    if (n > 0 && n <= static_cast<double>(kMaxExactInteger) && std::trunc(n) == n) {
      return static_cast<std::uint64_t>(n);
    }
  }
  return std::nullopt;
}

Conversion ToWire(const VARIANT& value, ObjectRefs& refs, json::value& out) noexcept {
  try {
    const VARIANT* current = &value;
    VARIANT scratch[kMaxByRefDepth];
    for (int depth = 0; current != nullptr && (current->vt & VT_BYREF) != 0; ++depth) {
      if (depth == kMaxByRefDepth) return Failure(DISP_E_TYPEMISMATCH, L"A reference to a reference to a reference");
      current = ReadThrough(*current, scratch[depth]);
    }
    if (current == nullptr) return Failure(DISP_E_TYPEMISMATCH, L"A null VT_BYREF reference");
    return ScalarToWire(*current, refs, out);
  } catch (const std::bad_alloc&) {
    return Failure(E_OUTOFMEMORY, L"Out of memory");
  }
}

Conversion FromWire(const json::value& value, ObjectRefs& refs, VARIANT* out) noexcept {
  try {
    ::VariantInit(out);
    switch (value.kind()) {
      case json::kind::null:
        out->vt = VT_NULL;
        return {};
      case json::kind::bool_:
        out->vt = VT_BOOL;
        out->boolVal = value.get_bool() ? VARIANT_TRUE : VARIANT_FALSE;
        return {};
      case json::kind::int64:
      case json::kind::uint64:
      case json::kind::double_: {
        const double number = value.to_number<double>();
        bool fitsInt32 = false;
        if (value.is_int64()) {
          fitsInt32 = value.get_int64() >= INT32_MIN && value.get_int64() <= INT32_MAX;
        } else if (value.is_uint64()) {
          fitsInt32 = value.get_uint64() <= INT32_MAX;
        } else {
          // -0 stays a double: as an integer it would lose its sign.
          fitsInt32 = std::trunc(number) == number && number >= INT32_MIN && number <= INT32_MAX &&
                      !(number == 0 && std::signbit(number));
        }
        if (fitsInt32) {
          out->vt = VT_I4;
          out->lVal = static_cast<LONG>(number);
        } else {
          out->vt = VT_R8;
          out->dblVal = number;
        }
        return {};
      }
      case json::kind::string: {
        const json::string& text = value.get_string();
        const std::wstring wide = FromUtf8(std::string_view(text.data(), text.size()));
        BSTR copy = ::SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
        if (copy == nullptr) return Failure(E_OUTOFMEMORY, L"Out of memory");
        out->vt = VT_BSTR;
        out->bstrVal = copy;
        return {};
      }
      case json::kind::object:
        return ObjectFromWire(value.get_object(), refs, out);
      case json::kind::array:
        break;
    }
    return Malformed(L"An array is not a value of the page protocol");
  } catch (const std::bad_alloc&) {
    ::VariantClear(out);
    return Failure(E_OUTOFMEMORY, L"Out of memory");
  }
}

}  // namespace vaduna::connector
