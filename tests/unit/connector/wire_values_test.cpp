// Values between COM and the wire, both ways. The cases a page can express are
// the table tests/data/wire_values.json, which the page library's tests read
// too; what only COM holds or only the wire can say stays here: the 2^53 and
// date limits, lone surrogates, negative zero, and what is refused (never
// half-converted, no reference taken).
#include "connector/wire_values.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <charconv>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "connector/exact_json.h"
#include "tests/support/fake_script_object.h"
#include "wire_values_table.h"

namespace vaduna::connector {
namespace {

namespace json = boost::json;
using Microsoft::WRL::ComPtr;
using vaduna::test::FakeScriptObject;

constexpr std::int64_t k2Pow53 = std::int64_t{1} << 53;

// The page's objects for the conversion: ids 1.. map to fakes; Receive counts each id it is asked for.
class FakeRefs final : public ObjectRefs {
 public:
  std::optional<std::uint64_t> IdOf(IUnknown* object) noexcept override {
    for (const auto& [id, fake] : objects) {
      if (static_cast<IUnknown*>(static_cast<IDispatchEx*>(fake.Get())) == object ||
          static_cast<IDispatch*>(fake.Get()) == object) {
        return id;
      }
    }
    return std::nullopt;
  }
  HRESULT Receive(std::uint64_t id, IDispatch** object) noexcept override {
    received.push_back(id);
    *object = Object(id);
    (*object)->AddRef();
    return S_OK;
  }
  IDispatch* Object(std::uint64_t id) {
    ComPtr<FakeScriptObject>& fake = objects[id];
    if (!fake) fake = FakeScriptObject::Create();
    return fake.Get();
  }

  std::map<std::uint64_t, ComPtr<FakeScriptObject>> objects;
  std::vector<std::uint64_t> received;
};

VARIANT Of(VARTYPE type) {
  VARIANT value;
  ::VariantInit(&value);
  value.vt = type;
  return value;
}

// ---- The shared table ----

const json::object& Table() {
  static const json::value table = [] {
    // Every number exactly as written.
    json::error_code error;
    json::value read = ParseExact(kWireValuesTable, error);
    if (error) ADD_FAILURE() << "tests/data/wire_values.json: " << error.message();
    return read;
  }();
  return table.as_object();
}

// An integer of the notation: a number, or a string for 64-bit values beyond a double's precision.
template <typename T = std::int64_t>
T Integer(const json::value& v) {
  if (!v.is_string()) return v.to_number<T>();
  T out = 0;
  std::from_chars(v.get_string().data(), v.get_string().data() + v.get_string().size(), out);
  return out;
}

double Real(const json::value& v) {
  if (!v.is_string()) return v.to_number<double>();
  if (v.get_string() == "NaN") return std::numeric_limits<double>::quiet_NaN();
  return (v.get_string() == "-Infinity" ? -1 : 1) * std::numeric_limits<double>::infinity();
}

BSTR Bstr(const json::value& v) {
  if (v.is_null()) return nullptr;
  const json::string& text = v.get_string();
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  BSTR out = ::SysAllocStringLen(nullptr, length);
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out, length);
  return out;
}

const std::map<std::string_view, VARTYPE> kTypes = {
    {"VT_EMPTY", VT_EMPTY}, {"VT_NULL", VT_NULL},     {"VT_BOOL", VT_BOOL},       {"VT_I1", VT_I1},
    {"VT_UI1", VT_UI1},     {"VT_I2", VT_I2},         {"VT_UI2", VT_UI2},         {"VT_I4", VT_I4},
    {"VT_UI4", VT_UI4},     {"VT_INT", VT_INT},       {"VT_UINT", VT_UINT},       {"VT_I8", VT_I8},
    {"VT_UI8", VT_UI8},     {"VT_R4", VT_R4},         {"VT_R8", VT_R8},           {"VT_CY", VT_CY},
    {"VT_DATE", VT_DATE},   {"VT_BSTR", VT_BSTR},     {"VT_DECIMAL", VT_DECIMAL}, {"VT_DISPATCH", VT_DISPATCH},
    {"VT_UNKNOWN", VT_UNKNOWN}, {"VT_VARIANT", VT_VARIANT}};

// A COM value written in the table's notation ({"VT_...": value}), with what a VT_BYREF value points to. The
// page's objects are borrowed from refs; the strings are owned here.
class TableVariant {
 public:
  TableVariant(const json::object& notation, FakeRefs& refs) : refs_(refs) {
    ::VariantInit(&value_);
    const auto& [name, v] = *notation.begin();
    std::string_view type = name;
    constexpr std::string_view kByRef = "VT_BYREF|";
    if (!type.starts_with(kByRef)) {
      Fill(kTypes.at(type), v, value_);
      return;
    }
    const VARTYPE target = kTypes.at(type.substr(kByRef.size()));
    if (target == VT_VARIANT) {
      inner_ = std::make_unique<TableVariant>(v.as_object(), refs);
      value_.pvarVal = &inner_->value_;
    } else {
      Fill(target, v, pointee_);
      // Every member of the union starts where lVal does, but for DECIMAL, which covers the whole VARIANT.
      value_.byref = target == VT_DECIMAL ? static_cast<void*>(&pointee_.decVal) : &pointee_.lVal;
    }
    value_.vt = VT_BYREF | target;
  }
  TableVariant(const TableVariant&) = delete;
  TableVariant& operator=(const TableVariant&) = delete;
  ~TableVariant() {
    for (BSTR text : strings_) ::SysFreeString(text);
  }

