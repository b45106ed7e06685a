#include "tests/support/object_fixture.h"

#include "base/variant_builders.h"
#include "hosting/aggregatable_object.h"
#include "hosting/server_module.h"
#include "vaduna_contract.h"

namespace vaduna::test {
namespace {
ServerContext* g_context = nullptr;
}  // namespace

ServerContext& TestContext() { return *g_context; }

FakeScriptObject::Method ReturnsObject(IDispatch* object) {
  return [object](const std::vector<VariantValue>&, VARIANT* result) {
    *result = HeldObject(object).release();
    return S_OK;
  };
}

ScriptWrapper* ServerObjectOf(IUnknown* iface) {
  ScriptWrapper* object = nullptr;
  EXPECT_EQ(ServerObjectFromInterface(iface, &object), S_OK);
  return object;
}

LONG CountOf(IUnknown* iface) { return ServerObjectOf(iface)->RefCount(); }

ScriptWrapper* OwnerOf(IUnknown* iface) {
  ScriptWrapper* owner = ServerObjectOf(iface)->AcquireOwner();
  if (owner != nullptr) owner->DualPointer()->Release();  // alive while the wrapper holds it
  return owner;
}

LONG HandleOf(const FakeScriptObject& script) {
  const VariantValue value = script.PropertyValue(vaduna::contract::kHandleMember);
  return value.vt() == VT_I4 ? value.get().lVal : -1;
}

ComPtr<IUnknown> FoundWrapper(IDispatch* script, ObjectKind kind) {
  ComPtr<IUnknown> found;
  *found.GetAddressOf() = FindWrapper(TestContext(), script, kind);
  return found;
}

void ObjectsTest::SetUp() {
  server_ = std::make_unique<TestServer>();
  g_context = &server_->context;
}

void ObjectsTest::TearDown() {
  EXPECT_EQ(server_->module.LockCount(), 0) << "a server object is still alive";
  // An attachment never unloaded keeps its reference until its record ends.
  g_context = nullptr;
  server_.reset();
  readyEvent_.reset();
  for (size_t i = 0; i < fakes_.size(); ++i) {
    fakes_[i]->ClearCalls();  // recorded arguments hold references of their own
    EXPECT_EQ(fakes_[i]->RefCount(), 1) << "the references of fake #" << i << " are out of balance";
  }
  fakes_.clear();
}

FakeScriptObject* ObjectsTest::NewFake(bool dispatchEx) {
  fakes_.push_back(FakeScriptObject::Create(dispatchEx));
  return fakes_.back().Get();
}

FakeScriptObject* ObjectsTest::NewScriptObject(bool dispatchEx) {
  FakeScriptObject* fake = NewFake(dispatchEx);
  fake->SetProperty(vaduna::contract::kHandleMember, I4(0));
  return fake;
}

ComPtr<IVadunaHTMLApplication> NewApplication() {
  ComPtr<IVadunaHTMLApplication> app;
  EXPECT_EQ(CreateObjectInstance<ApplicationObject>(nullptr, IID_PPV_ARGS(&app), TestContext()), S_OK);
  return app;
}

ComPtr<IVadunaPropertySet> UnboundSet() {
  ComPtr<IVadunaPropertySet> set;
  EXPECT_EQ(CreateObjectInstance<PropertySetObject>(nullptr, IID_PPV_ARGS(&set), TestContext()), S_OK);
  return set;
}

ComPtr<IVadunaService> UnboundService() {
  ComPtr<IVadunaService> service;
  EXPECT_EQ(CreateObjectInstance<ServiceObject>(nullptr, IID_PPV_ARGS(&service), TestContext()), S_OK);
  return service;
}

void ObjectsTest::CreateSyncEvent(bool signalled) {
  readyEvent_.reset(::CreateEventW(nullptr, TRUE, signalled ? TRUE : FALSE, kSyncEventName));
  ASSERT_TRUE(readyEvent_);
}

void WrapperTest::SetUp() {
  ObjectsTest::SetUp();
  app_ = NewApplication();
  owner_ = static_cast<ApplicationObject*>(ServerObjectOf(app_.Get()));
}

void WrapperTest::TearDown() {
  app_.Reset();
  owner_ = nullptr;
  ObjectsTest::TearDown();
}

ComPtr<IVadunaPropertySet> WrapperTest::BoundSet(FakeScriptObject* script) {
  ComPtr<IVadunaPropertySet> set = UnboundSet();
  EXPECT_EQ(ServerObjectOf(set.Get())->BindScriptObject(owner_, set.Get(), script, Attachment().Generation()), S_OK);
  return set;
}

ComPtr<IVadunaService> WrapperTest::BoundService(FakeScriptObject* script) {
  ComPtr<IVadunaService> service = UnboundService();
  EXPECT_EQ(ServerObjectOf(service.Get())->BindScriptObject(owner_, service.Get(), script, Attachment().Generation()), S_OK);
  return service;
}

FakeScriptObject* WrapperTest::AttachReadyApp() {
  CreateSyncEvent(true);
  FakeScriptObject* scriptApp = NewFake();
  scriptApp->SetMethod(L"NewPropertySet", [this](const std::vector<VariantValue>&, VARIANT* result) {
    FakeScriptObject* made = NewFake();
    made->SetMethodResult(L"DecodeFromString", Empty());
    newSets_.push_back(made);
    *result = HeldObject(made).release();
    return S_OK;
  });
  EXPECT_EQ(Attachment().Attach(scriptApp), S_OK);
  return scriptApp;
}

}  // namespace vaduna::test
