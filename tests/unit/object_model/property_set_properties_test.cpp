#include <windows.h>

#include <gtest/gtest.h>

#include "tests/support/object_fixture.h"

namespace vaduna::test {
namespace {

class PropertySetPropertiesTest : public WrapperTest {
 protected:
  void SetUp() override {
    WrapperTest::SetUp();
    script_ = NewFake();
    set_ = BoundSet(script_);
    script_->ClearCalls();
  }
  void TearDown() override {
    set_.Reset();
    WrapperTest::TearDown();
  }

  INT LastErrCode() {
    INT code = -1;
    EXPECT_EQ(set_->GetLastErrCode(&code), S_OK);
    return code;
  }

  FakeScriptObject* script_ = nullptr;
  ComPtr<IVadunaPropertySet> set_;
  UniqueBstr name_{::SysAllocString(L"colour")};
};

using TruthSetter = HRESULT (STDMETHODCALLTYPE IVadunaPropertySet::*)(BSTR, VARIANT_BOOL*);

TEST_F(PropertySetPropertiesTest, TruthSettersTakeTheSetterTruthOfTheAnswer) {
  struct Setter {
    const wchar_t* member;
    TruthSetter method;
  };
  for (const Setter& setter : {Setter{L"SetType", &IVadunaPropertySet::SetType},
                               Setter{L"SetValue", &IVadunaPropertySet::SetValue},
                               Setter{L"PropertyExists", &IVadunaPropertySet::PropertyExists},
                               Setter{L"RemoveProperty", &IVadunaPropertySet::RemoveProperty}}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(setter.member)));
    struct Answer {
      VariantValue value;
      VARIANT_BOOL truth;
    };
    for (const Answer& answer : {Answer{Bool(true), VARIANT_TRUE}, Answer{Bool(false), VARIANT_FALSE},
                                 Answer{I4(1), VARIANT_TRUE}, Answer{I4(0), VARIANT_FALSE},
                                 Answer{I4(-7), VARIANT_TRUE}, Answer{Str(L"1"), VARIANT_FALSE},
                                 Answer{Empty(), VARIANT_FALSE}}) {
      script_->SetMethodResult(setter.member, answer.value);
      VARIANT_BOOL truth = kSentinelBool;
      EXPECT_EQ((set_.Get()->*setter.method)(name_.get(), &truth), S_OK);
      EXPECT_EQ(truth, answer.truth);
    }
    const auto calls = script_->InvocationsOf(setter.member);
    ASSERT_FALSE(calls.empty());
    ASSERT_EQ(calls.back().args.size(), 1u);
    EXPECT_STREQ(calls.back().args[0].get().bstrVal, L"colour");

    EXPECT_EQ((set_.Get()->*setter.method)(name_.get(), nullptr), S_OK);

    script_->SetMethodResult(setter.member, Bool(true), E_FAIL);
    VARIANT_BOOL truth = kSentinelBool;
    EXPECT_EQ((set_.Get()->*setter.method)(name_.get(), &truth), S_FALSE);
    EXPECT_EQ(truth, VARIANT_FALSE);
    EXPECT_EQ((set_.Get()->*setter.method)(nullptr, &truth), E_POINTER);
  }
  EXPECT_EQ(LastErrCode(), 0);
}

TEST_F(PropertySetPropertiesTest, EmptyStringIsPassedOnAndNullStringRefused) {
  script_->SetMethodResult(L"SetValue", Bool(true));
  UniqueBstr empty(::SysAllocString(L""));
  VARIANT_BOOL truth = kSentinelBool;
  EXPECT_EQ(set_->SetValue(empty.get(), &truth), S_OK);
  EXPECT_EQ(truth, VARIANT_TRUE);
  const auto calls = script_->InvocationsOf(L"SetValue");
  ASSERT_EQ(calls.size(), 1u);
  ASSERT_EQ(calls[0].args[0].vt(), VT_BSTR);
  ASSERT_NE(calls[0].args[0].get().bstrVal, nullptr);
  EXPECT_EQ(::SysStringLen(calls[0].args[0].get().bstrVal), 0u);

  ComPtr<IVadunaPropertySet> unbound = UnboundSet();
  truth = kSentinelBool;
  EXPECT_EQ(unbound->SetValue(nullptr, &truth), E_POINTER);
  EXPECT_EQ(truth, kSentinelBool);
  INT code = -1;
  EXPECT_EQ(unbound->GetLastErrCode(&code), S_OK);
  EXPECT_EQ(code, 0);
}

TEST_F(PropertySetPropertiesTest, SetPropertyAndResetAreTrueWhateverTheScriptAnswers) {
  UniqueBstr value(::SysAllocString(L"red"));
  for (const VariantValue& answer : {Bool(false), I4(0), Empty()}) {
    script_->SetMethodResult(L"SetProperty", answer);
    script_->SetMethodResult(L"Reset", answer);
    VARIANT_BOOL truth = kSentinelBool;
    EXPECT_EQ(set_->SetProperty(name_.get(), value.get(), &truth), S_OK);
    EXPECT_EQ(truth, VARIANT_TRUE);
    truth = kSentinelBool;
    EXPECT_EQ(set_->Reset(&truth), S_OK);
    EXPECT_EQ(truth, VARIANT_TRUE);
  }
  // The name reaches the script as its first parameter, the value as its second.
  const auto calls = script_->InvocationsOf(L"SetProperty");
  ASSERT_EQ(calls.back().args.size(), 2u);
  EXPECT_STREQ(calls.back().args[1].get().bstrVal, L"colour");
  EXPECT_STREQ(calls.back().args[0].get().bstrVal, L"red");

  EXPECT_EQ(set_->Reset(nullptr), S_OK);
  EXPECT_EQ(script_->InvocationsOf(L"Reset").size(), 4u);
  EXPECT_EQ(set_->SetProperty(name_.get(), value.get(), nullptr), S_OK);

  script_->SetMethodResult(L"SetProperty", Empty(), E_FAIL);
  script_->RemoveMember(L"Reset");
  VARIANT_BOOL truth = kSentinelBool;
  EXPECT_EQ(set_->SetProperty(name_.get(), value.get(), &truth), S_FALSE);
  EXPECT_EQ(truth, VARIANT_FALSE);
  truth = kSentinelBool;
  EXPECT_EQ(set_->Reset(&truth), S_FALSE);
  EXPECT_EQ(truth, VARIANT_FALSE);
  EXPECT_EQ(set_->SetProperty(nullptr, value.get(), &truth), E_POINTER);
  EXPECT_EQ(set_->SetProperty(name_.get(), nullptr, &truth), E_POINTER);
  EXPECT_EQ(LastErrCode(), 0);
}