  const VARIANT& get() const { return value_; }

 private:
  void Fill(VARTYPE type, const json::value& v, VARIANT& out) {
    switch (type) {
      case VT_BOOL:  // true, false, or the raw VARIANT_BOOL
        out.boolVal = v.is_bool() ? (v.get_bool() ? VARIANT_TRUE : VARIANT_FALSE) : static_cast<SHORT>(Integer(v));
        break;
      case VT_I1: out.cVal = static_cast<CHAR>(Integer(v)); break;
      case VT_UI1: out.bVal = static_cast<BYTE>(Integer(v)); break;
      case VT_I2: out.iVal = static_cast<SHORT>(Integer(v)); break;
      case VT_UI2: out.uiVal = static_cast<USHORT>(Integer(v)); break;
      case VT_I4: out.lVal = static_cast<LONG>(Integer(v)); break;
      case VT_UI4: out.ulVal = static_cast<ULONG>(Integer(v)); break;
      case VT_INT: out.intVal = static_cast<INT>(Integer(v)); break;
      case VT_UINT: out.uintVal = static_cast<UINT>(Integer(v)); break;
      case VT_I8: out.llVal = Integer(v); break;
      case VT_UI8: out.ullVal = Integer<std::uint64_t>(v); break;
      case VT_R4: out.fltVal = static_cast<float>(Real(v)); break;
      case VT_R8: out.dblVal = Real(v); break;
      case VT_DATE: out.date = Real(v); break;
      case VT_CY: out.cyVal.int64 = Integer(v); break;
      case VT_BSTR: out.bstrVal = strings_.emplace_back(Bstr(v)); break;
      case VT_DECIMAL: {
        const json::object& d = v.as_object();
        DECIMAL decimal{};
        decimal.scale = d.contains("scale") ? static_cast<BYTE>(Integer(d.at("scale"))) : 0;
        decimal.sign = d.contains("negative") && d.at("negative").as_bool() ? DECIMAL_NEG : 0;
        decimal.Hi32 = d.contains("hi32") ? static_cast<ULONG>(Integer<std::uint64_t>(d.at("hi32"))) : 0;
        decimal.Lo64 = d.contains("lo64") ? Integer<std::uint64_t>(d.at("lo64")) : 0;
        out.decVal = decimal;
        break;
      }
      case VT_DISPATCH: out.pdispVal = v.is_null() ? nullptr : refs_.Object(Integer(v.at("ref"))); break;
      case VT_UNKNOWN: out.punkVal = refs_.Object(Integer(v.at("ref"))); break;
      default: break;  // VT_EMPTY, VT_NULL
    }
    out.vt = type;
  }

