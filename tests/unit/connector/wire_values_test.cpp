// Values between COM and the wire, both ways: every VARTYPE the protocol
// carries, the 2^53 and date limits, text with NULs, surrogate pairs and lone
// surrogates, and what is refused (never half-converted, no reference taken).
#include "connector/wire_values.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <cmath>
#include <limits>
#include <map>
#include <vector>

#include "tests/support/fake_script_object.h"

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
    ComPtr<FakeScriptObject>& fake = objects[id];
    if (!fake) fake = FakeScriptObject::Create();
    fake->AddRef();
    *object = fake.Get();
    return S_OK;
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

class ToPage : public ::testing::Test {
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
  double Number(const VARIANT& value) {
    json::value out;
    EXPECT_TRUE(ToWire(value, refs_, out).ok());
    return out.is_number() ? out.to_number<double>() : std::nan("");
  }
  std::string Utf8(const wchar_t* text, UINT length) {
    VARIANT value = Of(VT_BSTR);
    value.bstrVal = ::SysAllocStringLen(text, length);
    json::value out;
    EXPECT_TRUE(ToWire(value, refs_, out).ok());
    ::VariantClear(&value);
    return out.is_string() ? std::string(out.get_string()) : "(not a string)";
  }

  FakeRefs refs_;
};

TEST_F(ToPage, ScalarsOfEveryKind) {
  EXPECT_EQ(R"({"$":"undefined"})", Wire(Of(VT_EMPTY)));
  EXPECT_EQ("null", Wire(Of(VT_NULL)));
  VARIANT v = Of(VT_BOOL);
  v.boolVal = 1;  // any non-zero value is true
  EXPECT_EQ("true", Wire(v));
  v.boolVal = VARIANT_FALSE;
  EXPECT_EQ("false", Wire(v));
  // Every integer type at its extreme is a number.
  v = Of(VT_I1), v.cVal = -128;
  EXPECT_EQ("-128", Wire(v));
  v = Of(VT_UI1), v.bVal = 255;
  EXPECT_EQ("255", Wire(v));
  v = Of(VT_I2), v.iVal = -32768;
  EXPECT_EQ("-32768", Wire(v));
  v = Of(VT_UI2), v.uiVal = 65535;
  EXPECT_EQ("65535", Wire(v));
  v = Of(VT_I4), v.lVal = INT32_MIN;
  EXPECT_EQ("-2147483648", Wire(v));
  v = Of(VT_UI4), v.ulVal = UINT32_MAX;
  EXPECT_EQ("4294967295", Wire(v));
  v = Of(VT_INT), v.intVal = -7;
  EXPECT_EQ("-7", Wire(v));
  v = Of(VT_UINT), v.uintVal = 7;
  EXPECT_EQ("7", Wire(v));
}

TEST_F(ToPage, SixtyFourBitIntegersPassUpTo2Pow53AndOverflowBeyond) {
  VARIANT v = Of(VT_I8);
  v.llVal = k2Pow53;
  EXPECT_EQ("9007199254740992", Wire(v));
  v.llVal = -k2Pow53;
  EXPECT_EQ("-9007199254740992", Wire(v));
  v.llVal = k2Pow53 + 1;
  EXPECT_EQ("FAILED 0x8002000A", Wire(v));  // DISP_E_OVERFLOW
  v.llVal = -k2Pow53 - 1;
  EXPECT_EQ("FAILED 0x8002000A", Wire(v));
  v.llVal = INT64_MIN;
  EXPECT_EQ("FAILED 0x8002000A", Wire(v));
  v = Of(VT_UI8);
  v.ullVal = k2Pow53;
  EXPECT_EQ("9007199254740992", Wire(v));
  v.ullVal = k2Pow53 + 1;
  EXPECT_EQ("FAILED 0x8002000A", Wire(v));
  v.ullVal = UINT64_MAX;
  EXPECT_EQ("FAILED 0x8002000A", Wire(v));
}

