// The application object: its failure table, the shared attachment, the
// readiness wait and the time-out read from the environment.
#include "tests/support/object_fixture.h"

namespace vaduna::test {
namespace {

constexpr const char* kTimeoutVariable = contract::kTimeoutVariable;
BSTR const kSentinelBstr = reinterpret_cast<BSTR>(0xdeadbeef);

class ApplicationObjectTest : public ObjectsTest {
 protected:
  void SetUp() override {
    ObjectsTest::SetUp();
    ::SetEnvironmentVariableA(kTimeoutVariable, nullptr);
    page_ = NewFake();
    app_ = NewApplication();
  }
  void TearDown() override {
    app_.Reset();
    ::SetEnvironmentVariableA(kTimeoutVariable, nullptr);
    ObjectsTest::TearDown();
  }

  INT ErrorCode(IVadunaHTMLApplication* app) {
    INT code = -1;
    EXPECT_EQ(S_OK, app->GetLastErrCode(&code));
    return code;
  }
  std::wstring ErrorText(IVadunaHTMLApplication* app) {
    BSTR text = nullptr;
    EXPECT_EQ(S_OK, app->GetLastErrText(&text));
    std::wstring copy = text != nullptr ? text : L"";
    ::SysFreeString(text);
    return copy;
  }

  HRESULT CallGetService(IVadunaService** service) {
    BSTR name = ::SysAllocString(L"Orders");
    const HRESULT hr = app_->GetService(name, service);
    ::SysFreeString(name);
    return hr;
  }

  // The attachment's time-out after an attach with the variable set to text
  // (null: unset), with the event present.
  LONG TimeoutAfterAttach(const char* text) {
    ::SetEnvironmentVariableA(kTimeoutVariable, text);
    EXPECT_EQ(S_OK, app_->AttachAppObject(page_));
    const LONG timeout = Attachment().SyncTimeout();
    EXPECT_EQ(S_OK, app_->OnUnload());
    return timeout;
  }

