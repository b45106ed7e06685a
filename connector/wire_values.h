// Values between COM (VARIANT) and the wire (JSON, as the page library reads
// and writes them):
//
//   VT_EMPTY <-> {"$":"undefined"}      VT_NULL <-> null          VT_BOOL <-> true/false
//   VT_BSTR  <-> string (NULs kept; lone surrogates go out as U+FFFD)
//   every integer and floating type, VT_CY, VT_DECIMAL -> number (VT_I8/VT_UI8 only within +-2^53;
//     CY and DECIMAL as the nearest double); number -> VT_I4 for an integer within 32 bits, else VT_R8
//   NaN, +-Infinity <-> {"$":"number","v":"NaN"|"Infinity"|"-Infinity"}
//   VT_DATE  <-> {"$":"date","v":<ms since 1970-01-01T00:00:00Z>} (the DATE is taken as UTC)
//   this page's COM object <-> {"$":"ref","id":n}
//
// VT_BYREF values are read through. Anything else is refused, never passed on
// half-converted.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <boost/json/value.hpp>

#include <cstdint>
#include <optional>
#include <string>

#include "base/hresult.h"

namespace vaduna::connector {

// A call whose frame would exceed the protocol's frame limit.
inline constexpr HRESULT kCallTooLarge = HresultFromStatus(ERROR_MESSAGE_EXCEEDS_MAX_SIZE);

// The page's object references, as the conversion sees them.
class ObjectRefs {
 public:
  // The id of object when it is one of this page's COM objects; nothing for any other object.
  virtual std::optional<std::uint64_t> IdOf(IUnknown* object) noexcept = 0;
  // This page's COM object for id, with one reference for the caller; counts one received reference to id.
  virtual HRESULT Receive(std::uint64_t id, IDispatch** object) noexcept = 0;

 protected:
  ~ObjectRefs() = default;
};

struct Conversion {
  HRESULT code = S_OK;
  // Page to COM: the JSON is none of the protocol's values (the page breaks the protocol).
  bool malformed = false;
  std::wstring description;  // why, for a failure

  bool ok() const noexcept { return SUCCEEDED(code); }
};

// COM to page. Failures: DISP_E_TYPEMISMATCH (not a value the page can hold), DISP_E_OVERFLOW (a 64-bit
// integer beyond +-2^53, a date beyond the page's range), kCallTooLarge, E_OUTOFMEMORY.
Conversion ToWire(const VARIANT& value, ObjectRefs& refs, boost::json::value& out) noexcept;

// Page to COM, into an empty *out. Failures: malformed; DISP_E_OVERFLOW for a date COM cannot hold;
// E_OUTOFMEMORY; the failure of ObjectRefs::Receive.
Conversion FromWire(const boost::json::value& value, ObjectRefs& refs, VARIANT* out) noexcept;

// A positive integer of the wire (ids, counts), at most 2^53 as page numbers go.
std::optional<std::uint64_t> PositiveInteger(const boost::json::value& value) noexcept;

}  // namespace vaduna::connector
