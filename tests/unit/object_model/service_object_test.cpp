#include <windows.h>

#include <gtest/gtest.h>

#include "object_model/shared_attachment.h"
#include "tests/support/object_fixture.h"

namespace vaduna::test {
namespace {

class ServiceObjectTest : public WrapperTest {
 protected:
  // A bound service whose script "InvokeMethod" the test sets, two bound
  // property sets answering "GetValue" with "in" and "out", and the page ready.
  void SetUpInvocation() {
    AttachReadyApp();
    serviceScript_ = NewFake();
    service_ = BoundService(serviceScript_);
    inputScript_ = NewFake();
    inputScript_->SetMethodResult(L"GetValue", Str(L"in"));
    input_ = BoundSet(inputScript_);
    outputScript_ = NewFake();
    outputScript_->SetMethodResult(L"GetValue", Str(L"out"));
    output_ = BoundSet(outputScript_);
  }

  void TearDown() override {
    service_.Reset();
    input_.Reset();
    output_.Reset();
    WrapperTest::TearDown();
  }

  HRESULT Invoke(IVadunaPropertySet* input, IVadunaPropertySet* output, VARIANT_BOOL* done) {
    return service_->InvokeMethod(method_.get(), input, output, done);
  }

  FakeScriptObject* serviceScript_ = nullptr;
  FakeScriptObject* inputScript_ = nullptr;
  FakeScriptObject* outputScript_ = nullptr;
  ComPtr<IVadunaService> service_;
  ComPtr<IVadunaPropertySet> input_;
  ComPtr<IVadunaPropertySet> output_;
  UniqueBstr method_{::SysAllocString(L"Compute")};
};

TEST_F(ServiceObjectTest, NameHandsOutTheScriptsStringAndLeavesItOnFailure) {
  FakeScriptObject* script = NewFake();
  script->SetMethodResult(L"Name", Str(L"Orders"));
  ComPtr<IVadunaService> service = BoundService(script);
  UniqueBstr name;
  EXPECT_EQ(service->Name(name.put()), S_OK);
  EXPECT_STREQ(name.get(), L"Orders");

  script->SetMethodResult(L"Name", Empty(), E_FAIL);
  BSTR untouched = SentinelBstr();
  EXPECT_EQ(service->Name(&untouched), S_FALSE);
  EXPECT_EQ(untouched, SentinelBstr());
  INT code = -1;
  EXPECT_EQ(service->GetLastErrCode(&code), S_OK);
  EXPECT_EQ(code, 0);
}

TEST_F(ServiceObjectTest, UnreadyPageIsNeverCalled) {
  SetUpInvocation();
  serviceScript_->SetMethod(L"InvokeMethod", ReturnsObject(NewFake()));
  {
    SCOPED_TRACE("no readiness event open");
    Attachment().Detach(Attachment().CurrentApp().get());
    VARIANT_BOOL done = kSentinelBool;
    EXPECT_EQ(Invoke(input_.Get(), output_.Get(), &done), S_FALSE);
    EXPECT_EQ(done, kSentinelBool);
  }
  {
    SCOPED_TRACE("the event stays unsignalled for the whole time-out");
    ::ResetEvent(readyEvent_.get());
    ::SetEnvironmentVariableA(contract::kTimeoutVariable, "50");
    EXPECT_EQ(Attachment().Attach(NewFake()), S_OK);
    ::SetEnvironmentVariableA(contract::kTimeoutVariable, nullptr);
    ASSERT_EQ(Attachment().SyncTimeout(), 50);
    VARIANT_BOOL done = kSentinelBool;
    EXPECT_EQ(Invoke(input_.Get(), output_.Get(), &done), S_FALSE);
    EXPECT_EQ(done, kSentinelBool);
  }
  EXPECT_TRUE(serviceScript_->InvocationsOf(L"InvokeMethod").empty());
  UniqueBstr value;
  EXPECT_EQ(output_->GetValue(value.put()), S_OK);
  EXPECT_STREQ(value.get(), L"out");
  INT code = -1;
  EXPECT_EQ(service_->GetLastErrCode(&code), S_OK);
  EXPECT_EQ(code, 0);
}

TEST_F(ServiceObjectTest, ScriptReceivesTheMethodNameThenTheInputSet) {
  SetUpInvocation();
  FakeScriptObject* result = NewFake();
  serviceScript_->SetMethod(L"InvokeMethod", ReturnsObject(result));
  VARIANT_BOOL done = kSentinelBool;
  EXPECT_EQ(Invoke(input_.Get(), output_.Get(), &done), S_OK);
  EXPECT_EQ(done, VARIANT_TRUE);

  const auto calls = serviceScript_->InvocationsOf(L"InvokeMethod");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].flags, DISPATCH_METHOD);
  ASSERT_EQ(calls[0].args.size(), 2u);
  // rgvarg is last-first: element 1 is the script's first parameter.
  ASSERT_EQ(calls[0].args[1].vt(), VT_BSTR);
  EXPECT_STREQ(calls[0].args[1].get().bstrVal, L"Compute");
  ASSERT_EQ(calls[0].args[0].vt(), VT_DISPATCH);
  EXPECT_EQ(calls[0].args[0].get().pdispVal, static_cast<IDispatch*>(inputScript_));
}

