// Faults that a client or a page can cause, injected through fakes: the
// server's own objects handed back as script objects, a page whose process
// is gone, a page that unloads during the readiness wait or is replaced while
// it answers, two pages, many threads wrapping one script object, referenced
// answers, and page members that call back into the server, on the calling
// thread or on another.
#include <objbase.h>

#include <barrier>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "base/variant_builders.h"
#include "tests/support/object_fixture.h"

namespace vaduna::test {
namespace {

constexpr const char* kTimeoutVariable = contract::kTimeoutVariable;

// The failures that say the page's process is gone.
constexpr HRESULT kDisconnections[] = {
    RPC_E_DISCONNECTED, HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), RPC_E_SERVER_DIED,
    RPC_E_SERVER_DIED_DNE, CO_E_OBJNOTCONNECTED};

class FaultTest : public WrapperTest {
 protected:
  void TearDown() override {
    ::SetEnvironmentVariableA(kTimeoutVariable, nullptr);
    WrapperTest::TearDown();
  }

  // A page attached through app_ (its attaching object), ready.
  FakeScriptObject* AttachPage() {
    CreateSyncEvent(true);
    FakeScriptObject* page = NewFake();
    EXPECT_EQ(app_->AttachAppObject(page), S_OK);
    return page;
  }

  static INT ErrorCode(IUnknown* object) {
    INT code = -1;
    EXPECT_EQ(ServerObjectOf(object)->Errors().GetCode(&code), S_OK);
    return code;
  }

