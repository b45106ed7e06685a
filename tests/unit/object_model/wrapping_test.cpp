// Wrapping of script objects: the owner rule's counts, handles that name a
// wrapper, handles that must be refused, and wrappers left to their clients.
#include <thread>

#include "tests/support/object_fixture.h"
#include "vaduna_contract.h"

namespace vaduna::test {
namespace {

class WrappingTest : public ObjectsTest {
 protected:
  void SetUp() override {
    ObjectsTest::SetUp();
    CreateSyncEvent(true);  // signalled: the page is ready
    page_ = NewFake();
    app_ = NewApplication();
    ASSERT_EQ(S_OK, app_->AttachAppObject(page_));
  }
  void TearDown() override {
    app_.Reset();
    ObjectsTest::TearDown();
  }

  ComPtr<IVadunaService> GetService() {
    ComPtr<IVadunaService> service;
    BSTR name = ::SysAllocString(L"Orders");
    EXPECT_EQ(S_OK, app_->GetService(name, service.GetAddressOf()));
    ::SysFreeString(name);
    return service;
  }

  FakeScriptObject* page_ = nullptr;
  ComPtr<IVadunaHTMLApplication> app_;
};

TEST_F(WrappingTest, RepeatedGetServiceHandsOutOneWrapperThatHoldsItsOwnerWhileClientsHoldIt) {
  FakeScriptObject* script = NewScriptObject();
  page_->SetMethod(L"GetService", ReturnsObject(script));
  ASSERT_EQ(1, CountOf(app_.Get()));

  ComPtr<IVadunaService> first = GetService();
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(2, CountOf(first.Get()));  // client and owner list
  EXPECT_EQ(2, CountOf(app_.Get()));   // the wrapper holds its owner
  EXPECT_NE(0, HandleOf(*script));
  EXPECT_EQ(2, script->RefCount());  // fixture and script link

  ComPtr<IVadunaService> second = GetService();
  EXPECT_EQ(first.Get(), second.Get());
  EXPECT_EQ(3, CountOf(first.Get()));
  EXPECT_EQ(2, CountOf(app_.Get()));

  second.Reset();
  ScriptWrapper* wrapper = ServerObjectOf(first.Get());
  EXPECT_EQ(1u, first.Reset());  // parked: only the owner list holds it
  EXPECT_EQ(1, wrapper->RefCount());
  EXPECT_EQ(1, CountOf(app_.Get()));
  EXPECT_EQ(2, TestModule().LockCount());

  // Handed out again from the parked state.
  ComPtr<IVadunaService> again = GetService();
  EXPECT_EQ(wrapper, ServerObjectOf(again.Get()));
  EXPECT_EQ(2, CountOf(app_.Get()));
}

TEST_F(WrappingTest, LastReleaseOfAWrapperDestroysTheOwnerItKeptAliveAndReturnsOne) {
  FakeScriptObject* script = NewScriptObject();
  page_->SetMethod(L"GetService", ReturnsObject(script));
  ComPtr<IVadunaService> service = GetService();
  ASSERT_EQ(2, TestModule().LockCount());

  EXPECT_EQ(1u, app_.Get()->Release());  // kept alive by the client-held wrapper
  app_.Detach();
  EXPECT_EQ(2, TestModule().LockCount());

  // Gives back the owner, whose destruction destroys the wrapper in this call.
  EXPECT_EQ(1u, service.Get()->Release());
  service.Detach();
  EXPECT_EQ(0, TestModule().LockCount());
  EXPECT_EQ(0, HandleOf(*script));
}

TEST_F(WrappingTest, OnUnloadOrphansClientHeldWrappersAndDestroysParkedOnes) {
  FakeScriptObject* heldScript = NewScriptObject();
  FakeScriptObject* parkedScript = NewScriptObject();
  page_->SetMethod(L"GetService", ReturnsObject(heldScript));
  ComPtr<IVadunaService> held = GetService();
  page_->SetMethod(L"GetService", ReturnsObject(parkedScript));
  GetService();  // released at once: parked
  ASSERT_EQ(3, TestModule().LockCount());
  ASSERT_EQ(2, CountOf(app_.Get()));

  ASSERT_EQ(S_OK, app_->OnUnload());
  EXPECT_EQ(2, TestModule().LockCount());  // the parked wrapper is gone
  EXPECT_EQ(0, HandleOf(*parkedScript));
  EXPECT_EQ(1, CountOf(held.Get()));  // the client alone
  EXPECT_EQ(nullptr, OwnerOf(held.Get()));
  EXPECT_EQ(1, CountOf(app_.Get()));  // the orphan gave its owner back

  app_.Reset();  // the owner goes; the orphan never reaches it again
  EXPECT_EQ(1, TestModule().LockCount());
  INT code = -1;
  EXPECT_EQ(S_OK, held->GetLastErrCode(&code));
  held->AddRef();
  EXPECT_EQ(1u, held->Release());
  held.Reset();
  EXPECT_EQ(0, TestModule().LockCount());
  EXPECT_EQ(0, HandleOf(*heldScript));
}

TEST_F(WrappingTest, HandlesThatNameNoLiveWrapperOfThisScriptObjectAreRefused) {
  FakeScriptObject* script = NewScriptObject();
  page_->SetMethod(L"GetService", ReturnsObject(script));

  {
    SCOPED_TRACE("a forged number");
    script->SetProperty(vaduna::contract::kHandleMember, I4(0x5A5A1234));
    ComPtr<IVadunaService> service = GetService();
    ASSERT_NE(nullptr, service);
    EXPECT_EQ(2, CountOf(service.Get()));
    EXPECT_NE(0x5A5A1234, HandleOf(*script));
  }
  {
    SCOPED_TRACE("the id of a destroyed wrapper");
    const LONG stale = HandleOf(*script);
    ASSERT_EQ(S_OK, app_->OnUnload());  // destroys the parked wrapper, which writes 0
    ASSERT_EQ(0, HandleOf(*script));
    ASSERT_EQ(1, TestModule().LockCount());
    ASSERT_EQ(S_OK, app_->AttachAppObject(page_));
    script->SetProperty(vaduna::contract::kHandleMember, I4(stale));
    ComPtr<IVadunaService> service = GetService();
    ASSERT_NE(nullptr, service);
    EXPECT_EQ(2, CountOf(service.Get()));
    EXPECT_NE(stale, HandleOf(*script));
  }
  {
    SCOPED_TRACE("the id of a live wrapper of another script object");
    ComPtr<IVadunaService> original = GetService();
    const LONG live = HandleOf(*script);
    FakeScriptObject* other = NewScriptObject();
    other->SetProperty(vaduna::contract::kHandleMember, I4(live));
    page_->SetMethod(L"GetService", ReturnsObject(other));
    ComPtr<IVadunaService> service = GetService();
    EXPECT_NE(original.Get(), service.Get());
    EXPECT_EQ(2, CountOf(original.Get()));  // untouched
    EXPECT_EQ(live, HandleOf(*script));
    EXPECT_NE(live, HandleOf(*other));
  }
  {
    SCOPED_TRACE("the id of a live wrapper of another kind for the same script object");
    FakeScriptObject* shared = NewScriptObject();
    page_->SetMethod(L"NewPropertySet", ReturnsObject(shared));
    ComPtr<IVadunaPropertySet> set;
    ASSERT_EQ(S_OK, app_->NewPropertySet(set.GetAddressOf()));
    const LONG setHandle = HandleOf(*shared);
    page_->SetMethod(L"GetService", ReturnsObject(shared));
    ComPtr<IVadunaService> service = GetService();
    ASSERT_NE(nullptr, service);
    EXPECT_EQ(2, CountOf(set.Get()));  // untouched
    EXPECT_NE(setHandle, HandleOf(*shared));
  }
}

TEST_F(WrappingTest, AScriptObjectWithoutTheHandleMemberGetsItThroughIDispatchEx) {
  FakeScriptObject* script = NewFake();
  page_->SetMethod(L"GetService", ReturnsObject(script));
  ComPtr<IVadunaService> service = GetService();
  ASSERT_TRUE(script->HasMember(vaduna::contract::kHandleMember));
  EXPECT_NE(0, HandleOf(*script));

  bool ensured = false;
  for (const CallRecord& call : script->Calls()) {
    if (call.kind == CallRecord::GetDispIdEnsure) {
      EXPECT_EQ(vaduna::contract::kHandleMember, call.name);
      EXPECT_EQ(fdexNameEnsure, call.flags);
      ensured = true;
    }
  }
  EXPECT_TRUE(ensured);
  EXPECT_EQ(service.Get(), GetService().Get());
}

TEST_F(WrappingTest, AScriptObjectThatCannotTakeTheHandleIsBoundButNotFoundAgain) {
  FakeScriptObject* script = NewFake(/*dispatchEx=*/false);
  page_->SetMethod(L"GetService", ReturnsObject(script));
  ComPtr<IVadunaService> first = GetService();
  ASSERT_NE(nullptr, first);
  EXPECT_TRUE(ServerObjectOf(first.Get())->Script());
  EXPECT_EQ(2, CountOf(first.Get()));
  EXPECT_FALSE(script->HasMember(vaduna::contract::kHandleMember));

  ComPtr<IVadunaService> second = GetService();
  EXPECT_NE(first.Get(), second.Get());
  EXPECT_EQ(3, script->RefCount());  // one script link each
}

TEST_F(WrappingTest, EveryNewPropertySetIsANewWrapperAndAnEmptyAnswerGivesOneWithoutScript) {
  FakeScriptObject* script = NewScriptObject();
  page_->SetMethod(L"NewPropertySet", ReturnsObject(script));
  ComPtr<IVadunaPropertySet> first, second;
  ASSERT_EQ(S_OK, app_->NewPropertySet(first.GetAddressOf()));
  ASSERT_EQ(S_OK, app_->NewPropertySet(second.GetAddressOf()));
  EXPECT_NE(first.Get(), second.Get());
  EXPECT_EQ(2, CountOf(first.Get()));
  EXPECT_EQ(2, CountOf(second.Get()));

  page_->SetMethodResult(L"NewPropertySet", Empty());
  ComPtr<IVadunaPropertySet> unbound;
  ASSERT_EQ(S_OK, app_->NewPropertySet(unbound.GetAddressOf()));
  ASSERT_NE(nullptr, unbound);
  EXPECT_FALSE(ServerObjectOf(unbound.Get())->Script());
  EXPECT_EQ(1, CountOf(unbound.Get()));  // not in the owner's list
  EXPECT_EQ(nullptr, OwnerOf(unbound.Get()));
}

TEST_F(WrappingTest, BindingAnOwnerToAClientCreatedSetTakesTheOwnerAtOnce) {
  FakeScriptObject* script = NewScriptObject();
  ComPtr<IVadunaPropertySet> set;
  ASSERT_EQ(S_OK, CreateObjectInstance<PropertySetObject>(nullptr, IID_PPV_ARGS(&set), TestContext()));
  ComPtr<IVadunaPropertySet> secondClientReference = set;
  ScriptWrapper* wrapper = ServerObjectOf(set.Get());
  auto* owner = static_cast<ApplicationObject*>(ServerObjectOf(app_.Get()));

  EXPECT_EQ(S_OK, wrapper->BindScriptObject(owner, set.Get(), script, 0));
  EXPECT_EQ(3, wrapper->RefCount());
  EXPECT_EQ(2, CountOf(app_.Get()));
  secondClientReference.Reset();
  EXPECT_EQ(2, CountOf(app_.Get()));
  set.Reset();
  EXPECT_EQ(1, CountOf(app_.Get()));
  EXPECT_EQ(1, wrapper->RefCount());
}

TEST_F(WrappingTest, BindingRefusesNullArgumentsAndChangesNothing) {
  FakeScriptObject* script = NewScriptObject();
  ComPtr<IVadunaPropertySet> set;
  ASSERT_EQ(S_OK, CreateObjectInstance<PropertySetObject>(nullptr, IID_PPV_ARGS(&set), TestContext()));
  ScriptWrapper* wrapper = ServerObjectOf(set.Get());
  auto* owner = static_cast<ApplicationObject*>(ServerObjectOf(app_.Get()));
  EXPECT_EQ(E_POINTER, wrapper->BindScriptObject(nullptr, set.Get(), script, 0));
  EXPECT_EQ(E_POINTER, wrapper->BindScriptObject(owner, nullptr, script, 0));
  EXPECT_EQ(E_POINTER, wrapper->BindScriptObject(owner, set.Get(), nullptr, 0));
  EXPECT_FALSE(wrapper->Script());
  EXPECT_EQ(1, wrapper->RefCount());
  EXPECT_EQ(0, HandleOf(*script));
  EXPECT_TRUE(script->Calls().empty());
}

TEST_F(WrappingTest, ServerObjectFromInterfaceRecognisesOnlyThisServersObjects) {
  ScriptWrapper* object = reinterpret_cast<ScriptWrapper*>(0xdeadbeef);
  FakeScriptObject* clientsOwn = NewFake();
  EXPECT_EQ(E_NOINTERFACE, ServerObjectFromInterface(clientsOwn, &object));
  EXPECT_EQ(nullptr, object);
  EXPECT_EQ(E_POINTER, ServerObjectFromInterface(app_.Get(), nullptr));
  EXPECT_EQ(S_OK, ServerObjectFromInterface(app_.Get(), &object));
  EXPECT_EQ(ObjectKind::Application, object->Kind());
}

TEST_F(WrappingTest, ConcurrentGetServiceAndReleaseKeepTheCountsBalanced) {
  FakeScriptObject* script = NewScriptObject();
  page_->SetMethod(L"GetService", ReturnsObject(script));
  ComPtr<IVadunaService> parked = GetService();
  ScriptWrapper* wrapper = ServerObjectOf(parked.Get());
  parked.Reset();

  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this] {
      ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      for (int i = 0; i < 200; ++i) {
        ComPtr<IVadunaService> service = GetService();
        ComPtr<IVadunaService> copy = service;
      }
      ::CoUninitialize();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(1, wrapper->RefCount());
  EXPECT_EQ(1, CountOf(app_.Get()));
  EXPECT_EQ(2, TestModule().LockCount());
}

}  // namespace
}  // namespace vaduna::test