TEST_F(ServiceObjectTest, ReturnedSetIsBoundIntoTheOutputSet) {
  SetUpInvocation();
  FakeScriptObject* result = NewFake();
  result->SetMethodResult(L"GetValue", Str(L"result"));
  serviceScript_->SetMethod(L"InvokeMethod", ReturnsObject(result));
  EXPECT_EQ(Invoke(input_.Get(), output_.Get(), nullptr), S_OK);

  UniqueBstr value;
  EXPECT_EQ(output_->GetValue(value.put()), S_OK);
  EXPECT_STREQ(value.get(), L"result");
  // The output set's former script object is released (the fixture checks
  // its count), and the returned one names the output set.
  ComPtr<IUnknown> found = FoundWrapper(result, ObjectKind::PropertySet);
  EXPECT_EQ(found.Get(), static_cast<IUnknown*>(output_.Get()));
  EXPECT_EQ(outputScript_->RefCount(), 1);
}

TEST_F(ServiceObjectTest, FactoryMadeOutputSetIsBoundAndListedUnderTheServicesOwner) {
  SetUpInvocation();
  FakeScriptObject* result = NewFake();
  serviceScript_->SetMethod(L"InvokeMethod", ReturnsObject(result));
  ComPtr<IVadunaPropertySet> output = UnboundSet();
  VARIANT_BOOL done = kSentinelBool;
  EXPECT_EQ(Invoke(input_.Get(), output.Get(), &done), S_OK);
  EXPECT_EQ(done, VARIANT_TRUE);
  EXPECT_EQ(OwnerOf(output.Get()), owner_);

  // Listed in the owner's wrappers: the client's release leaves it alive and findable.
  IVadunaPropertySet* const address = output.Get();
  output.Reset();
  ComPtr<IUnknown> found = FoundWrapper(result, ObjectKind::PropertySet);
  EXPECT_EQ(found.Get(), static_cast<IUnknown*>(address));
  found.Reset();
  // The owner's destruction releases it and its script object.
  service_.Reset();
  input_.Reset();
  output_.Reset();
  app_.Reset();
  EXPECT_EQ(result->RefCount(), 1);
}

TEST_F(ServiceObjectTest, NoReturnedSetEmptiesTheOutputSet) {
  SetUpInvocation();
  for (const VariantValue& answer : {Empty(), Null(), Str(L"text"), I4(7), Dispatch(nullptr)}) {
    SCOPED_TRACE(answer.vt());
    ComPtr<IVadunaPropertySet> output = BoundSet(NewFake());
    serviceScript_->SetMethodResult(L"InvokeMethod", answer);
    VARIANT_BOOL done = kSentinelBool;
    EXPECT_EQ(Invoke(input_.Get(), output.Get(), &done), S_OK);
    EXPECT_EQ(done, VARIANT_FALSE);
    UniqueBstr value;
    EXPECT_EQ(output->GetValue(value.put()), kDispException);
    INT code = 0;
    EXPECT_EQ(output->GetLastErrCode(&code), S_OK);
    EXPECT_EQ(code, 202);
  }
  serviceScript_->RemoveMember(L"InvokeMethod");
}

