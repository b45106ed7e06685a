#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

#include "tests/support/object_fixture.h"

namespace vaduna::test {
namespace {

class PropertySetChildrenTest : public WrapperTest {
 protected:
  void SetUp() override {
    WrapperTest::SetUp();
    script_ = NewFake();
    set_ = BoundSet(script_);
    childScript_ = NewFake();
    child_ = BoundSet(childScript_);
    script_->ClearCalls();
    childScript_->ClearCalls();
  }
  void TearDown() override {
    set_.Reset();
    child_.Reset();
    WrapperTest::TearDown();
  }

  FakeScriptObject* script_ = nullptr;
  FakeScriptObject* childScript_ = nullptr;
  ComPtr<IVadunaPropertySet> set_;
  ComPtr<IVadunaPropertySet> child_;
};

TEST_F(PropertySetChildrenTest, GetChildHandsOutTheSameWrapperEachTime) {
  FakeScriptObject* node = NewFake();
  script_->SetMethod(L"GetChild", ReturnsObject(node));
  ComPtr<IVadunaPropertySet> first;
  EXPECT_EQ(set_->GetChild(3, &first), S_OK);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(OwnerOf(first.Get()), owner_);
  IVadunaPropertySet* const address = first.Get();

  ComPtr<IVadunaPropertySet> second;
  EXPECT_EQ(set_->GetChild(3, &second), S_OK);
  EXPECT_EQ(second.Get(), address);
  first.Reset();
  second.Reset();
  // Only the owner's list holds it now; it is still the child's wrapper.
  ComPtr<IVadunaPropertySet> third;
  EXPECT_EQ(set_->GetChild(3, &third), S_OK);
  EXPECT_EQ(third.Get(), address);

  const auto calls = script_->InvocationsOf(L"GetChild");
  ASSERT_EQ(calls.size(), 3u);
  ASSERT_EQ(calls[0].args.size(), 1u);
  EXPECT_EQ(calls[0].args[0].vt(), VT_I4);
  EXPECT_EQ(calls[0].args[0].get().lVal, 3);
}

TEST_F(PropertySetChildrenTest, GetChildWithoutAnObjectGivesNull) {
  for (const VariantValue& nothing : {Empty(), Null(), Dispatch(nullptr), Str(L"child"), I4(12)}) {
    SCOPED_TRACE(nothing.vt());
    script_->SetMethodResult(L"GetChild", nothing);
    IVadunaPropertySet* found = reinterpret_cast<IVadunaPropertySet*>(SentinelBstr());
    EXPECT_EQ(set_->GetChild(0, &found), S_FALSE);
    EXPECT_EQ(found, nullptr);
  }
  // A failing call that leaves an object in its result: no child, nothing leaked.
  script_->SetMethod(L"GetChild", [this](const std::vector<VariantValue>& args, VARIANT* result) {
    ReturnsObject(childScript_)(args, result);
    return E_FAIL;
  });
  IVadunaPropertySet* found = reinterpret_cast<IVadunaPropertySet*>(SentinelBstr());
  EXPECT_EQ(set_->GetChild(0, &found), S_FALSE);
  EXPECT_EQ(found, nullptr);
  EXPECT_EQ(set_->GetChild(0, nullptr), E_POINTER);
}

TEST_F(PropertySetChildrenTest, AddChildReportsTheLastIndex) {
  script_->SetMethodResult(L"AddChild", Bool(true));
  script_->SetMethodResult(L"GetChildCount", I4(3));
  long index = kSentinelLong;
  EXPECT_EQ(set_->AddChild(child_.Get(), &index), S_OK);
  EXPECT_EQ(index, 2);
  const auto calls = script_->InvocationsOf(L"AddChild");
  ASSERT_EQ(calls.size(), 1u);
  ASSERT_EQ(calls[0].args.size(), 1u);
  EXPECT_EQ(calls[0].args[0].vt(), VT_DISPATCH);
  EXPECT_EQ(calls[0].args[0].get().pdispVal, static_cast<IDispatch*>(childScript_));

  SCOPED_TRACE("the script added nothing");
  for (const VariantValue& refusal : {Bool(false), I4(0), Empty()}) {
    script_->SetMethodResult(L"AddChild", refusal);
    index = kSentinelLong;
    EXPECT_EQ(set_->AddChild(child_.Get(), &index), S_FALSE);
    EXPECT_EQ(index, -1);
  }
}

TEST_F(PropertySetChildrenTest, AddChildWithoutACountReportsNoIndex) {
  script_->SetMethodResult(L"AddChild", Bool(true));
  for (const VariantValue& count : {Str(L"3"), Empty()}) {
    script_->SetMethodResult(L"GetChildCount", count);
    long index = kSentinelLong;
    EXPECT_EQ(set_->AddChild(child_.Get(), &index), S_FALSE);
    EXPECT_EQ(index, -1);
  }
  script_->SetMethodResult(L"GetChildCount", I4(3), E_FAIL);
  long index = kSentinelLong;
  EXPECT_EQ(set_->AddChild(child_.Get(), &index), S_FALSE);
  EXPECT_EQ(index, -1);

  SCOPED_TRACE("the call itself fails");
  script_->SetMethodResult(L"AddChild", Bool(true), E_FAIL);
  index = kSentinelLong;
  EXPECT_EQ(set_->AddChild(child_.Get(), &index), S_FALSE);
  EXPECT_EQ(index, kSentinelLong);
}

TEST_F(PropertySetChildrenTest, InsertChildAtCopiesItsArgumentsForTheCall) {
  LONG insideInsert = 0, insideAdd = 0;
  script_->SetMethod(L"InsertChildAt", [&](const std::vector<VariantValue>&, VARIANT* result) {
    insideInsert = childScript_->RefCount();
    *result = BoolValue(false);
    return S_OK;
  });
  script_->SetMethod(L"AddChild", [&](const std::vector<VariantValue>&, VARIANT*) {
    insideAdd = childScript_->RefCount();
    return E_FAIL;
  });
  const LONG before = childScript_->RefCount();
  VARIANT_BOOL truth = kSentinelBool;
  EXPECT_EQ(set_->InsertChildAt(child_.Get(), -4, &truth), S_OK);
  EXPECT_EQ(truth, VARIANT_TRUE);
  script_->ClearCalls();
  long index = kSentinelLong;
  EXPECT_EQ(set_->AddChild(child_.Get(), &index), S_FALSE);
  script_->ClearCalls();
  EXPECT_EQ(childScript_->RefCount(), before);
  // Both calls hold the child for their duration, and the fake keeps two
  // copies of its arguments; only the two-argument form copies its own.
  EXPECT_EQ(insideAdd, before + 3);
  EXPECT_EQ(insideInsert, insideAdd + 1);

  EXPECT_EQ(set_->InsertChildAt(child_.Get(), 5, nullptr), S_OK);
  const auto calls = script_->InvocationsOf(L"InsertChildAt");
  ASSERT_EQ(calls.size(), 1u);
  ASSERT_EQ(calls[0].args.size(), 2u);
  EXPECT_EQ(calls[0].args[1].get().pdispVal, static_cast<IDispatch*>(childScript_));
  EXPECT_EQ(calls[0].args[0].vt(), VT_I4);
  EXPECT_EQ(calls[0].args[0].get().lVal, 5);

  script_->SetMethodResult(L"InsertChildAt", Bool(true), E_FAIL);
  truth = kSentinelBool;
  EXPECT_EQ(set_->InsertChildAt(child_.Get(), 0, &truth), S_FALSE);
  EXPECT_EQ(truth, VARIANT_FALSE);
  EXPECT_EQ(set_->InsertChildAt(nullptr, 0, &truth), E_POINTER);
}

TEST_F(PropertySetChildrenTest, ChildrenThatCannotReachTheScriptAreRefused) {
  script_->SetMethodResult(L"AddChild", Bool(true));
  script_->SetMethodResult(L"InsertChildAt", Empty());
  FakeScriptObject* foreign = NewFake();
  auto* foreignSet = reinterpret_cast<IVadunaPropertySet*>(static_cast<IDispatchEx*>(foreign));
  ComPtr<IVadunaService> service = BoundService(NewFake());
  auto* serviceAsSet = reinterpret_cast<IVadunaPropertySet*>(service.Get());
  ComPtr<IVadunaPropertySet> unbound = UnboundSet();

  for (IVadunaPropertySet* refused : {foreignSet, serviceAsSet, unbound.Get()}) {
    long index = kSentinelLong;
    EXPECT_EQ(set_->AddChild(refused, &index), E_INVALIDARG);
    EXPECT_EQ(index, kSentinelLong);
    VARIANT_BOOL truth = kSentinelBool;
    EXPECT_EQ(set_->InsertChildAt(refused, 0, &truth), E_INVALIDARG);
    EXPECT_EQ(truth, kSentinelBool);
  }
  EXPECT_TRUE(script_->Invocations().empty());
  INT code = -1;
  EXPECT_EQ(set_->GetLastErrCode(&code), S_OK);
  EXPECT_EQ(code, 0);
}

TEST_F(PropertySetChildrenTest, RemoveChildPassesAnyIndexOn) {
  script_->SetMethodResult(L"RemoveChild", Bool(true));
  VARIANT_BOOL truth = kSentinelBool;
  EXPECT_EQ(set_->RemoveChild(-1, &truth), S_OK);
  EXPECT_EQ(truth, VARIANT_TRUE);
  EXPECT_EQ(set_->RemoveChild(-2147483647 - 1, nullptr), S_OK);
  const auto calls = script_->InvocationsOf(L"RemoveChild");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].args[0].get().lVal, -1);
  EXPECT_EQ(calls[1].args[0].get().lVal, -2147483647 - 1);

