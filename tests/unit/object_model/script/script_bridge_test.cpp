// The bridge against counting, recording fake script objects: what reaches
// the script, in which order, with which fixed values, and what it costs in
// references.
#include "object_model/script/script_bridge.h"

#include <gtest/gtest.h>

#include <cwchar>

#include "base/variant_builders.h"
#include "tests/support/fake_script_object.h"
#include "vaduna_contract.h"

namespace vaduna {
namespace {

using test::CallRecord;
using test::FakeScriptObject;
using test::VariantValue;

constexpr LCID kUserDefault = 0x0400;

bool IsString(const VariantValue& value, const wchar_t* text) {
  return value.vt() == VT_BSTR && value.get().bstrVal != nullptr && std::wcscmp(value.get().bstrVal, text) == 0;
}

// The VARIANT inside a test value, to pass as an argument without clearing it.
VARIANT* Raw(VariantValue& value) { return const_cast<VARIANT*>(&value.get()); }

VARIANT Sentinel() { return Int32Value(static_cast<LONG>(0xdeadbeef)); }

// Every fake made through Fake() must be back to the fixture's one
// reference when the test ends: the bridge keeps nothing.
class ScriptBridge : public ::testing::Test {
 protected:
  Microsoft::WRL::ComPtr<FakeScriptObject> Fake(bool dispatchEx = true) {
    fakes_.push_back(FakeScriptObject::Create(dispatchEx));
    return fakes_.back();
  }

  void TearDown() override {
    // Records hold copies of object arguments, which may be other fakes.
    for (auto& fake : fakes_) fake->ClearCalls();
    for (auto& fake : fakes_) EXPECT_EQ(1, fake->RefCount());
  }