TEST_F(ToPage, FloatingNumbersAndTheSpecialOnes) {
  VARIANT v = Of(VT_R4);
  v.fltVal = 0.1f;
  EXPECT_EQ(static_cast<double>(0.1f), Number(v));
  v = Of(VT_R8);
  v.dblVal = -1234.5e-300;
  EXPECT_EQ(-1234.5e-300, Number(v));
  v.dblVal = -0.0;
  EXPECT_TRUE(std::signbit(Number(v)));
  v.dblVal = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(R"({"$":"number","v":"NaN"})", Wire(v));
  v.dblVal = std::numeric_limits<double>::infinity();
  EXPECT_EQ(R"({"$":"number","v":"Infinity"})", Wire(v));
  v.dblVal = -std::numeric_limits<double>::infinity();
  EXPECT_EQ(R"({"$":"number","v":"-Infinity"})", Wire(v));
  v = Of(VT_R4);
  v.fltVal = -std::numeric_limits<float>::infinity();
  EXPECT_EQ(R"({"$":"number","v":"-Infinity"})", Wire(v));
}

TEST_F(ToPage, CurrencyAndDecimalBecomeTheNearestDouble) {
  VARIANT v = Of(VT_CY);
  v.cyVal.int64 = 12345678;  // 1234.5678
  EXPECT_EQ(1234.5678, Number(v));
  v.cyVal.int64 = -1;
  EXPECT_EQ(-0.0001, Number(v));
  // Dividing the 64-bit integer as a double would give 486578290135408.6, not the nearest.
  v.cyVal.int64 = 4865782901354085936;
  EXPECT_EQ(486578290135408.56, Number(v));
  v.cyVal.int64 = INT64_MIN;
  EXPECT_EQ(-922337203685477.5808, Number(v));

  v = Of(VT_DECIMAL);
  v.decVal.scale = 4;
  v.decVal.Lo64 = 12345678;
  v.vt = VT_DECIMAL;
  EXPECT_EQ(1234.5678, Number(v));
  v.decVal.sign = DECIMAL_NEG;
  v.vt = VT_DECIMAL;
  EXPECT_EQ(-1234.5678, Number(v));
  v = Of(VT_DECIMAL);
  v.decVal.Hi32 = 0xFFFFFFFF;
  v.decVal.Lo64 = 0xFFFFFFFFFFFFFFFFull;
  v.vt = VT_DECIMAL;
  EXPECT_EQ(7.922816251426434e28, Number(v));
  v.decVal.scale = 28;
  v.vt = VT_DECIMAL;
  EXPECT_EQ(7.9228162514264335, Number(v));
  v = Of(VT_DECIMAL);
  v.decVal.scale = 28;
  v.decVal.Lo64 = 1;
  v.vt = VT_DECIMAL;
  EXPECT_EQ(1e-28, Number(v));
  v.decVal.scale = 29;
  v.vt = VT_DECIMAL;
  EXPECT_EQ("FAILED 0x80020005", Wire(v));  // DISP_E_TYPEMISMATCH
}

TEST_F(ToPage, DatesAreMillisecondsSinceTheEpochTakenAsUtc) {
  VARIANT v = Of(VT_DATE);
  v.date = 25569.0;
  EXPECT_EQ(R"({"$":"date","v":0})", Wire(v));
  v.date = 3918371696789.0 / 86400000.0;  // 2024-02-29T12:34:56.789Z
  EXPECT_EQ(R"({"$":"date","v":1709210096789})", Wire(v));
  v.date = -1.25;  // 1899-12-29T06:00Z: before day 0 the fraction counts forwards
  EXPECT_EQ(R"({"$":"date","v":-2209226400000})", Wire(v));
  v.date = -657434.0;  // 0100-01-01, COM's first day
  EXPECT_EQ(R"({"$":"date","v":-59011459200000})", Wire(v));
  v.date = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ("FAILED 0x8002000A", Wire(v));
  v.date = 1e12;  // beyond a page Date
  EXPECT_EQ("FAILED 0x8002000A", Wire(v));
}