  script_->SetMethodResult(L"RemoveChild", I4(0));
  truth = kSentinelBool;
  EXPECT_EQ(set_->RemoveChild(0, &truth), S_OK);
  EXPECT_EQ(truth, VARIANT_FALSE);

  script_->SetMethodResult(L"RemoveChild", Bool(true), E_FAIL);
  EXPECT_EQ(set_->RemoveChild(0, nullptr), S_FALSE);
  truth = kSentinelBool;
  EXPECT_EQ(set_->RemoveChild(0, &truth), S_FALSE);
  EXPECT_EQ(truth, VARIANT_FALSE);
}

TEST_F(PropertySetChildrenTest, CopyDecodesTheEncodingIntoANewSetOfTheSameOwner) {
  FakeScriptObject* scriptApp = AttachReadyApp();
  script_->SetMethodResult(L"EncodeAsString", Str(L"<set a=1/>"));
  ComPtr<IVadunaPropertySet> copy;
  EXPECT_EQ(set_->Copy(&copy), S_OK);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy.Get(), set_.Get());
  EXPECT_EQ(OwnerOf(copy.Get()), owner_);
  EXPECT_EQ(scriptApp->InvocationsOf(L"NewPropertySet").size(), 1u);

  ASSERT_EQ(newSets_.size(), 1u);
  const auto decoded = newSets_[0]->InvocationsOf(L"DecodeFromString");
  ASSERT_EQ(decoded.size(), 1u);
  ASSERT_EQ(decoded[0].args.size(), 1u);
  ASSERT_EQ(decoded[0].args[0].vt(), VT_BSTR);
  EXPECT_STREQ(decoded[0].args[0].get().bstrVal, L"<set a=1/>");
  newSets_[0]->SetMethodResult(L"GetValue", Str(L"copied"));
  UniqueBstr value;
  EXPECT_EQ(copy->GetValue(value.put()), S_OK);
  EXPECT_STREQ(value.get(), L"copied");
}