 private:
  std::vector<Microsoft::WRL::ComPtr<FakeScriptObject>> fakes_;
};

TEST_F(ScriptBridge, MissingMemberGivesLookupFailureAndNoInvocation) {
  auto fake = Fake();
  ScriptRef script(fake.Get());
  VARIANT result = Sentinel();
  VariantValue first = test::Str(L"a");
  VariantValue second = test::I4(1);
  VariantValue value = test::I4(7);

  EXPECT_EQ(DISP_E_UNKNOWNNAME, script.CallMember(L"Missing", &result));
  EXPECT_EQ(DISP_E_UNKNOWNNAME, script.CallMember(L"Missing", Raw(value), &result));
  EXPECT_EQ(DISP_E_UNKNOWNNAME, script.CallMember(L"Missing", &first.get(), &second.get(), &result));
  EXPECT_EQ(DISP_E_UNKNOWNNAME, script.GetMember(L"Missing", &result));
  EXPECT_EQ(DISP_E_UNKNOWNNAME, script.PutMember(L"Missing", Raw(value)));

  EXPECT_EQ(5u, fake->Calls().size());
  EXPECT_TRUE(fake->Invocations().empty());
  EXPECT_EQ(VT_I4, result.vt);
  EXPECT_EQ(static_cast<LONG>(0xdeadbeef), result.lVal);
}

TEST_F(ScriptBridge, EveryCallUsesNullIidUserLocaleOneNameAndNoExceptionInfo) {
  auto fake = Fake();
  fake->SetMethodResult(L"Method", test::I4(1));
  fake->SetProperty(L"Prop", test::I4(2));
  ScriptRef script(fake.Get());
  VariantValue result;
  VariantValue one = test::I4(1);
  VariantValue two = test::I4(2);
  VARIANT array[2] = {one.get(), two.get()};

  ASSERT_EQ(S_OK, script.CallMember(L"Method", result.put()));
  ASSERT_EQ(S_OK, script.CallMember(L"Method", Raw(one), result.put()));
  ASSERT_EQ(S_OK, script.CallMember(L"Method", &one.get(), &two.get(), result.put()));
  ASSERT_EQ(S_OK, script.CallMember(L"Method", array, 2, result.put()));
  ASSERT_EQ(S_OK, script.GetMember(L"Prop", result.put()));
  VariantValue put = test::I4(3);
  ASSERT_EQ(S_OK, script.PutMember(L"Prop", Raw(put)));

  const auto calls = fake->Calls();
  ASSERT_EQ(12u, calls.size());
  for (size_t i = 0; i < calls.size(); ++i) {
    SCOPED_TRACE(i);
    const CallRecord& call = calls[i];
    // Lookup and invocation alternate: nothing is cached.
    EXPECT_EQ(i % 2 == 0 ? CallRecord::Lookup : CallRecord::Invoke, call.kind);
    EXPECT_EQ(kUserDefault, call.locale);
    EXPECT_TRUE(call.iidIsNull);
    if (call.kind == CallRecord::Lookup) {
      EXPECT_EQ(1u, call.nameCount);
    } else {
      EXPECT_FALSE(call.exceptionInfoGiven);
      EXPECT_FALSE(call.argErrorGiven);
    }
  }
  const WORD kinds[] = {DISPATCH_METHOD, DISPATCH_METHOD, DISPATCH_METHOD, DISPATCH_METHOD,
                        DISPATCH_PROPERTYGET, DISPATCH_PROPERTYPUT};
  const size_t argCounts[] = {0, 1, 2, 2, 0, 1};
  const auto invocations = fake->Invocations();
  for (size_t i = 0; i < invocations.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(kinds[i], invocations[i].flags);
    EXPECT_EQ(argCounts[i], invocations[i].args.size());
    // Only a put has a named argument, and only a put passes no result.
    EXPECT_EQ(i == 5 ? 1u : 0u, invocations[i].namedArgs.size());
    EXPECT_EQ(i != 5, invocations[i].resultGiven);
  }
}

TEST_F(ScriptBridge, MemberReplacedBetweenCallsIsSeenAsItIsNow) {
  auto fake = Fake();
  fake->SetMethodResult(L"Name", test::Str(L"old"));
  ScriptRef script(fake.Get());
  VariantValue result;
  ASSERT_EQ(S_OK, script.CallMember(L"Name", result.put()));
  EXPECT_TRUE(IsString(result, L"old"));

  fake->RemoveMember(L"Name");
  EXPECT_EQ(DISP_E_UNKNOWNNAME, script.CallMember(L"Name", result.put()));
  fake->SetMethodResult(L"Name", test::Str(L"new"));
  ASSERT_EQ(S_OK, script.CallMember(L"Name", result.put()));
  EXPECT_TRUE(IsString(result, L"new"));
}

TEST_F(ScriptBridge, FailingMemberGivesInvokeResultUnchanged) {
  auto fake = Fake();
  fake->SetMethodResult(L"Fails", test::Empty(), static_cast<HRESULT>(0x80041234));
  ScriptRef script(fake.Get());
  VariantValue result;
  EXPECT_EQ(static_cast<HRESULT>(0x80041234), script.CallMember(L"Fails", result.put()));
}

TEST_F(ScriptBridge, TwoArgumentCallWithNullArgumentFailsAfterLookupWithoutInvoking) {
  auto fake = Fake();
  fake->SetMethodResult(L"SetProperty", test::Bool(true));
  ScriptRef script(fake.Get());
  VariantValue value = test::Str(L"v");
  VARIANT result = Sentinel();

  EXPECT_EQ(E_INVALIDARG, script.CallMember(L"SetProperty", nullptr, &value.get(), &result));
  EXPECT_EQ(E_INVALIDARG, script.CallMember(L"SetProperty", &value.get(), nullptr, &result));

  const auto calls = fake->Calls();
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ(CallRecord::Lookup, calls[0].kind);
  EXPECT_EQ(CallRecord::Lookup, calls[1].kind);
  EXPECT_EQ(static_cast<LONG>(0xdeadbeef), result.lVal);
}

TEST_F(ScriptBridge, TwoArgumentCallDeliversFirstThenSecondAndLeavesCallerValuesAlone) {
  auto fake = Fake();
  fake->SetMethodResult(L"SetProperty", test::Bool(true));
  ScriptRef script(fake.Get());
  VariantValue first = test::Str(L"name");
  VariantValue second = test::Str(L"value");
  const BSTR firstText = first.get().bstrVal;
  const BSTR secondText = second.get().bstrVal;
  VariantValue result;

  ASSERT_EQ(S_OK, script.CallMember(L"SetProperty", &first.get(), &second.get(), result.put()));

  const auto calls = fake->InvocationsOf(L"SetProperty");
  ASSERT_EQ(1u, calls.size());
  ASSERT_EQ(2u, calls[0].args.size());
  // Element 0 is the last parameter.
  EXPECT_TRUE(IsString(calls[0].args[1], L"name"));
  EXPECT_TRUE(IsString(calls[0].args[0], L"value"));
  EXPECT_EQ(firstText, first.get().bstrVal);
  EXPECT_EQ(secondText, second.get().bstrVal);
  EXPECT_TRUE(IsString(first, L"name"));
  EXPECT_TRUE(IsString(second, L"value"));
  EXPECT_EQ(VT_BOOL, result.vt());
}

TEST_F(ScriptBridge, TwoArgumentCallHoldsCopiesOnlyForTheCall) {
  auto fake = Fake();
  auto child = Fake();
  LONG countDuringCall = 0;
  fake->SetMethod(L"InsertChildAt", [&](const std::vector<VariantValue>&, VARIANT*) {
    countDuringCall = child->RefCount();
    return E_FAIL;
  });
  ScriptRef script(fake.Get());
  VARIANT borrowed = BorrowedObject(child.Get());  // no reference of its own
  VariantValue index = test::I4(3);
  VariantValue result;

  // The one-argument form passes the caller's VARIANT in place: what the
  // fake itself holds while recording is the baseline.
  EXPECT_EQ(E_FAIL, script.CallMember(L"InsertChildAt", &borrowed, result.put()));
  const LONG inPlace = countDuringCall;
  fake->ClearCalls();
  EXPECT_EQ(E_FAIL, script.CallMember(L"InsertChildAt", &borrowed, &index.get(), result.put()));
  EXPECT_EQ(inPlace + 1, countDuringCall);

  EXPECT_EQ(VT_DISPATCH, borrowed.vt);
  EXPECT_EQ(child.Get(), borrowed.pdispVal);
}

TEST_F(ScriptBridge, TwoArgumentCallGoesAheadWithVtErrorForAFailedCopy) {
  auto fake = Fake();
  fake->SetMethodResult(L"SetProperty", test::Empty());
  ScriptRef script(fake.Get());
  VARIANT uncopyable;
  ::VariantInit(&uncopyable);
  uncopyable.vt = VT_CLSID;  // not a type a VARIANT may hold
  VariantValue second = test::Str(L"value");
  VariantValue result;

  ASSERT_EQ(S_OK, script.CallMember(L"SetProperty", &uncopyable, &second.get(), result.put()));

  const auto calls = fake->InvocationsOf(L"SetProperty");
  ASSERT_EQ(1u, calls.size());
  ASSERT_EQ(2u, calls[0].args.size());
  EXPECT_EQ(VT_ERROR, calls[0].args[1].vt());
  EXPECT_EQ(DISP_E_BADVARTYPE, calls[0].args[1].get().scode);
  EXPECT_TRUE(IsString(calls[0].args[0], L"value"));
}

TEST_F(ScriptBridge, ArrayCallPassesTheCallersLastFirstLayout) {
  auto fake = Fake();
  fake->SetMethodResult(L"InvokeMethod", test::Empty());
  ScriptRef script(fake.Get());
  VariantValue input = test::I4(5);
  VariantValue method = test::Str(L"Query");
  VARIANT args[2] = {input.get(), method.get()};
  VariantValue result;

  ASSERT_EQ(S_OK, script.CallMember(L"InvokeMethod", args, 2, result.put()));

  const auto calls = fake->InvocationsOf(L"InvokeMethod");
  ASSERT_EQ(1u, calls.size());
  ASSERT_EQ(2u, calls[0].args.size());
  EXPECT_EQ(VT_I4, calls[0].args[0].vt());
  EXPECT_TRUE(IsString(calls[0].args[1], L"Query"));
}

TEST_F(ScriptBridge, GetWithNullResultFailsAfterLookupWithoutInvoking) {
  auto fake = Fake();
  fake->SetProperty(vaduna::contract::kHandleMember, test::I4(9));
  ScriptRef script(fake.Get());

  EXPECT_EQ(E_POINTER, script.GetMember(vaduna::contract::kHandleMember, nullptr));
  ASSERT_EQ(1u, fake->Calls().size());
  EXPECT_EQ(CallRecord::Lookup, fake->Calls()[0].kind);

  VariantValue result;
  ASSERT_EQ(S_OK, script.GetMember(vaduna::contract::kHandleMember, result.put()));
  EXPECT_EQ(VT_I4, result.vt());
  EXPECT_EQ(9, result.get().lVal);
}

TEST_F(ScriptBridge, PutOfNumberOrStringIsOnePlainPut) {
  auto fake = Fake();
  fake->SetProperty(vaduna::contract::kHandleMember, test::Empty());
  ScriptRef script(fake.Get());
  VariantValue number = test::I4(42);
  VariantValue text = test::Str(L"x");

  ASSERT_EQ(S_OK, script.PutMember(vaduna::contract::kHandleMember, Raw(number)));
  ASSERT_EQ(S_OK, script.PutMember(vaduna::contract::kHandleMember, Raw(text)));

  const auto calls = fake->Invocations();
  ASSERT_EQ(2u, calls.size());
  for (const CallRecord& call : calls) {
    EXPECT_EQ(DISPATCH_PROPERTYPUT, call.flags);
    ASSERT_EQ(1u, call.namedArgs.size());
    EXPECT_EQ(DISPID_PROPERTYPUT, call.namedArgs[0]);
  }
  EXPECT_EQ(42, calls[0].args[0].get().lVal);
}

TEST_F(ScriptBridge, PutOfObjectArrayOrReferenceTriesPutRefFirst) {
  auto fake = Fake();
  auto object = Fake();
  fake->SetProperty(L"Member", test::Empty());
  ScriptRef script(fake.Get());

  {
    SCOPED_TRACE("object, by reference succeeds: no plain put");
    VariantValue value = test::Dispatch(object.Get());
    ASSERT_EQ(S_OK, script.PutMember(L"Member", Raw(value)));
    const auto calls = fake->Invocations();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(DISPATCH_PROPERTYPUTREF, calls[0].flags);
  }
  {
    SCOPED_TRACE("by reference fails: the plain put's result counts");
    fake->ClearCalls();
    fake->FailPut(L"Member", DISPATCH_PROPERTYPUTREF, E_NOTIMPL);
    VariantValue value = test::Dispatch(object.Get());
    ASSERT_EQ(S_OK, script.PutMember(L"Member", Raw(value)));
    fake->FailPut(L"Member", DISPATCH_PROPERTYPUT, static_cast<HRESULT>(0x80041111));
    EXPECT_EQ(static_cast<HRESULT>(0x80041111), script.PutMember(L"Member", Raw(value)));
    const auto calls = fake->Invocations();
    ASSERT_EQ(4u, calls.size());
    const WORD expected[] = {DISPATCH_PROPERTYPUTREF, DISPATCH_PROPERTYPUT, DISPATCH_PROPERTYPUTREF,
                             DISPATCH_PROPERTYPUT};
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(expected[i], calls[i].flags) << i;
  }
  {
    SCOPED_TRACE("unknown, by-reference and array values");
    auto plain = Fake();
    plain->SetProperty(L"Member", test::Empty());
    ScriptRef other(plain.Get());
    LONG number = 5;
    VARIANT byReference;
    ::VariantInit(&byReference);
    byReference.vt = VT_I4 | VT_BYREF;
    byReference.plVal = &number;
    VARIANT unknown;
    ::VariantInit(&unknown);
    unknown.vt = VT_UNKNOWN;
    unknown.punkVal = object.Get();  // borrowed
    VARIANT array;
    ::VariantInit(&array);
    array.vt = VT_ARRAY | VT_I4;
    array.parray = ::SafeArrayCreateVector(VT_I4, 0, 1);
    ASSERT_EQ(S_OK, other.PutMember(L"Member", &byReference));
    ASSERT_EQ(S_OK, other.PutMember(L"Member", &unknown));
    ASSERT_EQ(S_OK, other.PutMember(L"Member", &array));
    for (const CallRecord& call : plain->Invocations()) EXPECT_EQ(DISPATCH_PROPERTYPUTREF, call.flags);
    EXPECT_EQ(3u, plain->Invocations().size());
    ::VariantClear(&array);
    plain->RemoveMember(L"Member");
  }
  // The stored value holds the object; the fixture checks the balance.
  fake->RemoveMember(L"Member");
}

TEST_F(ScriptBridge, PutByIdChecksValueThenObject) {
  auto fake = Fake();
  ScriptRef script(fake.Get());
  ScriptRef empty;
  VariantValue value = test::I4(1);

  EXPECT_EQ(E_POINTER, script.PutMemberById(100, nullptr));
  EXPECT_EQ(E_POINTER, empty.PutMemberById(100, nullptr));
  EXPECT_EQ(E_INVALIDARG, empty.PutMemberById(100, Raw(value)));
  EXPECT_TRUE(fake->Calls().empty());
}

TEST_F(ScriptBridge, EnsureMemberAsksAnExpandableObjectToCreateTheMember) {
  auto fake = Fake(true);
  ScriptRef script(fake.Get());

  script.EnsureMember(vaduna::contract::kHandleMember);

  const auto calls = fake->Calls();
  ASSERT_EQ(1u, calls.size());
  EXPECT_EQ(CallRecord::GetDispIdEnsure, calls[0].kind);
  EXPECT_EQ(vaduna::contract::kHandleMember, calls[0].name);
  EXPECT_EQ(fdexNameEnsure, calls[0].flags);
  EXPECT_TRUE(fake->HasMember(vaduna::contract::kHandleMember));
  EXPECT_EQ(3, fake->RefCount());  // fixture, test, ScriptRef: no IDispatchEx kept
}

TEST_F(ScriptBridge, EnsureMemberLeavesAPlainDispatchObjectAlone) {
  auto fake = Fake(false);
  ScriptRef script(fake.Get());

  script.EnsureMember(vaduna::contract::kHandleMember);

  EXPECT_TRUE(fake->Calls().empty());
  EXPECT_FALSE(fake->HasMember(vaduna::contract::kHandleMember));
  EXPECT_EQ(3, fake->RefCount());  // fixture, test, ScriptRef: no IDispatchEx kept
}

TEST(ScriptRef, HoldsExactlyOneReferencePerNonEmptyRef) {
  auto fake = FakeScriptObject::Create();
  auto other = FakeScriptObject::Create();
  {
    ScriptRef first(fake.Get());
    EXPECT_EQ(2, fake->RefCount());
    ScriptRef copy(first);
    EXPECT_EQ(3, fake->RefCount());
    ScriptRef moved(std::move(copy));
    EXPECT_EQ(3, fake->RefCount());
    EXPECT_TRUE(copy.empty());
    moved = first;
    EXPECT_EQ(3, fake->RefCount());
    moved.reset(moved.get());
    EXPECT_EQ(3, fake->RefCount());
    moved.reset(other.Get());
    EXPECT_EQ(2, fake->RefCount());
    EXPECT_EQ(2, other->RefCount());
    first = std::move(moved);
    EXPECT_EQ(1, fake->RefCount());
    EXPECT_EQ(2, other->RefCount());
    first.reset();
    EXPECT_TRUE(first.empty());
  }
  EXPECT_EQ(1, fake->RefCount());
  EXPECT_EQ(1, other->RefCount());
}

}  // namespace
}  // namespace vaduna