TEST_F(ServiceObjectTest, FailedCallLeavesTheOutputSetAlone) {
  SetUpInvocation();
  serviceScript_->SetMethodResult(L"InvokeMethod", Empty(), E_FAIL);
  VARIANT_BOOL done = kSentinelBool;
  EXPECT_EQ(Invoke(input_.Get(), output_.Get(), &done), S_FALSE);
  EXPECT_EQ(done, VARIANT_FALSE);
  UniqueBstr value;
  EXPECT_EQ(output_->GetValue(value.put()), S_OK);
  EXPECT_STREQ(value.get(), L"out");
  INT code = -1;
  EXPECT_EQ(service_->GetLastErrCode(&code), S_OK);
  EXPECT_EQ(code, 0);
}

TEST_F(ServiceObjectTest, ReturningTheInputsScriptObjectShareItWithTheOutputSet) {
  SetUpInvocation();
  serviceScript_->SetMethod(L"InvokeMethod", ReturnsObject(inputScript_));
  EXPECT_EQ(Invoke(input_.Get(), output_.Get(), nullptr), S_OK);

  UniqueBstr inputValue, outputValue;
  EXPECT_EQ(input_->GetValue(inputValue.put()), S_OK);
  EXPECT_EQ(output_->GetValue(outputValue.put()), S_OK);
  EXPECT_STREQ(inputValue.get(), L"in");
  EXPECT_STREQ(outputValue.get(), L"in");
  ComPtr<IUnknown> found = FoundWrapper(inputScript_, ObjectKind::PropertySet);
  EXPECT_EQ(found.Get(), static_cast<IUnknown*>(output_.Get()));
  serviceScript_->ClearCalls();  // its recorded arguments hold references
  inputScript_->ClearCalls();
  EXPECT_EQ(inputScript_->RefCount(), 3);  // the test, the input set, the output set
}

TEST_F(ServiceObjectTest, SameSetAsInputAndOutputIsRebound) {
  SetUpInvocation();
  FakeScriptObject* result = NewFake();
  result->SetMethodResult(L"GetValue", Str(L"result"));
  serviceScript_->SetMethod(L"InvokeMethod", ReturnsObject(result));
  VARIANT_BOOL done = kSentinelBool;
  EXPECT_EQ(Invoke(input_.Get(), input_.Get(), &done), S_OK);
  EXPECT_EQ(done, VARIANT_TRUE);

  UniqueBstr value;
  EXPECT_EQ(input_->GetValue(value.put()), S_OK);
  EXPECT_STREQ(value.get(), L"result");
  serviceScript_->ClearCalls();
  inputScript_->ClearCalls();
  EXPECT_EQ(inputScript_->RefCount(), 1);  // released by the set while the set lives on
}

TEST_F(ServiceObjectTest, SetsThatCannotReachTheScriptAreRefused) {
  SetUpInvocation();
  serviceScript_->SetMethod(L"InvokeMethod", ReturnsObject(NewFake()));
  // A client's own object: only its IUnknown is ever touched.
  FakeScriptObject* foreign = NewFake();
  auto* foreignSet = reinterpret_cast<IVadunaPropertySet*>(static_cast<IDispatchEx*>(foreign));
  // One of ours that is no property set.
  auto* serviceAsSet = reinterpret_cast<IVadunaPropertySet*>(service_.Get());
  ComPtr<IVadunaPropertySet> unbound = UnboundSet();

  struct Case {
    const char* what;
    IVadunaPropertySet* input;
    IVadunaPropertySet* output;
  };
  for (const Case& refused : {Case{"foreign input", foreignSet, output_.Get()},
                              Case{"service as input", serviceAsSet, output_.Get()},
                              Case{"unbound input", unbound.Get(), output_.Get()},
                              Case{"foreign output", input_.Get(), foreignSet},
                              Case{"service as output", input_.Get(), serviceAsSet}}) {
    SCOPED_TRACE(refused.what);
    VARIANT_BOOL done = kSentinelBool;
    EXPECT_EQ(Invoke(refused.input, refused.output, &done), E_INVALIDARG);
    EXPECT_EQ(done, kSentinelBool);
  }
  EXPECT_TRUE(serviceScript_->InvocationsOf(L"InvokeMethod").empty());
  UniqueBstr value;
  EXPECT_EQ(output_->GetValue(value.put()), S_OK);
  EXPECT_STREQ(value.get(), L"out");
  EXPECT_EQ(unbound->GetValue(value.put()), kDispException);
  INT code = -1;
  EXPECT_EQ(service_->GetLastErrCode(&code), S_OK);
  EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace vaduna::test