TEST_F(PropertySetChildrenTest, CopyWithoutAnEncodingMakesNoSet) {
  FakeScriptObject* scriptApp = AttachReadyApp();
  for (const VariantValue& encoding : {Empty(), Null(), I4(5)}) {
    SCOPED_TRACE(encoding.vt());
    script_->SetMethodResult(L"EncodeAsString", encoding);
    IVadunaPropertySet* copy = reinterpret_cast<IVadunaPropertySet*>(SentinelBstr());
    EXPECT_EQ(set_->Copy(&copy), S_FALSE);
    EXPECT_EQ(copy, nullptr);
  }
  script_->SetMethodResult(L"EncodeAsString", Str(L"x"), E_FAIL);
  IVadunaPropertySet* copy = reinterpret_cast<IVadunaPropertySet*>(SentinelBstr());
  EXPECT_EQ(set_->Copy(&copy), S_FALSE);
  EXPECT_EQ(copy, nullptr);
  EXPECT_TRUE(scriptApp->InvocationsOf(L"NewPropertySet").empty());
  EXPECT_EQ(set_->Copy(nullptr), E_POINTER);
}

TEST_F(PropertySetChildrenTest, CopyWithoutANewSetFromTheOwnerGivesNull) {
  script_->SetMethodResult(L"EncodeAsString", Str(L"<set/>"));
  {
    SCOPED_TRACE("no script application attached");
    IVadunaPropertySet* copy = reinterpret_cast<IVadunaPropertySet*>(SentinelBstr());
    EXPECT_EQ(set_->Copy(&copy), S_FALSE);
    EXPECT_EQ(copy, nullptr);
  }
  FakeScriptObject* scriptApp = AttachReadyApp();
  for (HRESULT outcome : {S_OK, E_FAIL}) {
    SCOPED_TRACE(outcome);
    // The script application answers no object, or fails.
    scriptApp->SetMethodResult(L"NewPropertySet", Empty(), outcome);
    IVadunaPropertySet* copy = reinterpret_cast<IVadunaPropertySet*>(SentinelBstr());
    EXPECT_EQ(set_->Copy(&copy), S_FALSE);
    EXPECT_EQ(copy, nullptr);
  }
  EXPECT_EQ(scriptApp->InvocationsOf(L"NewPropertySet").size(), 2u);
  INT code = -1;
  EXPECT_EQ(set_->GetLastErrCode(&code), S_OK);
  EXPECT_EQ(code, 0);
}