  FakeRefs& refs_;
  VARIANT value_;
  VARIANT pointee_{};
  std::unique_ptr<TableVariant> inner_;
  std::vector<BSTR> strings_;
};

// Equal as wire values: numbers by value (an integer and a double alike), -0 apart from 0.
bool SameWire(const json::value& a, const json::value& b) {
  if (a.is_number() && b.is_number()) {
    const double x = a.to_number<double>(), y = b.to_number<double>();
    return x == y && std::signbit(x) == std::signbit(y);
  }
  if (a.is_object() && b.is_object()) {
    if (a.get_object().size() != b.get_object().size()) return false;
    for (const auto& [key, value] : a.get_object()) {
      if (!b.get_object().contains(key) || !SameWire(value, b.get_object().at(key))) return false;
    }
    return true;
  }
  return a == b;
}

// Equal as FromWire's results: the types FromWire makes, by value (NaN equal to NaN).
bool SameComValue(const VARIANT& a, const VARIANT& b) {
  if (a.vt != b.vt) return false;
  switch (a.vt) {
    case VT_BOOL: return a.boolVal == b.boolVal;
    case VT_I4: return a.lVal == b.lVal;
    case VT_R8: return (a.dblVal == b.dblVal || (std::isnan(a.dblVal) && std::isnan(b.dblVal))) &&
                       std::signbit(a.dblVal) == std::signbit(b.dblVal);
    case VT_DATE: return a.date == b.date;
    case VT_BSTR:
      return std::wstring_view(a.bstrVal, ::SysStringLen(a.bstrVal)) ==
             std::wstring_view(b.bstrVal, ::SysStringLen(b.bstrVal));
    case VT_DISPATCH: return a.pdispVal == b.pdispVal;
    default: return a.vt == VT_EMPTY || a.vt == VT_NULL;
  }
}

bool Holds(const json::object& row, std::string_view direction) {
  return !row.contains("holds") || row.at("holds").get_string() == direction;
}

class WireValues : public ::testing::Test {
 protected:
  // The wire form of value (as JSON text), or "FAILED 0x..." with the code.
  std::string Wire(const VARIANT& value) {
    json::value out;
    const Conversion conversion = ToWire(value, refs_, out);
    if (!conversion.ok()) {
      EXPECT_FALSE(conversion.description.empty());
      EXPECT_TRUE(out.is_null()) << "a refused value was half-converted";
      char text[32];
      std::snprintf(text, sizeof text, "FAILED 0x%08lX", static_cast<unsigned long>(conversion.code));
      return text;
    }
    return json::serialize(out);
  }
  // COM value of the wire text; malformed values are expected to be reported as such.
  Conversion Read(const std::string& text, VARIANT* out) { return FromWire(json::parse(text), refs_, out); }
  std::string Utf8(const wchar_t* text, UINT length) {
    VARIANT value = Of(VT_BSTR);
    value.bstrVal = ::SysAllocStringLen(text, length);
    json::value out;
    EXPECT_TRUE(ToWire(value, refs_, out).ok());
    ::VariantClear(&value);
    return out.is_string() ? std::string(out.get_string()) : "(not a string)";
  }
  // Every page object back at the one reference the test holds.
  void ExpectNoReferencesLeft(const std::string& label) {
    for (const auto& [id, fake] : refs_.objects) EXPECT_EQ(1, fake->RefCount()) << label << " object " << id;
  }

