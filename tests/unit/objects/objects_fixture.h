// Fixture of the object tests: counting script fakes that must come back to
// the test's own reference, a server lock count back at 0, and a fresh shared
// attachment for every test.
#pragma once

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <vector>

#include "object_model/application_object.h"
#include "object_model/property_set_object.h"
#include "object_model/server_object_base.h"
#include "object_model/service_object.h"
#include "object_model/shared_attachment.h"
#include "hosting/object_base.h"
#include "hosting/server_module.h"
#include "tests/support/fake_script_object.h"

namespace vaduna::test {

using Microsoft::WRL::ComPtr;

class ObjectsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SharedAttachment::Instance().ResetForTesting();
    ASSERT_EQ(0, Module().LockCount());
  }

  void TearDown() override {
    // An attachment never unloaded keeps its reference until process end.
    SharedAttachment::Instance().ResetForTesting();
    for (size_t i = 0; i < fakes_.size(); ++i) EXPECT_EQ(1, fakes_[i]->RefCount()) << "fake #" << i;
    EXPECT_EQ(0, Module().LockCount());
    fakes_.clear();
  }

  // A fake whose one reference the fixture holds until the end of the test.
  FakeScriptObject* NewFake(bool dispatchEx = true) {
    fakes_.push_back(FakeScriptObject::Create(dispatchEx));
    return fakes_.back().Get();
  }

  // A script service or property set that already carries the handle member.
  FakeScriptObject* NewScriptObject(bool dispatchEx = true) {
    FakeScriptObject* fake = NewFake(dispatchEx);
    fake->SetProperty(L"VdnaCOMObjHnd", I4(0));
    return fake;
  }

  // member answers with object (a new reference per call); the fake keeps none.
  static void ReturnObject(FakeScriptObject& fake, const wchar_t* member, IDispatch* object) {
    fake.SetMethod(member, [object](const std::vector<VariantValue>&, VARIANT* result) {
      result->vt = VT_DISPATCH;
      result->pdispVal = object;
      if (object != nullptr) object->AddRef();
      return S_OK;
    });
  }

  static ComPtr<IVadunaHTMLApplication> NewApplication() {
    ComPtr<IVadunaHTMLApplication> app;
    EXPECT_EQ(S_OK, CreateObjectInstance<ApplicationObject>(nullptr, IID_IVadunaHTMLApplication,
                                                           reinterpret_cast<void**>(app.GetAddressOf())));
    return app;
  }

  static ServerObjectBase* ObjectOf(IUnknown* iface) {
    ServerObjectBase* object = nullptr;
    EXPECT_EQ(S_OK, ServerObjectFromInterface(iface, &object));
    return object;
  }

  static LONG CountOf(IUnknown* iface) { return ObjectOf(iface)->RefCount(); }

  static LONG HandleOf(const FakeScriptObject& fake) {
    const VariantValue value = fake.PropertyValue(L"VdnaCOMObjHnd");
    return value.vt() == VT_I4 ? value.get().lVal : -1;
  }

 private:
  std::vector<ComPtr<FakeScriptObject>> fakes_;
};

}  // namespace vaduna::test