  static HRESULT GetService(IVadunaHTMLApplication* app, const wchar_t* name, IVadunaService** service) {
    UniqueBstr text(::SysAllocString(name));
    return app->GetService(text.get(), service);
  }
};

TEST_F(FaultTest, TheServersOwnObjectsAreNeverAttachedWrappedOrCalled) {
  ComPtr<IVadunaService> ownService = BoundService(NewFake());
  ComPtr<IVadunaPropertySet> ownSet = BoundSet(NewFake());
  ComPtr<IDispatch> own[] = {nullptr, nullptr, nullptr};
  ASSERT_EQ(app_.As(&own[0]), S_OK);
  ASSERT_EQ(ownService.As(&own[1]), S_OK);
  ASSERT_EQ(ownSet.As(&own[2]), S_OK);
  const LONG locks = TestModule().LockCount();

  SCOPED_TRACE("attached");
  for (const ComPtr<IDispatch>& object : own) {
    EXPECT_EQ(app_->AttachAppObject(object.Get()), E_INVALIDARG);
    EXPECT_FALSE(Attachment().IsAttached());
  }
  EXPECT_EQ(ErrorCode(app_.Get()), 0);

  SCOPED_TRACE("handed back by the page");
  FakeScriptObject* page = AttachPage();
  FakeScriptObject* serviceScript = NewFake();
  ComPtr<IVadunaService> service = BoundService(serviceScript);
  ComPtr<IVadunaPropertySet> input = BoundSet(NewFake());
  FakeScriptObject* outputScript = NewFake();
  outputScript->SetMethodResult(L"GetValue", Str(L"before"));
  ComPtr<IVadunaPropertySet> output = BoundSet(outputScript);
  FakeScriptObject* parentScript = NewFake();
  ComPtr<IVadunaPropertySet> parent = BoundSet(parentScript);
  for (const ComPtr<IDispatch>& object : own) {
    page->SetMethod(L"GetService", ReturnsObject(object.Get()));
    page->SetMethod(L"NewPropertySet", ReturnsObject(object.Get()));
    serviceScript->SetMethod(L"InvokeMethod", ReturnsObject(object.Get()));
    parentScript->SetMethod(L"GetChild", ReturnsObject(object.Get()));
    const LONG before = CountOf(object.Get());

    IVadunaService* gotService = reinterpret_cast<IVadunaService*>(0xdeadbeef);
    EXPECT_EQ(GetService(app_.Get(), L"Orders", &gotService), E_INVALIDARG);
    EXPECT_EQ(gotService, nullptr);
    ComPtr<IVadunaPropertySet> gotSet;
    EXPECT_EQ(app_->NewPropertySet(gotSet.GetAddressOf()), E_INVALIDARG);
    EXPECT_EQ(gotSet, nullptr);
    EXPECT_EQ(parent->GetChild(0, gotSet.ReleaseAndGetAddressOf()), E_INVALIDARG);
    EXPECT_EQ(gotSet, nullptr);
    VARIANT_BOOL done = kSentinelBool;
    UniqueBstr method(::SysAllocString(L"Echo"));
    EXPECT_EQ(service->InvokeMethod(method.get(), input.Get(), output.Get(), &done), E_INVALIDARG);
    EXPECT_EQ(done, VARIANT_FALSE);
    UniqueBstr value;
    EXPECT_EQ(output->GetValue(value.put()), S_OK);  // still bound to its own script object
    EXPECT_STREQ(value.get(), L"before");

    // Never called through the bridge: no handle was written into it, and
    // nothing was made or kept.
    EXPECT_EQ(CountOf(object.Get()), before);
  }
  EXPECT_EQ(TestModule().LockCount(), locks + 4);  // the service, three sets, and nothing else
}

TEST_F(FaultTest, APageWhoseProcessIsGoneIsUnloadedAndItsCallersGetARecordedError) {
  ::SetEnvironmentVariableA(kTimeoutVariable, "300");
  for (const HRESULT gone : kDisconnections) {
    SCOPED_TRACE(::testing::Message() << std::hex << gone);
    FakeScriptObject* page = AttachPage();
    FakeScriptObject* serviceScript = NewScriptObject();
    page->SetMethod(L"GetService", ReturnsObject(serviceScript));
    ComPtr<IVadunaService> service;
    ASSERT_EQ(GetService(app_.Get(), L"Orders", service.GetAddressOf()), S_OK);

    // A wrapper's call meets the dead page: the attachment goes as OnUnload
    // would take it, the service is orphaned, and the caller reads 202.
    serviceScript->SetMethodResult(L"Name", Empty(), gone);
    BSTR name = SentinelBstr();
    EXPECT_EQ(service->Name(&name), kDispException);
    EXPECT_EQ(name, SentinelBstr());
    EXPECT_EQ(ErrorCode(service.Get()), 202);
    EXPECT_FALSE(Attachment().IsAttached());
    EXPECT_EQ(OwnerOf(service.Get()), nullptr);

    // The server's handle on the readiness event is closed with it: a page
    // that starts again makes a new event, not the old signalled one.
    readyEvent_.reset();
    UniqueHandle fresh(::CreateEventW(nullptr, TRUE, FALSE, kSyncEventName));
    EXPECT_NE(::GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(::WaitForSingleObject(fresh.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    // Later calls find no page: a clear error, never a call into the dead one.
    page->ClearCalls();
    EXPECT_EQ(app_->Name(&name), kDispException);
    EXPECT_EQ(ErrorCode(app_.Get()), 202);
    EXPECT_TRUE(page->Invocations().empty());
    service.Reset();
  }
}

TEST_F(FaultTest, ACallThatFailedWithoutSayingWhyAsksWhetherThePageIsStillThere) {
  FakeScriptObject* page = AttachPage();
  FakeScriptObject* setScript = NewFake();
  page->SetMethod(L"NewPropertySet", ReturnsObject(setScript));
  ComPtr<IVadunaPropertySet> set;
  ASSERT_EQ(app_->NewPropertySet(set.GetAddressOf()), S_OK);
  setScript->SetMethodResult(L"GetType", Empty(), HRESULT_FROM_WIN32(RPC_S_CALL_FAILED));

  // The page answers a lookup: it lives, and the failure is an ordinary one.
  page->SetMethodResult(L"IsReady", Bool(true));
  UniqueBstr type;
  EXPECT_EQ(set->GetType(type.put()), S_FALSE);
  EXPECT_EQ(ErrorCode(set.Get()), 0);
  EXPECT_TRUE(Attachment().IsAttached());

  // Its process ended during the call: the lookup meets a dead page.
  page->FailLookups(HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_EQ(set->GetType(type.put()), kDispException);
  EXPECT_EQ(ErrorCode(set.Get()), 202);
  EXPECT_FALSE(Attachment().IsAttached());
  page->FailLookups(S_OK);
  set.Reset();
}

TEST_F(FaultTest, OnlyTheCurrentPagesDeathUnloadsItAndOrdinaryFailuresStaySilent) {
  FakeScriptObject* oldPage = AttachPage();
  FakeScriptObject* oldScript = NewScriptObject();
  oldPage->SetMethod(L"GetService", ReturnsObject(oldScript));
  ComPtr<IVadunaService> oldService;
  ASSERT_EQ(GetService(app_.Get(), L"Orders", oldService.GetAddressOf()), S_OK);

  // A new page replaces the old one through another application object.
  ComPtr<IVadunaHTMLApplication> newApp = NewApplication();
  FakeScriptObject* newPage = NewFake();
  newPage->SetMethodResult(L"Name", Str(L"new page"));
  ASSERT_EQ(newApp->AttachAppObject(newPage), S_OK);

  // The old page's objects are dead: their caller gets the error, the new page stays.
  oldScript->SetMethodResult(L"Name", Empty(), RPC_E_DISCONNECTED);
  UniqueBstr name;
  EXPECT_EQ(oldService->Name(name.put()), kDispException);
  EXPECT_EQ(Attachment().CurrentApp().get(), newPage);

  // An ordinary failure of the current page answers S_FALSE and records nothing.
  newPage->SetMethodResult(L"IsReady", Empty(), E_FAIL);
  VARIANT_BOOL ready = kSentinelBool;
  EXPECT_EQ(newApp->IsReady(&ready), S_FALSE);
  EXPECT_EQ(ready, VARIANT_FALSE);
  EXPECT_EQ(ErrorCode(newApp.Get()), 0);
  EXPECT_TRUE(Attachment().IsAttached());

  // Its death through the application object unloads it.
  newPage->SetMethodResult(L"IsReady", Empty(), RPC_E_SERVER_DIED_DNE);
  EXPECT_EQ(newApp->IsReady(&ready), kDispException);
  EXPECT_EQ(ErrorCode(newApp.Get()), 202);
  EXPECT_FALSE(Attachment().IsAttached());
  oldService.Reset();
  newApp.Reset();
}

// Every way an object is wrapped, from a page object whose member replaces
// the page before it answers: the wrapper belongs to the page that answered,
// so its disconnection leaves the live page attached.
TEST_F(FaultTest, AnAnswerFromAPageReplacedBeforeTheBindBelongsToThatPage) {
  using Wrap = std::function<ComPtr<IUnknown>(FakeScriptObject* oldPage, const FakeScriptObject::Method& answer)>;
  const std::pair<const char*, Wrap> paths[] = {
      {"GetService",
       [&](FakeScriptObject* oldPage, const FakeScriptObject::Method& answer) {
         oldPage->SetMethod(L"GetService", answer);
         ComPtr<IVadunaService> service;
         EXPECT_EQ(GetService(app_.Get(), L"Orders", service.GetAddressOf()), S_OK);
         return ComPtr<IUnknown>(service);
       }},
      {"NewPropertySet",
       [&](FakeScriptObject* oldPage, const FakeScriptObject::Method& answer) {
         oldPage->SetMethod(L"NewPropertySet", answer);
         ComPtr<IVadunaPropertySet> set;
         EXPECT_EQ(app_->NewPropertySet(set.GetAddressOf()), S_OK);
         return ComPtr<IUnknown>(set);
       }},
      {"GetChild",
       [&](FakeScriptObject* oldPage, const FakeScriptObject::Method& answer) {
         FakeScriptObject* parentScript = NewScriptObject();
         parentScript->SetMethod(L"GetChild", answer);
         oldPage->SetMethod(L"NewPropertySet", ReturnsObject(parentScript));
         ComPtr<IVadunaPropertySet> parent;
         ComPtr<IVadunaPropertySet> child;
         EXPECT_EQ(app_->NewPropertySet(parent.GetAddressOf()), S_OK);
         EXPECT_EQ(parent->GetChild(0, child.GetAddressOf()), S_OK);
         return ComPtr<IUnknown>(child);
       }},
      {"output of InvokeMethod",
       [&](FakeScriptObject* oldPage, const FakeScriptObject::Method& answer) {
         FakeScriptObject* serviceScript = NewScriptObject();
         serviceScript->SetMethod(L"InvokeMethod", answer);
         oldPage->SetMethod(L"GetService", ReturnsObject(serviceScript));
         oldPage->SetMethod(L"NewPropertySet", ReturnsObject(NewScriptObject()));
         ComPtr<IVadunaService> service;
         ComPtr<IVadunaPropertySet> input;
         ComPtr<IVadunaPropertySet> output = UnboundSet();
         EXPECT_EQ(GetService(app_.Get(), L"Orders", service.GetAddressOf()), S_OK);
         EXPECT_EQ(app_->NewPropertySet(input.GetAddressOf()), S_OK);
         UniqueBstr method(::SysAllocString(L"Query"));
         VARIANT_BOOL done = VARIANT_FALSE;
         EXPECT_EQ(service->InvokeMethod(method.get(), input.Get(), output.Get(), &done), S_OK);
         EXPECT_EQ(done, VARIANT_TRUE);
         return ComPtr<IUnknown>(output);
       }},
  };
  for (const HRESULT gone : {CO_E_OBJNOTCONNECTED, RPC_E_DISCONNECTED}) {
    for (const auto& [name, wrap] : paths) {
      SCOPED_TRACE(::testing::Message() << name << " " << std::hex << gone);
      FakeScriptObject* oldPage = AttachPage();
      ComPtr<IVadunaHTMLApplication> newApp = NewApplication();
      FakeScriptObject* newPage = NewFake();
      newPage->SetMethodResult(L"IsReady", Bool(true));
      newPage->SetMethod(L"GetService", ReturnsObject(NewScriptObject()));
      FakeScriptObject* answered = NewScriptObject();
      answered->SetMethodResult(L"Name", Empty(), gone);
      answered->SetMethodResult(L"GetType", Empty(), gone);
      ComPtr<IUnknown> wrapper = wrap(oldPage, [&](const std::vector<VariantValue>&, VARIANT* result) {
        EXPECT_EQ(newApp->AttachAppObject(newPage), S_OK);  // the page reloads as this one answers
        *result = HeldObject(answered).release();
        return S_OK;
      });
      ASSERT_NE(wrapper, nullptr);

      ComPtr<IVadunaService> service;
      ComPtr<IVadunaPropertySet> set;
      UniqueBstr text;
      const HRESULT failed = SUCCEEDED(wrapper.As(&service)) ? service->Name(text.put()) : [&] {
        EXPECT_EQ(wrapper.As(&set), S_OK);
        return set->GetType(text.put());
      }();
      EXPECT_EQ(failed, kDispException);
      EXPECT_EQ(ErrorCode(wrapper.Get()), 202);
      EXPECT_EQ(Attachment().CurrentApp().get(), newPage);
      VARIANT_BOOL ready = VARIANT_FALSE;
      EXPECT_EQ(newApp->IsReady(&ready), S_OK);
      EXPECT_EQ(ready, VARIANT_TRUE);
      ComPtr<IVadunaService> next;
      EXPECT_EQ(GetService(newApp.Get(), L"Orders", next.GetAddressOf()), S_OK);
      EXPECT_NE(next, nullptr);

      next.Reset();
      service.Reset();
      set.Reset();
      wrapper.Reset();
      EXPECT_EQ(newApp->OnUnload(), S_OK);
    }
  }
}

TEST_F(FaultTest, AnEarlierPagesOnUnloadLeavesThePageThatReplacedItAlone) {
  FakeScriptObject* first = AttachPage();
  ComPtr<IVadunaHTMLApplication> secondApp = NewApplication();
  FakeScriptObject* second = NewFake();
  FakeScriptObject* service = NewScriptObject();
  second->SetMethod(L"GetService", ReturnsObject(service));
  ASSERT_EQ(secondApp->AttachAppObject(second), S_OK);

  EXPECT_EQ(app_->OnUnload(), S_OK);  // the first page goes away late
  EXPECT_EQ(Attachment().CurrentApp().get(), second);
  // The readiness event is still open for the second page: GetService goes through.
  readyEvent_.reset();
  ComPtr<IVadunaService> got;
  EXPECT_EQ(GetService(secondApp.Get(), L"Orders", got.GetAddressOf()), S_OK);
  EXPECT_NE(got, nullptr);
  EXPECT_TRUE(first->Invocations().empty());
  got.Reset();
  EXPECT_EQ(secondApp->OnUnload(), S_OK);
  EXPECT_FALSE(Attachment().IsAttached());
  secondApp.Reset();
}

TEST_F(FaultTest, ASetFromAnEarlierPageFailsTheCallItIsPassedToAndNeverReachesTheLivePage) {
  ASSERT_TRUE(SUCCEEDED(app_->AttachAppObject(NewFake())));
  const ComPtr<IVadunaPropertySet> stale = BoundSet(NewFake());
  FakeScriptObject* livePage = AttachReadyApp();  // the page reloads
  FakeScriptObject* serviceScript = NewFake();
  serviceScript->SetMethod(L"InvokeMethod", [](const std::vector<VariantValue>&, VARIANT*) {
    return CO_E_OBJNOTCONNECTED;  // what the page answers for an object it cannot reach
  });
  FakeScriptObject* setScript = NewFake();
  const ComPtr<IVadunaService> service = BoundService(serviceScript);
  const ComPtr<IVadunaPropertySet> set = BoundSet(setScript);
  const ComPtr<IVadunaPropertySet> fresh = BoundSet(NewFake());
  UniqueBstr method(::SysAllocString(L"Lookup"));

  struct Case {
    const char* name;
    std::function<HRESULT()> call;
    IUnknown* callee;
  };
  VARIANT_BOOL done = VARIANT_FALSE;
  long index = 0;
  const Case cases[] = {
      {"input of InvokeMethod", [&] { return service->InvokeMethod(method.get(), stale.Get(), fresh.Get(), &done); },
       service.Get()},
      {"output of InvokeMethod", [&] { return service->InvokeMethod(method.get(), fresh.Get(), stale.Get(), &done); },
       service.Get()},
      {"child of AddChild", [&] { return set->AddChild(stale.Get(), &index); }, set.Get()},
      {"child of InsertChildAt", [&] { return set->InsertChildAt(stale.Get(), 0, &done); }, set.Get()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.call(), kDispException);
    INT code = 0;
    EXPECT_EQ(ServerObjectOf(c.callee)->Errors().GetCode(&code), S_OK);
    EXPECT_EQ(code, static_cast<INT>(kMsgOutOfScope));
    EXPECT_EQ(Attachment().CurrentApp().get(), livePage);
  }
  EXPECT_TRUE(serviceScript->InvocationsOf(L"InvokeMethod").empty());
  EXPECT_TRUE(setScript->InvocationsOf(L"AddChild").empty());
  EXPECT_TRUE(setScript->InvocationsOf(L"InsertChildAt").empty());
}

TEST_F(FaultTest, CallsReadThePageAfterTheReadinessWait) {
  // The first page is attached but not ready; calls wait for the event.
  CreateSyncEvent(false);
  FakeScriptObject* oldPage = NewFake();
  ASSERT_EQ(app_->AttachAppObject(oldPage), S_OK);
  FakeScriptObject* oldServiceScript = NewFake();
  ComPtr<IVadunaService> oldService = BoundService(oldServiceScript);
  ComPtr<IVadunaPropertySet> input = BoundSet(NewFake());
  ComPtr<IVadunaPropertySet> output = BoundSet(NewFake());

  FakeScriptObject* newServiceScript = NewScriptObject();
  FakeScriptObject* newPage = NewFake();
  newPage->SetMethod(L"GetService", ReturnsObject(newServiceScript));
  ComPtr<IVadunaHTMLApplication> newApp = NewApplication();

  HRESULT getService = E_UNEXPECTED;
  HRESULT invoke = E_UNEXPECTED;
  ComPtr<IVadunaService> got;
  std::thread waiting([&] {
    getService = GetService(app_.Get(), L"Orders", got.GetAddressOf());
  });
  std::thread invoking([&] {
    UniqueBstr method(::SysAllocString(L"Query"));
    invoke = oldService->InvokeMethod(method.get(), input.Get(), output.Get(), nullptr);
  });
  ::Sleep(200);  // both are waiting for the event
  // The page reloads meanwhile: the old one unloads, the new one attaches and becomes ready.
  EXPECT_EQ(app_->OnUnload(), S_OK);
  EXPECT_EQ(newApp->AttachAppObject(newPage), S_OK);
  ::SetEvent(readyEvent_.get());
  waiting.join();
  invoking.join();

  EXPECT_EQ(getService, S_OK);  // answered by the page that is there now
  EXPECT_NE(got, nullptr);
  EXPECT_EQ(newPage->InvocationsOf(L"GetService").size(), 1u);
  EXPECT_TRUE(oldPage->Invocations().empty());
  EXPECT_EQ(invoke, kDispException);  // its page is gone: never called
  EXPECT_TRUE(oldServiceScript->InvocationsOf(L"InvokeMethod").empty());
  EXPECT_EQ(ErrorCode(oldService.Get()), 202);
  got.Reset();
  newApp.Reset();
}

TEST_F(FaultTest, ManyThreadsMakingTheFirstWrapOfOneScriptObjectGetOneWrapper) {
  constexpr int kThreads = 8;
  FakeScriptObject* page = AttachPage();
  FakeScriptObject* serviceScript = NewScriptObject();
  // Slow lookups widen the window between finding nothing and making a wrapper.
  page->SetMethod(L"GetService", [serviceScript](const std::vector<VariantValue>&, VARIANT* result) {
    ::Sleep(5);
    *result = HeldObject(serviceScript).release();
    return S_OK;
  });
  FakeScriptObject* parentScript = NewFake();
  FakeScriptObject* childScript = NewScriptObject();
  parentScript->SetMethod(L"GetChild", ReturnsObject(childScript));
  ComPtr<IVadunaPropertySet> parent = BoundSet(parentScript);
  const LONG locks = TestModule().LockCount();

  std::vector<ComPtr<IVadunaService>> services(kThreads);
  std::vector<ComPtr<IVadunaPropertySet>> children(kThreads);
  std::barrier start(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      EXPECT_EQ(GetService(app_.Get(), L"Orders", services[i].GetAddressOf()), S_OK);
      EXPECT_EQ(parent->GetChild(0, children[i].GetAddressOf()), S_OK);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int i = 1; i < kThreads; ++i) {
    EXPECT_EQ(services[i], services[0]);
    EXPECT_EQ(children[i], children[0]);
  }
  EXPECT_EQ(TestModule().LockCount(), locks + 2);  // one service and one child wrapper
  services.clear();
  children.clear();
  (void)page;
}

TEST_F(FaultTest, ADuplicatesCleanUpLeavesTheHandleOfTheWrapperThatLives) {
  FakeScriptObject* script = NewScriptObject();
  ComPtr<IVadunaHTMLApplication> otherOwner = NewApplication();
  ComPtr<IVadunaPropertySet> older = UnboundSet();
  auto* const other = static_cast<ApplicationObject*>(ServerObjectOf(otherOwner.Get()));
  ASSERT_EQ(ServerObjectOf(older.Get())->BindScriptObject(other, older.Get(), script, 0), S_OK);
  ComPtr<IVadunaPropertySet> live = BoundSet(script);  // the handle now names this one
  const LONG liveHandle = HandleOf(*script);
  older.Reset();
  otherOwner.Reset();  // the older wrapper's owner goes and takes it along
  EXPECT_EQ(HandleOf(*script), liveHandle);
  EXPECT_EQ(FoundWrapper(script, ObjectKind::PropertySet).Get(), static_cast<IUnknown*>(live.Get()));
  live.Reset();
  app_.Reset();  // and now the live one goes with its owner
  EXPECT_EQ(HandleOf(*script), 0);
}

TEST_F(FaultTest, AddChildAnswersTheIndexOfTheChildItAddedWhileOthersChangeTheChildren) {
  constexpr int kThreads = 6;
  constexpr int kAddsPerThread = 10;
  FakeScriptObject* parentScript = NewFake();
  std::mutex mutex;
  std::vector<IDispatch*> children;  // the script's children, not counted
  parentScript->SetMethod(L"AddChild", [&](const std::vector<VariantValue>& args, VARIANT* result) {
    {
      std::lock_guard hold(mutex);
      children.push_back(args[0].get().pdispVal);
    }
    ::Sleep(1);  // another adder may run before the count is asked
    *result = BoolValue(true);
    return S_OK;
  });
  parentScript->SetMethod(L"GetChildCount", [&](const std::vector<VariantValue>&, VARIANT* result) {
    std::lock_guard hold(mutex);
    *result = Int32Value(static_cast<LONG>(children.size()));
    return S_OK;
  });
  ComPtr<IVadunaPropertySet> parent = BoundSet(parentScript);
  std::vector<FakeScriptObject*> childScripts;
  std::vector<ComPtr<IVadunaPropertySet>> childSets;
  for (int i = 0; i < kThreads * kAddsPerThread; ++i) {
    childScripts.push_back(NewFake());
    childSets.push_back(BoundSet(childScripts.back()));
  }

  std::barrier start(kThreads);
  std::vector<std::thread> threads;
  std::vector<long> answered(childSets.size(), -1);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int k = 0; k < kAddsPerThread; ++k) {
        const size_t i = static_cast<size_t>(t * kAddsPerThread + k);
        EXPECT_EQ(parent->AddChild(childSets[i].Get(), &answered[i]), S_OK);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (size_t i = 0; i < childSets.size(); ++i) {
    ASSERT_GE(answered[i], 0);
    ASSERT_LT(static_cast<size_t>(answered[i]), children.size());
    EXPECT_EQ(children[answered[i]], static_cast<IDispatch*>(childScripts[i])) << "child " << i;
  }
  parentScript->ClearCalls();
}

// Counts what the task allocator frees, to see a referenced answer's storage go.
class FreeWatch final : public ComObject<IMallocSpy> {
 public:
  SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T size) override { return size; }
  void* STDMETHODCALLTYPE PostAlloc(void* actual) override { return actual; }
  void* STDMETHODCALLTYPE PreFree(void* request, BOOL) override {
    std::lock_guard hold(mutex_);
    freed_.insert(request);
    return request;
  }
  void STDMETHODCALLTYPE PostFree(BOOL) override {}
  SIZE_T STDMETHODCALLTYPE PreRealloc(void* request, SIZE_T size, void** newRequest, BOOL) override {
    *newRequest = request;
    return size;
  }
  void* STDMETHODCALLTYPE PostRealloc(void* actual, BOOL) override { return actual; }
  void* STDMETHODCALLTYPE PreGetSize(void* request, BOOL) override { return request; }
  SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T actual, BOOL) override { return actual; }
  void* STDMETHODCALLTYPE PreDidAlloc(void* request, BOOL) override { return request; }
  int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) override { return actual; }
  void STDMETHODCALLTYPE PreHeapMinimize() override {}
  void STDMETHODCALLTYPE PostHeapMinimize() override {}

  bool Freed(void* block) {
    std::lock_guard hold(mutex_);
    return freed_.count(block) != 0;
  }

 private:
  std::mutex mutex_;
  std::set<void*> freed_;
};

// A referenced answer as the marshaller hands one over: the referenced
// storage comes from the task allocator and belongs to the receiver.
template <class T>
T* Referent(T value) {
  T* block = static_cast<T*>(::CoTaskMemAlloc(sizeof(T)));
  *block = value;
  return block;
}

// value behind depth levels of VT_BYREF | VT_VARIANT, each level's storage
// from the task allocator.
VARIANT Chain(VARIANT value, int depth, std::vector<void*>* referents) {
  for (int level = 0; level < depth; ++level) {
    VARIANT* const referent = Referent(value);
    referents->push_back(referent);
    value = EmptyValue();
    value.vt = VT_BYREF | VT_VARIANT;
    value.pvarVal = referent;
  }
  return value;
}

TEST_F(FaultTest, ReferencedAnswersAreReadThroughAndTheirStorageFreed) {
  // The runtime keeps a spy until every block allocated under it is freed:
  // it outlives the test.
  static FreeWatch* const spy = MakeObject<FreeWatch>().Detach();
  FreeWatch& watch = *spy;
  ASSERT_EQ(::CoRegisterMallocSpy(&watch), S_OK);
  FakeScriptObject* script = NewFake();
  ComPtr<IVadunaPropertySet> set = BoundSet(script);
  std::vector<void*> referents;

  SCOPED_TRACE("a string");
  BSTR text = ::SysAllocString(L"referenced");
  script->SetMethod(L"GetType", [&](const std::vector<VariantValue>&, VARIANT* result) {
    result->vt = VT_BYREF | VT_BSTR;
    result->pbstrVal = Referent(text);
    referents.push_back(result->pbstrVal);
    return S_OK;
  });
  BSTR type = nullptr;
  EXPECT_EQ(set->GetType(&type), S_OK);
  EXPECT_EQ(type, text);  // handed on, neither copied nor lost
  ::SysFreeString(type);

  SCOPED_TRACE("a variant holding a string, and a number");
  script->SetMethod(L"GetValue", [&](const std::vector<VariantValue>&, VARIANT* result) {
    VARIANT inner = BorrowedString(::SysAllocString(L"inner"));
    result->vt = VT_BYREF | VT_VARIANT;
    result->pvarVal = Referent(inner);
    referents.push_back(result->pvarVal);
    return S_OK;
  });
  UniqueBstr value;
  EXPECT_EQ(set->GetValue(value.put()), S_OK);
  EXPECT_STREQ(value.get(), L"inner");
  script->SetMethod(L"GetPropertyCount", [&](const std::vector<VariantValue>&, VARIANT* result) {
    result->vt = VT_BYREF | VT_I4;
    result->plVal = Referent(LONG{42});
    referents.push_back(result->plVal);
    return S_OK;
  });
  long count = 0;
  EXPECT_EQ(set->GetPropertyCount(&count), S_OK);
  EXPECT_EQ(count, 42);

  SCOPED_TRACE("an object");
  FakeScriptObject* child = NewFake();
  script->SetMethod(L"GetChild", [&](const std::vector<VariantValue>&, VARIANT* result) {
    child->AddRef();
    result->vt = VT_BYREF | VT_DISPATCH;
    result->ppdispVal = Referent(static_cast<IDispatch*>(child));
    referents.push_back(result->ppdispVal);
    return S_OK;
  });
  ComPtr<IVadunaPropertySet> childSet;
  EXPECT_EQ(set->GetChild(0, childSet.GetAddressOf()), S_OK);
  EXPECT_NE(childSet, nullptr);
  childSet.Reset();

  for (const int depth : {2, 3, 4}) {
    SCOPED_TRACE(::testing::Message() << "a string and an object behind " << depth << " references");
    script->SetMethod(L"GetValue", [&](const std::vector<VariantValue>&, VARIANT* result) {
      *result = Chain(BorrowedString(::SysAllocString(L"deep")), depth, &referents);
      return S_OK;
    });
    EXPECT_EQ(set->GetValue(value.put()), S_OK);
    EXPECT_STREQ(value.get(), L"deep");
    script->SetMethod(L"GetChild", [&](const std::vector<VariantValue>&, VARIANT* result) {
      *result = Chain(HeldObject(child).release(), depth, &referents);
      return S_OK;
    });
    EXPECT_EQ(set->GetChild(0, childSet.GetAddressOf()), S_OK);
    EXPECT_NE(childSet, nullptr);  // the fixture checks that child's count comes back
    childSet.Reset();
  }

  for (void* referent : referents) EXPECT_TRUE(watch.Freed(referent));
  const HRESULT revoked = ::CoRevokeMallocSpy();  // deferred while blocks are out
  EXPECT_TRUE(revoked == S_OK || revoked == E_ACCESSDENIED) << std::hex << revoked;
}

TEST_F(FaultTest, UnusableAnswersGiveTheRulesFailureNeverACrash) {
  FakeScriptObject* script = NewFake();
  ComPtr<IVadunaPropertySet> set = BoundSet(script);
  SAFEARRAY* array = ::SafeArrayCreateVector(VT_BSTR, 0, 2);
  VARIANT arrayAnswer = EmptyValue();
  arrayAnswer.vt = VT_ARRAY | VT_BSTR;
  arrayAnswer.parray = array;
  VARIANT strange = EmptyValue();
  strange.vt = 0x7F;  // no type a VARIANT knows
  for (const VARIANT& answer : {arrayAnswer, strange}) {
    SCOPED_TRACE(answer.vt);
    script->SetMethodResult(L"GetType", VariantValue(answer));
    script->SetMethodResult(L"GetChildCount", VariantValue(answer));
    script->SetMethodResult(L"GetChild", VariantValue(answer));
    BSTR type = SentinelBstr();
    EXPECT_EQ(set->GetType(&type), S_OK);
    EXPECT_EQ(type, nullptr);
    long count = kSentinelLong;
    EXPECT_EQ(set->GetChildCount(&count), S_FALSE);
    EXPECT_EQ(count, kSentinelLong);
    ComPtr<IVadunaPropertySet> child;
    EXPECT_EQ(set->GetChild(0, child.GetAddressOf()), S_FALSE);
  }
  ::SafeArrayDestroy(array);
}

TEST_F(FaultTest, PageMembersThatCallBackNeitherDeadlockNorUnbalanceCounts) {
  FakeScriptObject* page = AttachPage();
  FakeScriptObject* serviceScript = NewScriptObject();
  ComPtr<IVadunaHTMLApplication> client = NewApplication();

  SCOPED_TRACE("GetService from inside the page's GetService");
  bool nested = false;
  ComPtr<IVadunaService> inner;
  page->SetMethod(L"GetService", [&](const std::vector<VariantValue>&, VARIANT* result) {
    if (!nested) {
      nested = true;
      EXPECT_EQ(GetService(client.Get(), L"Orders", inner.GetAddressOf()), S_OK);
    }
    *result = HeldObject(serviceScript).release();
    return S_OK;
  });
  ComPtr<IVadunaService> outer;
  EXPECT_EQ(GetService(client.Get(), L"Orders", outer.GetAddressOf()), S_OK);
  EXPECT_EQ(outer, inner);  // one wrapper for the one script service

  SCOPED_TRACE("OnUnload from inside InvokeMethod, which also drops the output set");
  page->SetMethod(L"NewPropertySet", ReturnsObject(NewFake()));
  ComPtr<IVadunaPropertySet> input;
  ASSERT_EQ(client->NewPropertySet(input.GetAddressOf()), S_OK);
  FakeScriptObject* answer = NewFake();
  IVadunaPropertySet* output = UnboundSet().Detach();  // the page takes over this reference
  serviceScript->SetMethod(L"InvokeMethod", [&](const std::vector<VariantValue>&, VARIANT* result) {
    EXPECT_EQ(app_->OnUnload(), S_OK);
    output->Release();  // the wrapper being bound loses its last client reference
    *result = HeldObject(answer).release();
    return S_OK;
  });
  UniqueBstr method(::SysAllocString(L"Query"));
  VARIANT_BOOL done = kSentinelBool;
  EXPECT_EQ(outer->InvokeMethod(method.get(), input.Get(), output, &done), S_OK);
  EXPECT_EQ(done, VARIANT_TRUE);
  EXPECT_FALSE(Attachment().IsAttached());
  outer.Reset();
  inner.Reset();
  input.Reset();
  client.Reset();
  serviceScript->ClearCalls();
}

// A page object that runs a hook when its last reference goes, as a page
// whose teardown calls back into the server.
class HookedPage final : public ComObject<IDispatch> {
 public:
  explicit HookedPage(std::function<void()> hook) : hook_(std::move(hook)) {}
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

 private:
  void FinalRelease() noexcept override {
    hook_();
    delete this;
  }
  std::function<void()> hook_;
};

// A page host that serves the server's call on one thread and makes its own
// calls into the server on another, waiting for them: nothing the server
// holds across its call into the page, or across a release, may be wanted by
// that callback. The wait is bounded, so a deadlock fails the case instead of
// hanging the run.
TEST_F(FaultTest, ACallbackOnAnotherThreadNeitherDeadlocksNorUnbalancesCounts) {
  UniqueHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::thread callback;
  bool inTime = false;
  const auto onAnotherThread = [&](std::function<void()> work) {
    ::ResetEvent(done.get());
    callback = std::thread([work = std::move(work), event = done.get()] {
      work();
      ::SetEvent(event);
    });
    inTime = ::WaitForSingleObject(done.get(), 5000) == WAIT_OBJECT_0;
  };

  SCOPED_TRACE("a child change of a set whose duplicate wrapper goes meanwhile");
  FakeScriptObject* parentScript = NewScriptObject();
  parentScript->SetMethodResult(L"GetChildCount", I4(1));
  ComPtr<IVadunaPropertySet> child = BoundSet(NewFake());
  ComPtr<IVadunaPropertySet> parent = BoundSet(parentScript);
  const LONG locks = TestModule().LockCount();
  const LONG parentCount = CountOf(parent.Get());
  long index = 0;
  VARIANT_BOOL changed = VARIANT_FALSE;
  const std::pair<const wchar_t*, std::function<HRESULT()>> changes[] = {
      {L"AddChild", [&] { return parent->AddChild(child.Get(), &index); }},
      {L"InsertChildAt", [&] { return parent->InsertChildAt(child.Get(), 0, &changed); }},
      {L"RemoveChild", [&] { return parent->RemoveChild(0, &changed); }},
  };
  for (const auto& [member, change] : changes) {
    SCOPED_TRACE(::testing::Message() << member);
    ComPtr<IVadunaHTMLApplication> otherOwner = NewApplication();
    ComPtr<IVadunaPropertySet> duplicate = UnboundSet();
    auto* const other = static_cast<ApplicationObject*>(ServerObjectOf(otherOwner.Get()));
    ASSERT_EQ(ServerObjectOf(duplicate.Get())->BindScriptObject(other, duplicate.Get(), parentScript, 0), S_OK);
    parentScript->SetMethod(member, [&](const std::vector<VariantValue>&, VARIANT* result) {
      onAnotherThread([&] {
        duplicate.Reset();
        otherOwner.Reset();  // takes the duplicate along: its clean-up meets the parent's gate
      });
      *result = BoolValue(true);
      return S_OK;
    });
    EXPECT_EQ(change(), S_OK);
    callback.join();
    EXPECT_TRUE(inTime);
    EXPECT_EQ(TestModule().LockCount(), locks);
    EXPECT_EQ(CountOf(parent.Get()), parentCount);
  }

  SCOPED_TRACE("an attach that gives back a page whose teardown unloads through the attaching object");
  ComPtr<IVadunaHTMLApplication> firstOwner = NewApplication();
  {
    ComPtr<HookedPage> page =
        MakeObject<HookedPage>([&] { onAnotherThread([&] { EXPECT_EQ(app_->OnUnload(), S_OK); }); });
    EXPECT_TRUE(SUCCEEDED(firstOwner->AttachAppObject(page.Get())));
  }
  firstOwner.Reset();  // the page stays attached, the record its only holder
  EXPECT_TRUE(SUCCEEDED(app_->AttachAppObject(NewFake())));
  callback.join();
  EXPECT_TRUE(inTime);
  EXPECT_FALSE(Attachment().IsAttached());
  parentScript->ClearCalls();
}

}  // namespace
}  // namespace vaduna::test