TEST_F(ToPage, StringsKeepNulsAndGoOutWellFormed) {
  EXPECT_EQ(std::string("a\0b", 3), Utf8(L"a\0b", 3));
  EXPECT_EQ("Z\xC3\xBCrich \xE2\x80\x93 \xE6\x9D\xB1\xE4\xBA\xAC", Utf8(L"Z\x00FCrich \x2013 \x6771\x4EAC", 11));
  EXPECT_EQ("\xF0\x9F\x98\x80", Utf8(L"\xD83D\xDE00", 2));  // a surrogate pair: one code point
  EXPECT_EQ("a\xEF\xBF\xBD" "b", Utf8(L"a\xD800" L"b", 3));  // lone high surrogate
  EXPECT_EQ("\xEF\xBF\xBD", Utf8(L"\xDC00", 1));            // lone low surrogate at the end
  EXPECT_EQ("\xEF\xBF\xBD\xEF\xBF\xBD", Utf8(L"\xDE00\xD83D", 2));  // a pair in the wrong order
  VARIANT none = Of(VT_BSTR);  // a null BSTR is the empty string
  EXPECT_EQ(R"("")", Wire(none));
}

TEST_F(ToPage, ByRefValuesAreReadThrough) {
  LONG number = 42;
  VARIANT v = Of(VT_BYREF | VT_I4);
  v.plVal = &number;
  EXPECT_EQ("42", Wire(v));
  BSTR text = ::SysAllocString(L"byref");
  v = Of(VT_BYREF | VT_BSTR);
  v.pbstrVal = &text;
  EXPECT_EQ(R"("byref")", Wire(v));
  VARIANT inner = Of(VT_BSTR);
  inner.bstrVal = text;
  v = Of(VT_BYREF | VT_VARIANT);
  v.pvarVal = &inner;
  EXPECT_EQ(R"("byref")", Wire(v));
  DECIMAL decimal{};
  decimal.scale = 1;
  decimal.Lo64 = 15;
  v = Of(VT_BYREF | VT_DECIMAL);
  v.pdecVal = &decimal;
  EXPECT_EQ(1.5, Number(v));
  v = Of(VT_BYREF | VT_I4);
  v.plVal = nullptr;
  EXPECT_EQ("FAILED 0x80020005", Wire(v));
  ::SysFreeString(text);
}

TEST_F(ToPage, PageObjectsTravelAsReferencesAndNullObjectsAsNull) {
  refs_.objects[7] = FakeScriptObject::Create();
  VARIANT v = Of(VT_DISPATCH);
  v.pdispVal = refs_.objects[7].Get();
  EXPECT_EQ(R"({"$":"ref","id":7})", Wire(v));
  v = Of(VT_UNKNOWN);
  v.punkVal = refs_.objects[7].Get();
  EXPECT_EQ(R"({"$":"ref","id":7})", Wire(v));
  IDispatch* held = refs_.objects[7].Get();
  v = Of(VT_BYREF | VT_DISPATCH);
  v.ppdispVal = &held;
  EXPECT_EQ(R"({"$":"ref","id":7})", Wire(v));
  EXPECT_EQ(1, refs_.objects[7]->RefCount());  // no reference taken
  v = Of(VT_DISPATCH);
  EXPECT_EQ("null", Wire(v));
}

TEST_F(ToPage, RefusesWhatThePageCannotHold) {
  ComPtr<FakeScriptObject> desktopObject = FakeScriptObject::Create();
  VARIANT v = Of(VT_DISPATCH);
  v.pdispVal = desktopObject.Get();
  EXPECT_EQ("FAILED 0x80020005", Wire(v));
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
}

class FromPage : public ::testing::Test {
 protected:
  // COM value of the wire text; malformed values are expected to be reported as such.
  Conversion Read(const std::string& text, VARIANT* out) { return FromWire(json::parse(text), refs_, out); }
  VARTYPE TypeOf(const std::string& text) {
    VARIANT out;
    const Conversion conversion = Read(text, &out);
    EXPECT_TRUE(conversion.ok()) << text;
    const VARTYPE type = out.vt;
    ::VariantClear(&out);
    return type;
  }

  FakeRefs refs_;
};