  FakeRefs refs_;
};

TEST_F(WireValues, TableCasesFromComToThePage) {
  int checked = 0;
  for (const json::value& item : Table().at("cases").as_array()) {
    const json::object& row = item.as_object();
    if (!Holds(row, "to-page")) continue;
    const std::string label = json::serialize(row);
    const TableVariant value(row.at("com").as_object(), refs_);
    json::value out;
    const Conversion conversion = ToWire(value.get(), refs_, out);
    EXPECT_TRUE(conversion.ok()) << label;
    EXPECT_TRUE(SameWire(row.at("wire"), out)) << label << " gave " << json::serialize(out);
    ExpectNoReferencesLeft(label);
    ++checked;
  }
  EXPECT_GT(checked, 40);
}

TEST_F(WireValues, TableCasesFromThePageToCom) {
  int checked = 0;
  for (const json::value& item : Table().at("cases").as_array()) {
    const json::object& row = item.as_object();
    if (!Holds(row, "to-com")) continue;
    const std::string label = json::serialize(row);
    const json::object& com = row.at("com").as_object();
    refs_.received.clear();
    VARIANT out;
    const Conversion conversion = FromWire(row.at("wire"), refs_, &out);
    EXPECT_FALSE(conversion.malformed) << label;
    if (com.contains("refused")) {
      const HRESULT refusal = com.at("refused").get_string() == "DISP_E_OVERFLOW" ? DISP_E_OVERFLOW : E_UNEXPECTED;
      EXPECT_EQ(refusal, conversion.code) << label;
      EXPECT_EQ(VT_EMPTY, out.vt) << label;
      continue;
    }
    ASSERT_TRUE(conversion.ok()) << label;
    const TableVariant expected(com, refs_);
    EXPECT_TRUE(SameComValue(expected.get(), out)) << label << " gave VARTYPE " << out.vt;
    const bool reference = out.vt == VT_DISPATCH;
    EXPECT_EQ(reference ? std::vector<std::uint64_t>{1} : std::vector<std::uint64_t>{}, refs_.received) << label;
    ::VariantClear(&out);
    ExpectNoReferencesLeft(label);
    ++checked;
  }
  EXPECT_GT(checked, 25);
}

TEST_F(WireValues, TableValuesOutsideTheProtocolAreMalformed) {
  for (const json::value& item : Table().at("unreadable").as_array()) {
    const json::value& wire = item.at("wire");
    VARIANT out;
    const Conversion conversion = FromWire(wire, refs_, &out);
    EXPECT_TRUE(conversion.malformed) << wire;
    EXPECT_FALSE(conversion.ok()) << wire;
    EXPECT_EQ(VT_EMPTY, out.vt) << wire;
  }
  EXPECT_TRUE(refs_.received.empty());
}

// ---- What only the COM side or only the wire can say ----

TEST_F(WireValues, SixtyFourBitIntegersBeyond2Pow53Overflow) {
  VARIANT v = Of(VT_I8);
  for (const std::int64_t beyond : {k2Pow53 + 1, -k2Pow53 - 1, INT64_MIN}) {
    v.llVal = beyond;
    EXPECT_EQ("FAILED 0x8002000A", Wire(v)) << beyond;  // DISP_E_OVERFLOW
  }
  v = Of(VT_UI8);
  for (const std::uint64_t beyond : {static_cast<std::uint64_t>(k2Pow53) + 1, UINT64_MAX}) {
    v.ullVal = beyond;
    EXPECT_EQ("FAILED 0x8002000A", Wire(v)) << beyond;
  }
}

TEST_F(WireValues, NegativeZeroKeepsItsSign) {
  VARIANT v = Of(VT_R8);
  v.dblVal = -0.0;
  json::value out;
  ASSERT_TRUE(ToWire(v, refs_, out).ok());
  EXPECT_TRUE(out.is_double() && std::signbit(out.get_double()));
  ASSERT_TRUE(Read("-0.0", &v).ok());
  EXPECT_EQ(VT_R8, v.vt);
  EXPECT_TRUE(std::signbit(v.dblVal));
}

TEST_F(WireValues, DatesBeyondAPageDateOverflowAndTheRoundTripIsExact) {
  VARIANT v = Of(VT_DATE);
  v.date = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ("FAILED 0x8002000A", Wire(v));
  v.date = 1e12;  // beyond a page Date
  EXPECT_EQ("FAILED 0x8002000A", Wire(v));
  ASSERT_TRUE(Read(R"({"$":"date","v":1709210096789})", &v).ok());
  EXPECT_EQ(R"({"$":"date","v":1709210096789})", Wire(v));  // exact to the millisecond
}

TEST_F(WireValues, LoneSurrogatesGoOutAsReplacementCharacters) {
  EXPECT_EQ("a\xEF\xBF\xBD" "b", Utf8(L"a\xD800" L"b", 3));  // lone high surrogate
  EXPECT_EQ("\xEF\xBF\xBD", Utf8(L"\xDC00", 1));            // lone low surrogate at the end
  EXPECT_EQ("\xEF\xBF\xBD\xEF\xBF\xBD", Utf8(L"\xDE00\xD83D", 2));  // a pair in the wrong order
}

TEST_F(WireValues, RefusesWhatThePageCannotHold) {
  ComPtr<FakeScriptObject> desktopObject = FakeScriptObject::Create();
  VARIANT v = Of(VT_DISPATCH);
  v.pdispVal = desktopObject.Get();
  EXPECT_EQ("FAILED 0x80020005", Wire(v));  // DISP_E_TYPEMISMATCH
  EXPECT_EQ(1, desktopObject->RefCount());

  SAFEARRAY* array = ::SafeArrayCreateVector(VT_I4, 0, 2);
  v = Of(VT_ARRAY | VT_I4);
  v.parray = array;
  EXPECT_EQ("FAILED 0x80020005", Wire(v));
  ::SafeArrayDestroy(array);

  v = Of(VT_ERROR);
  v.scode = DISP_E_PARAMNOTFOUND;  // an omitted argument
  EXPECT_EQ("FAILED 0x80020005", Wire(v));
  EXPECT_EQ("FAILED 0x80020005", Wire(Of(VT_RECORD)));
  EXPECT_EQ("FAILED 0x80020005", Wire(Of(VT_BYREF | VT_ARRAY | VT_I4)));
  v = Of(VT_BYREF | VT_I4);
  v.plVal = nullptr;
  EXPECT_EQ("FAILED 0x80020005", Wire(v));
  v = Of(VT_DECIMAL);
  v.decVal.scale = 29;  // beyond DECIMAL's 28 places
  v.decVal.Lo64 = 1;
  v.vt = VT_DECIMAL;
  EXPECT_EQ("FAILED 0x80020005", Wire(v));
}

}  // namespace
}  // namespace vaduna::connector
