// Reading a script's answer: truth values as they come, strings that a
// client may always free, counts and handles only from numbers.
#include "object_model/script/script_results.h"

#include <gtest/gtest.h>

#include <cwchar>

#include "tests/support/fake_script_object.h"

namespace vaduna {
namespace {

using test::FakeScriptObject;
using test::VariantValue;

VARIANT Of(VARTYPE type, LONGLONG bits) {
  VARIANT value;
  ::VariantInit(&value);
  value.vt = type;
  value.llVal = bits;
  return value;
}

const BSTR kSentinel = reinterpret_cast<BSTR>(static_cast<ULONG_PTR>(0xdeadbeef));

TEST(ScriptResults, TruthValueTakesTheFirst16BitsAsTheyCome) {
  EXPECT_EQ(VARIANT_TRUE, TruthValue(test::Bool(true).get()));
  EXPECT_EQ(VARIANT_FALSE, TruthValue(test::Bool(false).get()));
  EXPECT_EQ(1, TruthValue(test::I4(1).get()));
  EXPECT_EQ(2, TruthValue(test::I4(0x10002).get()));
  EXPECT_EQ(0, TruthValue(test::I4(0x10000).get()));
  // No value field to read: not true.
  EXPECT_EQ(VARIANT_FALSE, TruthValue(Of(VT_EMPTY, 0x1234)));
  EXPECT_EQ(VARIANT_FALSE, TruthValue(Of(VT_NULL, 0x1234)));
  // A pointer's low bits mean nothing: a string or object is true when present.
  EXPECT_EQ(VARIANT_TRUE, TruthValue(test::Str(L"").get()));
  EXPECT_EQ(VARIANT_TRUE, TruthValue(Of(VT_DISPATCH, 0x10000)));
  EXPECT_EQ(VARIANT_FALSE, TruthValue(Of(VT_DISPATCH, 0)));
}

TEST(ScriptResults, SetterTruthNormalisesIntegersAndRefusesOtherTypes) {
  EXPECT_EQ(VARIANT_TRUE, SetterTruth(test::Bool(true).get()));
  EXPECT_EQ(VARIANT_FALSE, SetterTruth(test::Bool(false).get()));
  EXPECT_EQ(VARIANT_TRUE, SetterTruth(test::I4(1).get()));
  EXPECT_EQ(VARIANT_TRUE, SetterTruth(test::I4(0x10000).get()));
  EXPECT_EQ(VARIANT_FALSE, SetterTruth(test::I4(0).get()));
  EXPECT_EQ(VARIANT_FALSE, SetterTruth(test::Str(L"1").get()));
  EXPECT_EQ(VARIANT_FALSE, SetterTruth(Of(VT_I2, 1)));
  EXPECT_EQ(VARIANT_FALSE, SetterTruth(test::Empty().get()));
}

TEST(ScriptResults, StringResultPassesTheScriptsStringUncopied) {
  VARIANT result = Of(VT_BSTR, 0);
  result.bstrVal = ::SysAllocString(L"Orders");
  const BSTR given = result.bstrVal;
  BSTR out = kSentinel;

  ASSERT_EQ(S_OK, TakeStringResult(&result, &out));
  EXPECT_EQ(given, out);
  EXPECT_EQ(VT_EMPTY, result.vt);
  ::SysFreeString(out);
}

TEST(ScriptResults, StringResultOfAnotherTypeIsAStringTheClientMayFree) {
  {
    SCOPED_TRACE("empty and null give the empty string");
    VARIANT empty = Of(VT_EMPTY, 0x12345678);
    VARIANT null = Of(VT_NULL, 0x12345678);
    BSTR out = kSentinel;
    ASSERT_EQ(S_OK, TakeStringResult(&empty, &out));
    EXPECT_EQ(nullptr, out);
    out = kSentinel;
    ASSERT_EQ(S_OK, TakeStringResult(&null, &out));
    EXPECT_EQ(nullptr, out);
  }
  {
    SCOPED_TRACE("a number becomes its text");
    VARIANT number = test::I4(42).get();
    BSTR out = kSentinel;
    ASSERT_EQ(S_OK, TakeStringResult(&number, &out));
    ASSERT_NE(nullptr, out);
    EXPECT_STREQ(L"42", out);
    EXPECT_EQ(2u, ::SysStringLen(out));
    ::SysFreeString(out);
  }
  {
    SCOPED_TRACE("an object is released and gives the empty string");
    auto object = FakeScriptObject::Create();
    VARIANT result = Of(VT_DISPATCH, 0);
    result.pdispVal = object.Get();
    object->AddRef();  // the result's own reference
    BSTR out = kSentinel;
    ASSERT_EQ(S_OK, TakeStringResult(&result, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(VT_EMPTY, result.vt);
    EXPECT_TRUE(object->Calls().empty());
    EXPECT_EQ(1, object->RefCount());
  }
}

TEST(ScriptResults, CountValueReadsNumbersOnly) {
  EXPECT_EQ(7, CountValue(test::I4(7).get()));
  EXPECT_EQ(-1, CountValue(test::I4(-1).get()));
  EXPECT_EQ(3, CountValue(Of(VT_I2, 3)));
  VARIANT real = Of(VT_R8, 0);
  real.dblVal = 12.0;
  EXPECT_EQ(12, CountValue(real));
  VARIANT tooLarge = Of(VT_R8, 0);
  tooLarge.dblVal = 1e12;
  EXPECT_FALSE(CountValue(tooLarge).has_value());
  EXPECT_FALSE(CountValue(Of(VT_EMPTY, 5)).has_value());
  EXPECT_FALSE(CountValue(Of(VT_NULL, 5)).has_value());
  EXPECT_FALSE(CountValue(test::Str(L"5").get()).has_value());
}

TEST(ScriptResults, HandleIsUsableOnlyFromASuccessfulNonZeroNumber) {
  EXPECT_EQ(0x1234, HandleValue(S_OK, test::I4(0x1234).get()));
  EXPECT_FALSE(HandleValue(DISP_E_MEMBERNOTFOUND, test::I4(0x1234).get()).has_value());
  EXPECT_FALSE(HandleValue(S_OK, test::I4(0).get()).has_value());
  EXPECT_FALSE(HandleValue(S_OK, Of(VT_EMPTY, 0x1234)).has_value());
  EXPECT_FALSE(HandleValue(S_OK, Of(VT_NULL, 0x1234)).has_value());
  EXPECT_FALSE(HandleValue(S_OK, Of(VT_DISPATCH, 0x1234)).has_value());
}

TEST(ScriptResults, ObjectRulesTakeOnlyDispatchResults) {
  auto object = FakeScriptObject::Create();
  VariantValue dispatch = test::Dispatch(object.Get());
  EXPECT_EQ(object.Get(), TestedObjectValue(dispatch.get()));
  EXPECT_EQ(nullptr, TestedObjectValue(test::I4(0x1234).get()));
  EXPECT_EQ(nullptr, TestedObjectValue(Of(VT_EMPTY, 0x1234)));
  EXPECT_EQ(nullptr, TestedObjectValue(Of(VT_NULL, 0x1234)));
  EXPECT_EQ(2, object->RefCount());
}

}  // namespace
}  // namespace vaduna
