#include "tests/unit/property_set/wrapper_fixture.h"

#include "object_model/property_set_object.h"
#include "object_model/service_object.h"
#include "object_model/shared_attachment.h"
#include "hosting/object_base.h"
#include "hosting/server_module.h"

namespace vaduna::test {

FakeScriptObject::Method ReturnsObject(IDispatch* object) {
  return [object](const std::vector<VariantValue>&, VARIANT* result) {
    object->AddRef();
    result->vt = VT_DISPATCH;
    result->pdispVal = object;
    return S_OK;
  };
}

LONG HandleOf(FakeScriptObject* script) {
  const VariantValue value = script->PropertyValue(L"VdnaCOMObjHnd");
  return value.vt() == VT_I4 ? value.get().lVal : 0;
}

ComPtr<IUnknown> FoundWrapper(IDispatch* script, ObjectKind kind) {
  ComPtr<IUnknown> found;
  *found.GetAddressOf() = FindWrapper(script, kind);
  return found;
}

ServerObjectBase* ServerObjectOf(IUnknown* iface) {
  ServerObjectBase* object = nullptr;
  EXPECT_EQ(ServerObjectFromInterface(iface, &object), S_OK);
  return object;
}

void WrapperTest::SetUp() {
  SharedAttachment::Instance().ResetForTesting();
  ASSERT_EQ(CreateObjectInstance<ApplicationObject>(nullptr, IID_IVadunaHTMLApplication,
                                                    reinterpret_cast<void**>(app_.GetAddressOf())),
            S_OK);
  owner_ = static_cast<ApplicationObject*>(ServerObjectOf(app_.Get()));
}

void WrapperTest::TearDown() {
  app_.Reset();
  owner_ = nullptr;
  SharedAttachment::Instance().ResetForTesting();
  readyEvent_.reset();
  for (const auto& fake : fakes_) {
    fake->ClearCalls();  // recorded arguments hold references of their own
    EXPECT_EQ(fake->RefCount(), 1) << "a script object's references are out of balance";
  }
  fakes_.clear();
  EXPECT_EQ(Module().LockCount(), 0) << "a server object is still alive";
}

FakeScriptObject* WrapperTest::NewFake(bool dispatchEx) {
  fakes_.push_back(FakeScriptObject::Create(dispatchEx));
  return fakes_.back().Get();
}

ComPtr<IVadunaPropertySet> WrapperTest::BoundSet(FakeScriptObject* script) {
  ComPtr<IVadunaPropertySet> set = UnboundSet();
  EXPECT_EQ(ServerObjectOf(set.Get())->BindScriptObject(owner_, set.Get(), script), S_OK);
  return set;
}

ComPtr<IVadunaService> WrapperTest::BoundService(FakeScriptObject* script) {
  ComPtr<IVadunaService> service = UnboundService();
  EXPECT_EQ(ServerObjectOf(service.Get())->BindScriptObject(owner_, service.Get(), script), S_OK);
  return service;
}

ComPtr<IVadunaPropertySet> WrapperTest::UnboundSet() {
  ComPtr<IVadunaPropertySet> set;
  EXPECT_EQ(CreateObjectInstance<PropertySetObject>(nullptr, IID_PPV_ARGS(&set)), S_OK);
  return set;
}

ComPtr<IVadunaService> WrapperTest::UnboundService() {
  ComPtr<IVadunaService> service;
  EXPECT_EQ(CreateObjectInstance<ServiceObject>(nullptr, IID_PPV_ARGS(&service)), S_OK);
  return service;
}

FakeScriptObject* WrapperTest::AttachReadyApp() {
  readyEvent_.reset(::CreateEventW(nullptr, TRUE, TRUE, L"VWEAutoSynchroEvt"));
  EXPECT_TRUE(readyEvent_);
  ::SetEvent(readyEvent_.get());
  FakeScriptObject* scriptApp = NewFake();
  scriptApp->SetMethod(L"NewPropertySet", [this](const std::vector<VariantValue>&, VARIANT* result) {
    FakeScriptObject* made = NewFake();
    made->SetMethodResult(L"DecodeFromString", Empty());
    newSets_.push_back(made);
    made->AddRef();
    result->vt = VT_DISPATCH;
    result->pdispVal = made;
    return S_OK;
  });
  EXPECT_EQ(SharedAttachment::Instance().Attach(scriptApp), S_OK);
  return scriptApp;
}

}  // namespace vaduna::test