TEST_F(FromPage, NullUndefinedBooleansAndStrings) {
  EXPECT_EQ(VT_NULL, TypeOf("null"));
  EXPECT_EQ(VT_EMPTY, TypeOf(R"({"$":"undefined"})"));
  VARIANT out;
  ASSERT_TRUE(Read("true", &out).ok());
  EXPECT_EQ(VT_BOOL, out.vt);
  EXPECT_EQ(VARIANT_TRUE, out.boolVal);
  ASSERT_TRUE(Read(R"("a\u0000b \ud83d\ude00 \u6771")", &out).ok());
  ASSERT_EQ(VT_BSTR, out.vt);
  EXPECT_EQ(std::wstring(L"a\0b \xD83D\xDE00 \x6771", 8), std::wstring(out.bstrVal, ::SysStringLen(out.bstrVal)));
  ::VariantClear(&out);
}

TEST_F(FromPage, NumbersWithin32BitsAreI4AndAllOthersR8) {
  for (const char* i4 : {"0", "2147483647", "-2147483648", "3.0", "1e3"}) EXPECT_EQ(VT_I4, TypeOf(i4)) << i4;
  for (const char* r8 : {"2147483648", "-2147483649", "1.5", "1e300", "-0.0", "9007199254740993",
                         "18446744073709551615", R"({"$":"number","v":"NaN"})", R"({"$":"number","v":"-Infinity"})"}) {
    EXPECT_EQ(VT_R8, TypeOf(r8)) << r8;
  }
  VARIANT out;
  ASSERT_TRUE(Read("-2147483648", &out).ok());
  EXPECT_EQ(INT32_MIN, out.lVal);
  ASSERT_TRUE(Read("-0.0", &out).ok());
  EXPECT_TRUE(std::signbit(out.dblVal));
  ASSERT_TRUE(Read(R"({"$":"number","v":"Infinity"})", &out).ok());
  EXPECT_TRUE(std::isinf(out.dblVal) && out.dblVal > 0);
}

TEST_F(FromPage, DatesBecomeComDatesAndBeyondTheirRangeOverflow) {
  VARIANT out;
  ASSERT_TRUE(Read(R"({"$":"date","v":-2209226400000})", &out).ok());
  EXPECT_EQ(VT_DATE, out.vt);
  EXPECT_EQ(-1.25, out.date);
  ASSERT_TRUE(Read(R"({"$":"date","v":1709210096789})", &out).ok());
  json::value back;
  ASSERT_TRUE(ToWire(out, refs_, back).ok());
  EXPECT_EQ(R"({"$":"date","v":1709210096789})", json::serialize(back));  // exact to the millisecond
  ASSERT_TRUE(Read(R"({"$":"date","v":-59011459200000})", &out).ok());
  EXPECT_EQ(-657434.0, out.date);

  const Conversion beyond = Read(R"({"$":"date","v":253402300800000})", &out);  // 10000-01-01
  EXPECT_EQ(DISP_E_OVERFLOW, beyond.code);
  EXPECT_FALSE(beyond.malformed);
  EXPECT_EQ(VT_EMPTY, out.vt);
}

TEST_F(FromPage, ReferencesAreReceivedFromThePage) {
  VARIANT out;
  ASSERT_TRUE(Read(R"({"$":"ref","id":7})", &out).ok());
  EXPECT_EQ(VT_DISPATCH, out.vt);
  EXPECT_EQ(static_cast<IDispatch*>(refs_.objects[7].Get()), out.pdispVal);
  EXPECT_EQ(std::vector<std::uint64_t>{7}, refs_.received);
  ::VariantClear(&out);
  EXPECT_EQ(1, refs_.objects[7]->RefCount());
}

TEST_F(FromPage, ValuesOutsideTheProtocolAreMalformed) {
  for (const char* text : {"[1,2]", R"({"x":1})", R"({"$":"undefinedx"})", R"({"$":"ref","id":0})",
                           R"({"$":"ref","id":-1})", R"({"$":"ref","id":1.5})", R"({"$":"ref"})",
                           R"({"$":"ref","id":9007199254740993})", R"({"$":"number","v":"nan"})",
                           R"({"$":"date","v":"2024-01-01"})", R"({"$":7})"}) {
    VARIANT out;
    const Conversion conversion = Read(text, &out);
    EXPECT_TRUE(conversion.malformed) << text;
    EXPECT_FALSE(conversion.ok()) << text;
    EXPECT_EQ(VT_EMPTY, out.vt) << text;
  }
  EXPECT_TRUE(refs_.received.empty());
}

}  // namespace
}  // namespace vaduna::connector