using StringGetter = HRESULT (STDMETHODCALLTYPE IVadunaPropertySet::*)(BSTR*);

TEST_F(PropertySetPropertiesTest, StringGettersHandOutTheStringOrLeaveTheOutParameter) {
  struct Getter {
    const wchar_t* member;
    StringGetter method;
  };
  for (const Getter& getter : {Getter{L"GetType", &IVadunaPropertySet::GetType},
                               Getter{L"GetValue", &IVadunaPropertySet::GetValue},
                               Getter{L"GetFirstProperty", &IVadunaPropertySet::GetFirstProperty},
                               Getter{L"GetNextProperty", &IVadunaPropertySet::GetNextProperty}}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(getter.member)));
    script_->SetMethodResult(getter.member, Str(getter.member));
    UniqueBstr text;
    EXPECT_EQ((set_.Get()->*getter.method)(text.put()), S_OK);
    EXPECT_STREQ(text.get(), getter.member);

    // Not a string: still a string the client may free.
    script_->SetMethodResult(getter.member, I4(42));
    EXPECT_EQ((set_.Get()->*getter.method)(text.put()), S_OK);
    EXPECT_STREQ(text.get(), L"42");
    script_->SetMethodResult(getter.member, Empty());
    EXPECT_EQ((set_.Get()->*getter.method)(text.put()), S_OK);
    EXPECT_EQ(text.get(), nullptr);

    script_->SetMethodResult(getter.member, Str(L"lost"), E_FAIL);
    BSTR untouched = SentinelBstr();
    EXPECT_EQ((set_.Get()->*getter.method)(&untouched), S_FALSE);
    EXPECT_EQ(untouched, SentinelBstr());
    script_->RemoveMember(getter.member);
    EXPECT_EQ((set_.Get()->*getter.method)(&untouched), S_FALSE);
    EXPECT_EQ(untouched, SentinelBstr());
    EXPECT_EQ((set_.Get()->*getter.method)(nullptr), E_POINTER);
  }
  EXPECT_EQ(LastErrCode(), 0);
}

TEST_F(PropertySetPropertiesTest, GetPropertyPassesTheNameAndLeavesTheOutParameterOnFailure) {
  script_->SetMethodResult(L"GetProperty", Str(L"red"));
  UniqueBstr value;
  EXPECT_EQ(set_->GetProperty(name_.get(), value.put()), S_OK);
  EXPECT_STREQ(value.get(), L"red");
  const auto calls = script_->InvocationsOf(L"GetProperty");
  ASSERT_EQ(calls.size(), 1u);
  ASSERT_EQ(calls[0].args.size(), 1u);
  EXPECT_STREQ(calls[0].args[0].get().bstrVal, L"colour");

  script_->SetMethodResult(L"GetProperty", Str(L"lost"), DISP_E_EXCEPTION);
  BSTR untouched = SentinelBstr();
  EXPECT_EQ(set_->GetProperty(name_.get(), &untouched), S_FALSE);
  EXPECT_EQ(untouched, SentinelBstr());
  EXPECT_EQ(set_->GetProperty(nullptr, &untouched), E_POINTER);
  EXPECT_EQ(set_->GetProperty(name_.get(), nullptr), E_POINTER);
  EXPECT_EQ(LastErrCode(), 0);
}

using CountGetter = HRESULT (STDMETHODCALLTYPE IVadunaPropertySet::*)(long*);

TEST_F(PropertySetPropertiesTest, CountGettersWriteOnlyNumbers) {
  struct Getter {
    const wchar_t* member;
    CountGetter method;
  };
  for (const Getter& getter : {Getter{L"GetPropertyCount", &IVadunaPropertySet::GetPropertyCount},
                               Getter{L"GetChildCount", &IVadunaPropertySet::GetChildCount}}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(getter.member)));
    script_->SetMethodResult(getter.member, I4(7));
    long count = kSentinelLong;
    EXPECT_EQ((set_.Get()->*getter.method)(&count), S_OK);
    EXPECT_EQ(count, 7);

    for (const VariantValue& unusable : {Empty(), Null(), Str(L"7")}) {
      script_->SetMethodResult(getter.member, unusable);
      count = kSentinelLong;
      EXPECT_EQ((set_.Get()->*getter.method)(&count), S_FALSE);
      EXPECT_EQ(count, kSentinelLong);
    }
    script_->SetMethodResult(getter.member, I4(7), E_FAIL);
    EXPECT_EQ((set_.Get()->*getter.method)(&count), S_FALSE);
    EXPECT_EQ(count, kSentinelLong);
    EXPECT_EQ((set_.Get()->*getter.method)(nullptr), E_POINTER);
  }
  EXPECT_EQ(LastErrCode(), 0);
}

}  // namespace
}  // namespace vaduna::test