  FakeScriptObject* page_ = nullptr;
  ComPtr<IVadunaHTMLApplication> app_;
};

TEST_F(ApplicationObjectTest, AttachingNullRecords201AndReturnsEPointer) {
  EXPECT_EQ(E_POINTER, app_->AttachAppObject(nullptr));
  EXPECT_EQ(201, ErrorCode(app_.Get()));
  EXPECT_EQ(L"Can not attach a null object.", ErrorText(app_.Get()));
  EXPECT_FALSE(Attachment().IsAttached());
}

TEST_F(ApplicationObjectTest, WithoutAttachmentCallsAnswerOutOfScopeButIsReadyAnswersFalse) {
  VARIANT_BOOL ready = 0x5A5A;
  EXPECT_EQ(S_FALSE, app_->IsReady(&ready));
  EXPECT_EQ(VARIANT_FALSE, ready);
  EXPECT_EQ(0, ErrorCode(app_.Get()));
  EXPECT_EQ(L"", ErrorText(app_.Get()));

  BSTR name = kSentinelBstr;
  EXPECT_EQ(DISP_E_EXCEPTION, app_->Name(&name));
  EXPECT_EQ(kSentinelBstr, name);
  EXPECT_EQ(202, ErrorCode(app_.Get()));
  EXPECT_EQ(L"The Object is out of scope.", ErrorText(app_.Get()));

  ComPtr<IVadunaHTMLApplication> other = NewApplication();
  ComPtr<IVadunaService> service;
  EXPECT_EQ(DISP_E_EXCEPTION, CallGetService(service.GetAddressOf()));
  ComPtr<IVadunaPropertySet> set;
  EXPECT_EQ(DISP_E_EXCEPTION, other->NewPropertySet(set.GetAddressOf()));
  EXPECT_EQ(202, ErrorCode(other.Get()));
  EXPECT_EQ(2, TestModule().LockCount());  // the two application objects, no wrapper
}

TEST_F(ApplicationObjectTest, ScriptFailuresAnswerSFalseAndOnlyAFailedServiceLookupIsRecorded) {
  CreateSyncEvent(true);
  for (const wchar_t* member : {L"Name", L"GetService", L"NewPropertySet", L"IsReady"}) {
    page_->SetMethodResult(member, Empty(), E_FAIL);
  }
  ASSERT_EQ(S_OK, app_->AttachAppObject(page_));

  BSTR name = kSentinelBstr;
  EXPECT_EQ(S_FALSE, app_->Name(&name));
  EXPECT_EQ(kSentinelBstr, name);
  ComPtr<IVadunaPropertySet> set;
  EXPECT_EQ(S_FALSE, app_->NewPropertySet(set.GetAddressOf()));
  EXPECT_EQ(nullptr, set);
  VARIANT_BOOL ready = 0x5A5A;
  EXPECT_EQ(S_FALSE, app_->IsReady(&ready));
  EXPECT_EQ(VARIANT_FALSE, ready);
  EXPECT_EQ(0, ErrorCode(app_.Get()));

  ComPtr<IVadunaService> service;
  EXPECT_EQ(S_FALSE, CallGetService(service.GetAddressOf()));
  EXPECT_EQ(nullptr, service);
  EXPECT_EQ(203, ErrorCode(app_.Get()));
  EXPECT_EQ(L"Unable to Get Service.", ErrorText(app_.Get()));

  // A later success leaves the error state as it was.
  page_->SetMethodResult(L"IsReady", Bool(true));
  EXPECT_EQ(S_OK, app_->IsReady(&ready));
  EXPECT_EQ(203, ErrorCode(app_.Get()));
  EXPECT_EQ(1, TestModule().LockCount());
}

TEST_F(ApplicationObjectTest, GetServiceAnsweredWithoutAnObjectGivesSOkAndNoService) {
  CreateSyncEvent(true);
  ASSERT_EQ(S_OK, app_->AttachAppObject(page_));
  for (const VariantValue& answer : {Empty(), Null(), I4(42), Str(L"Orders"), Dispatch(nullptr)}) {
    page_->SetMethodResult(L"GetService", answer);
    IVadunaService* service = reinterpret_cast<IVadunaService*>(0xdeadbeef);
    EXPECT_EQ(S_OK, CallGetService(&service)) << answer.vt();
    EXPECT_EQ(nullptr, service);
  }
  EXPECT_EQ(0, ErrorCode(app_.Get()));
  EXPECT_EQ(1, TestModule().LockCount());
}

TEST_F(ApplicationObjectTest, GetServicePassesTheCallersStringAndWrapsTheAnswer) {
  CreateSyncEvent(true);
  FakeScriptObject* script = NewScriptObject();
  page_->SetMethod(L"GetService", ReturnsObject(script));
  ASSERT_EQ(S_OK, app_->AttachAppObject(page_));
  ComPtr<IVadunaService> service;
  ASSERT_EQ(S_OK, CallGetService(service.GetAddressOf()));
  ASSERT_NE(nullptr, service);
  EXPECT_EQ(ObjectKind::Service, ServerObjectOf(service.Get())->Kind());

  const auto calls = page_->InvocationsOf(L"GetService");
  ASSERT_EQ(1u, calls.size());
  EXPECT_EQ(DISPATCH_METHOD, calls[0].flags);
  ASSERT_EQ(1u, calls[0].args.size());
  EXPECT_EQ(VT_BSTR, calls[0].args[0].vt());
  EXPECT_STREQ(L"Orders", calls[0].args[0].get().bstrVal);
}

TEST_F(ApplicationObjectTest, NameAndIsReadyPassTheScriptsAnswerOn) {
  page_->SetMethodResult(L"Name", Str(L"Order entry"));
  ASSERT_EQ(S_FALSE, app_->AttachAppObject(page_));  // no event: attached all the same
  BSTR name = nullptr;
  EXPECT_EQ(S_OK, app_->Name(&name));
  EXPECT_STREQ(L"Order entry", name);
  ::SysFreeString(name);

  VARIANT_BOOL ready = 0;
  page_->SetMethodResult(L"IsReady", Bool(true));
  EXPECT_EQ(S_OK, app_->IsReady(&ready));
  EXPECT_EQ(VARIANT_TRUE, ready);
  page_->SetMethodResult(L"IsReady", I4(1));
  EXPECT_EQ(S_OK, app_->IsReady(&ready));
  EXPECT_EQ(1, ready);
  page_->SetMethod(L"IsReady", [](const std::vector<VariantValue>&, VARIANT* result) {
    *result = BoolValue(true);
    return S_FALSE;
  });
  EXPECT_EQ(S_FALSE, app_->IsReady(&ready));  // the call's own result
  EXPECT_EQ(VARIANT_TRUE, ready);
}

TEST_F(ApplicationObjectTest, AllApplicationObjectsShareTheAttachmentOfThePagesObject) {
  CreateSyncEvent(true);
  page_->SetMethodResult(L"Name", Str(L"Page"));
  ASSERT_EQ(S_OK, app_->AttachAppObject(page_));
  EXPECT_EQ(2, page_->RefCount());
  ComPtr<IVadunaHTMLApplication> client = NewApplication();
  BSTR name = nullptr;
  ASSERT_EQ(S_OK, client->Name(&name));
  EXPECT_STREQ(L"Page", name);
  ::SysFreeString(name);

  {
    SCOPED_TRACE("OnUnload of another object closes the event and releases nothing");
    EXPECT_EQ(S_OK, client->OnUnload());
    EXPECT_EQ(2, page_->RefCount());
    ComPtr<IVadunaService> service;
    EXPECT_EQ(S_FALSE, CallGetService(service.GetAddressOf()));
    EXPECT_TRUE(page_->InvocationsOf(L"GetService").empty());
    name = nullptr;
    EXPECT_EQ(S_OK, client->Name(&name));
    ::SysFreeString(name);
  }
  {
    SCOPED_TRACE("OnUnload of the attaching object ends the attachment for all");
    EXPECT_EQ(S_OK, app_->OnUnload());
    EXPECT_EQ(1, page_->RefCount());
    EXPECT_EQ(DISP_E_EXCEPTION, client->Name(&name));
    EXPECT_EQ(202, ErrorCode(client.Get()));
    EXPECT_EQ(DISP_E_EXCEPTION, app_->Name(&name));
    EXPECT_EQ(202, ErrorCode(app_.Get()));
  }
  {
    SCOPED_TRACE("a second OnUnload releases and closes nothing");
    EXPECT_EQ(S_OK, app_->OnUnload());
    EXPECT_EQ(1, page_->RefCount());
  }
}

TEST_F(ApplicationObjectTest, AttachingAgainReplacesTheAttachmentWithoutLosingReferences) {
  FakeScriptObject* secondPage = NewFake();
  ComPtr<IVadunaHTMLApplication> other = NewApplication();
  ASSERT_EQ(S_FALSE, app_->AttachAppObject(page_));
  ASSERT_EQ(S_FALSE, other->AttachAppObject(secondPage));
  EXPECT_EQ(2, page_->RefCount());  // still shared by app_ alone
  EXPECT_EQ(2, secondPage->RefCount());

  // app_ attaches again: its earlier page is referenced by nobody else now.
  ASSERT_EQ(S_FALSE, app_->AttachAppObject(page_));
  EXPECT_EQ(2, page_->RefCount());
  EXPECT_EQ(S_OK, other->OnUnload());  // not current any more: released, current left alone
  EXPECT_EQ(1, secondPage->RefCount());
  EXPECT_TRUE(Attachment().IsAttached());
  EXPECT_EQ(S_OK, app_->OnUnload());
  EXPECT_EQ(1, page_->RefCount());
  EXPECT_FALSE(Attachment().IsAttached());
}

TEST_F(ApplicationObjectTest, AnAttachmentWhoseObjectIsGoneIsGivenBackOnceNotCurrent) {
  FakeScriptObject* secondPage = NewFake();
  ComPtr<IVadunaHTMLApplication> other = NewApplication();
  ASSERT_EQ(S_FALSE, app_->AttachAppObject(page_));
  ASSERT_EQ(S_FALSE, other->AttachAppObject(secondPage));
  {
    SCOPED_TRACE("a replaced attachment has no other holder: it goes with its object");
    app_.Reset();
    EXPECT_EQ(1, page_->RefCount());
    EXPECT_EQ(2, secondPage->RefCount());
  }
  {
    SCOPED_TRACE("the current attachment outlives its object");
    other.Reset();
    EXPECT_EQ(2, secondPage->RefCount());
    EXPECT_TRUE(Attachment().IsAttached());
  }
  {
    SCOPED_TRACE("until a later attachment replaces it");
    ComPtr<IVadunaHTMLApplication> next = NewApplication();
    ASSERT_EQ(S_FALSE, next->AttachAppObject(page_));
    EXPECT_EQ(1, secondPage->RefCount());
    EXPECT_EQ(2, page_->RefCount());
    ASSERT_EQ(S_OK, next->OnUnload());
    EXPECT_EQ(1, page_->RefCount());
  }
  {
    SCOPED_TRACE("or an OnUnload by another object that attached the same app ends it");
    ComPtr<IVadunaHTMLApplication> first = NewApplication();
    ComPtr<IVadunaHTMLApplication> second = NewApplication();
    ASSERT_EQ(S_FALSE, first->AttachAppObject(page_));
    ASSERT_EQ(S_FALSE, second->AttachAppObject(page_));
    first.Reset();
    EXPECT_EQ(3, page_->RefCount());
    ASSERT_EQ(S_OK, second->OnUnload());
    EXPECT_EQ(1, page_->RefCount());
    EXPECT_FALSE(Attachment().IsAttached());
  }
}

TEST_F(ApplicationObjectTest, TheTimeoutFollowsTheEnvironmentWithAtoiRules) {
  CreateSyncEvent(true);
  EXPECT_EQ(120000, TimeoutAfterAttach(nullptr));
  EXPECT_EQ(120000, TimeoutAfterAttach("0"));
  EXPECT_EQ(120000, TimeoutAfterAttach("-5"));
  EXPECT_EQ(120000, TimeoutAfterAttach("abc"));
  EXPECT_EQ(120000, TimeoutAfterAttach(""));
  EXPECT_EQ(5000, TimeoutAfterAttach("5000"));
  EXPECT_EQ(5000, TimeoutAfterAttach(nullptr));  // unset: unchanged
  EXPECT_EQ(250, TimeoutAfterAttach("250ms"));
  EXPECT_EQ(77, TimeoutAfterAttach("  +77"));
  EXPECT_EQ(2147483647, TimeoutAfterAttach("99999999999999"));
  EXPECT_EQ(120000, TimeoutAfterAttach("-99999999999999"));
}

TEST_F(ApplicationObjectTest, WithoutTheEventAttachAnswersSFalseAndLeavesTheTimeout) {
  ::SetEnvironmentVariableA(kTimeoutVariable, "300");
  EXPECT_EQ(S_FALSE, app_->AttachAppObject(page_));
  EXPECT_TRUE(Attachment().IsAttached());
  EXPECT_EQ(120000, Attachment().SyncTimeout());
  EXPECT_EQ(0, ErrorCode(app_.Get()));

  FakeScriptObject* script = NewScriptObject();
  page_->SetMethod(L"GetService", ReturnsObject(script));
  ComPtr<IVadunaService> service;
  EXPECT_EQ(S_FALSE, CallGetService(service.GetAddressOf()));  // at once: nothing to wait for
  EXPECT_EQ(nullptr, service);
  EXPECT_TRUE(page_->InvocationsOf(L"GetService").empty());
  EXPECT_EQ(0, ErrorCode(app_.Get()));
}

TEST_F(ApplicationObjectTest, GetServiceWaitsForTheReadinessEvent) {
  FakeScriptObject* script = NewScriptObject();
  page_->SetMethod(L"GetService", ReturnsObject(script));
  CreateSyncEvent(false);
  ::SetEnvironmentVariableA(kTimeoutVariable, "300");
  ASSERT_EQ(S_OK, app_->AttachAppObject(page_));
  {
    SCOPED_TRACE("unsignalled: times out without calling the script");
    const ULONGLONG start = ::GetTickCount64();
    ComPtr<IVadunaService> service;
    EXPECT_EQ(S_FALSE, CallGetService(service.GetAddressOf()));
    EXPECT_GE(::GetTickCount64() - start, 250u);
    EXPECT_EQ(nullptr, service);
    EXPECT_TRUE(page_->InvocationsOf(L"GetService").empty());
    EXPECT_EQ(0, ErrorCode(app_.Get()));
  }
  {
    SCOPED_TRACE("signalled: calls the script");
    ::SetEvent(readyEvent_.get());
    ComPtr<IVadunaService> service;
    EXPECT_EQ(S_OK, CallGetService(service.GetAddressOf()));
    EXPECT_NE(nullptr, service);
    EXPECT_EQ(1u, page_->InvocationsOf(L"GetService").size());
  }
}

}  // namespace
}  // namespace vaduna::test