TEST_F(PropertySetChildrenTest, OrphanedSetMakesNoNewSets) {
  AttachReadyApp();
  script_->SetMethodResult(L"EncodeAsString", Str(L"<set/>"));
  script_->SetMethod(L"GetChild", ReturnsObject(NewFake()));
  EXPECT_EQ(app_->OnUnload(), S_OK);
  EXPECT_EQ(OwnerOf(set_.Get()), nullptr);

  IVadunaPropertySet* made = reinterpret_cast<IVadunaPropertySet*>(SentinelBstr());
  EXPECT_EQ(set_->Copy(&made), S_FALSE);
  EXPECT_EQ(made, nullptr);
  EXPECT_TRUE(script_->InvocationsOf(L"EncodeAsString").empty());
  made = reinterpret_cast<IVadunaPropertySet*>(SentinelBstr());
  EXPECT_EQ(set_->GetChild(0, &made), S_FALSE);
  EXPECT_EQ(made, nullptr);
  // A child that already has its wrapper is still handed out.
  script_->SetMethod(L"GetChild", ReturnsObject(childScript_));
  ComPtr<IVadunaPropertySet> existing;
  EXPECT_EQ(set_->GetChild(0, &existing), S_OK);
  EXPECT_EQ(existing.Get(), child_.Get());
}

TEST_F(PropertySetChildrenTest, ConcurrentRebindingNeverReleasesAnObjectInUse) {
  // One thread keeps rebinding the set through a service while others read
  // it and hand it in as a child: every call either reaches a live script
  // object or answers 202, and all counts come back.
  FakeScriptObject* serviceScript = NewFake();
  FakeScriptObject* next = NewFake();
  for (FakeScriptObject* script : {childScript_, next}) {
    script->SetMethodResult(L"GetValue", Str(L"v"));
  }
  int turn = 0;
  serviceScript->SetMethod(L"InvokeMethod", [&](const std::vector<VariantValue>& args, VARIANT* result) {
    return ReturnsObject(++turn % 2 ? next : childScript_)(args, result);
  });
  script_->SetMethodResult(L"AddChild", Bool(false));
  AttachReadyApp();
  ComPtr<IVadunaService> service = BoundService(serviceScript);
  UniqueBstr method(::SysAllocString(L"m"));

  std::thread rebinder([&] {
    for (int i = 0; i < 300; ++i) EXPECT_EQ(service->InvokeMethod(method.get(), set_.Get(), child_.Get(), nullptr), S_OK);
  });
  std::thread reader([&] {
    for (int i = 0; i < 300; ++i) {
      UniqueBstr value;
      EXPECT_EQ(child_->GetValue(value.put()), S_OK);
      long index = 0;
      EXPECT_EQ(set_->AddChild(child_.Get(), &index), S_FALSE);
    }
  });
  rebinder.join();
  reader.join();
  serviceScript->RemoveMember(L"InvokeMethod");
  serviceScript->ClearCalls();
  script_->ClearCalls();
}

}  // namespace
}  // namespace vaduna::test
