// What the three classes answer alike, run once per class: null pointers are
// refused before anything else, and an object without a script object behind
// it (an application object with no page attached, a service or property set
// that was never bound) records message 202 and calls nothing.
#include <functional>
#include <string>

#include "tests/support/object_fixture.h"

namespace vaduna::test {
namespace {

// Arguments that reach no script: a name, and a bound set whose script
// object must never be called.
struct Arguments {
  BSTR name;
  IVadunaPropertySet* set;
};

struct ClassCase {
  const char* name;
  // An object of the class with no script object behind it.
  std::function<ComPtr<IUnknown>()> make;
  // Every method that takes a pointer, called with each pointer null in turn:
  // each answers E_POINTER and leaves its other out-parameters untouched.
  std::function<void(IUnknown*, const Arguments&)> callWithNullPointers;
  // Every method that reaches the script, with valid arguments: each answers
  // DISP_E_EXCEPTION and leaves its out-parameters untouched.
  std::function<void(IUnknown*, const Arguments&)> callOutOfScope;
};

template <class Interface>
ComPtr<Interface> As(IUnknown* object) {
  ComPtr<Interface> typed;
  EXPECT_EQ(object->QueryInterface(IID_PPV_ARGS(&typed)), S_OK);
  return typed;
}

const ClassCase kApplication{
    "Application",
    [] { return ComPtr<IUnknown>(NewApplication()); },
    [](IUnknown* object, const Arguments& in) {
      ComPtr<IVadunaHTMLApplication> app = As<IVadunaHTMLApplication>(object);
      EXPECT_EQ(app->Name(nullptr), E_POINTER);
      EXPECT_EQ(app->GetService(nullptr, nullptr), E_POINTER);
      IVadunaService* service = reinterpret_cast<IVadunaService*>(0xdeadbeef);
      EXPECT_EQ(app->GetService(nullptr, &service), E_POINTER);
      EXPECT_EQ(service, reinterpret_cast<IVadunaService*>(0xdeadbeef));
      EXPECT_EQ(app->GetService(in.name, nullptr), E_POINTER);
      EXPECT_EQ(app->NewPropertySet(nullptr), E_POINTER);
      EXPECT_EQ(app->IsReady(nullptr), E_POINTER);
      EXPECT_EQ(app->GetLastErrCode(nullptr), E_POINTER);
      EXPECT_EQ(app->GetLastErrText(nullptr), E_POINTER);
    },
    [](IUnknown* object, const Arguments& in) {
      ComPtr<IVadunaHTMLApplication> app = As<IVadunaHTMLApplication>(object);
      BSTR text = SentinelBstr();
      EXPECT_EQ(app->Name(&text), kDispException);
      EXPECT_EQ(text, SentinelBstr());
      ComPtr<IVadunaService> service;
      EXPECT_EQ(app->GetService(in.name, service.GetAddressOf()), kDispException);
      ComPtr<IVadunaPropertySet> set;
      EXPECT_EQ(app->NewPropertySet(set.GetAddressOf()), kDispException);
    },
};

const ClassCase kService{
    "Service",
    [] { return ComPtr<IUnknown>(UnboundService()); },
    [](IUnknown* object, const Arguments& in) {
      ComPtr<IVadunaService> service = As<IVadunaService>(object);
      EXPECT_EQ(service->Name(nullptr), E_POINTER);
      EXPECT_EQ(service->InvokeMethod(nullptr, in.set, in.set, nullptr), E_POINTER);
      EXPECT_EQ(service->InvokeMethod(in.name, nullptr, in.set, nullptr), E_POINTER);
      EXPECT_EQ(service->InvokeMethod(in.name, in.set, nullptr, nullptr), E_POINTER);
      EXPECT_EQ(service->GetLastErrCode(nullptr), E_POINTER);
      EXPECT_EQ(service->GetLastErrText(nullptr), E_POINTER);
    },
    [](IUnknown* object, const Arguments& in) {
      ComPtr<IVadunaService> service = As<IVadunaService>(object);
      BSTR name = SentinelBstr();
      EXPECT_EQ(service->Name(&name), kDispException);
      EXPECT_EQ(name, SentinelBstr());
      VARIANT_BOOL done = kSentinelBool;
      EXPECT_EQ(service->InvokeMethod(in.name, in.set, in.set, &done), kDispException);
      EXPECT_EQ(done, kSentinelBool);
    },
};

const ClassCase kPropertySet{
    "PropertySet",
    [] { return ComPtr<IUnknown>(UnboundSet()); },
    [](IUnknown* object, const Arguments& in) {
      ComPtr<IVadunaPropertySet> s = As<IVadunaPropertySet>(object);
      VARIANT_BOOL truth = kSentinelBool;
      BSTR text = SentinelBstr();
      EXPECT_EQ(s->AddChild(nullptr, nullptr), E_POINTER);
      EXPECT_EQ(s->AddChild(in.set, nullptr), E_POINTER);
      EXPECT_EQ(s->Copy(nullptr), E_POINTER);
      EXPECT_EQ(s->GetChild(0, nullptr), E_POINTER);
      EXPECT_EQ(s->GetChildCount(nullptr), E_POINTER);
      EXPECT_EQ(s->InsertChildAt(nullptr, 0, &truth), E_POINTER);
      EXPECT_EQ(s->GetPropertyCount(nullptr), E_POINTER);
      EXPECT_EQ(s->GetFirstProperty(nullptr), E_POINTER);
      EXPECT_EQ(s->GetNextProperty(nullptr), E_POINTER);
      EXPECT_EQ(s->GetProperty(nullptr, &text), E_POINTER);
      EXPECT_EQ(s->GetProperty(in.name, nullptr), E_POINTER);
      EXPECT_EQ(s->GetType(nullptr), E_POINTER);
      EXPECT_EQ(s->GetValue(nullptr), E_POINTER);
      EXPECT_EQ(s->PropertyExists(nullptr, &truth), E_POINTER);
      EXPECT_EQ(s->RemoveProperty(nullptr, &truth), E_POINTER);
      EXPECT_EQ(s->SetProperty(nullptr, in.name, &truth), E_POINTER);
      EXPECT_EQ(s->SetProperty(in.name, nullptr, &truth), E_POINTER);
      EXPECT_EQ(s->SetType(nullptr, &truth), E_POINTER);
      EXPECT_EQ(s->SetValue(nullptr, &truth), E_POINTER);
      EXPECT_EQ(s->GetLastErrCode(nullptr), E_POINTER);
      EXPECT_EQ(s->GetLastErrText(nullptr), E_POINTER);
      EXPECT_EQ(truth, kSentinelBool);
      EXPECT_EQ(text, SentinelBstr());
    },
    [](IUnknown* object, const Arguments& in) {
      ComPtr<IVadunaPropertySet> s = As<IVadunaPropertySet>(object);
      UniqueBstr text;
      long number = 0;
      VARIANT_BOOL truth = 0;
      ComPtr<IVadunaPropertySet> out;
      const HRESULT results[] = {
          s->AddChild(in.set, &number),       s->Copy(out.ReleaseAndGetAddressOf()),
          s->GetChild(0, out.ReleaseAndGetAddressOf()), s->GetChildCount(&number),
          s->InsertChildAt(in.set, 0, &truth), s->RemoveChild(0, &truth),
          s->GetPropertyCount(&number),       s->GetFirstProperty(text.put()),
          s->GetNextProperty(text.put()),     s->GetProperty(in.name, text.put()),
          s->GetType(text.put()),             s->GetValue(text.put()),
          s->PropertyExists(in.name, &truth), s->RemoveProperty(in.name, &truth),
          s->Reset(&truth),                   s->SetProperty(in.name, in.name, &truth),
          s->SetType(in.name, &truth),        s->SetValue(in.name, &truth)};
      for (size_t i = 0; i < std::size(results); ++i) EXPECT_EQ(results[i], kDispException) << "method " << i;
    },
};

class CrossClassTest : public WrapperTest, public ::testing::WithParamInterface<const ClassCase*> {
 protected:
  void SetUp() override {
    WrapperTest::SetUp();
    setScript_ = NewFake();
    set_ = BoundSet(setScript_);
    setScript_->ClearCalls();
  }
  void TearDown() override {
    set_.Reset();
    WrapperTest::TearDown();
  }

  // The error state through the interface every class has.
  static INT ErrorCode(IUnknown* object) {
    INT code = -1;
    EXPECT_EQ(ServerObjectOf(object)->Errors().GetCode(&code), S_OK);
    return code;
  }
  static std::wstring ErrorText(IUnknown* object) {
    UniqueBstr text;
    EXPECT_EQ(ServerObjectOf(object)->Errors().GetText(text.put()), S_OK);
    return text ? std::wstring(text.get()) : std::wstring();
  }

  Arguments Args() const { return {name_.get(), set_.Get()}; }

  FakeScriptObject* setScript_ = nullptr;
  ComPtr<IVadunaPropertySet> set_;
  UniqueBstr name_{::SysAllocString(L"Orders")};
};

TEST_P(CrossClassTest, NullPointersAnswerEPointerBeforeTheScopeCheckAndRecordNothing) {
  const ComPtr<IUnknown> object = GetParam()->make();
  GetParam()->callWithNullPointers(object.Get(), Args());
  EXPECT_EQ(ErrorCode(object.Get()), 0);
  EXPECT_EQ(ErrorText(object.Get()), L"");
  EXPECT_TRUE(setScript_->Invocations().empty());
}

TEST_P(CrossClassTest, WithoutAScriptObjectEveryCallRecords202AndCallsNothing) {
  const ComPtr<IUnknown> object = GetParam()->make();
  EXPECT_EQ(ErrorCode(object.Get()), 0);
  GetParam()->callOutOfScope(object.Get(), Args());
  EXPECT_EQ(ErrorCode(object.Get()), 202);
  EXPECT_EQ(ErrorText(object.Get()), L"The Object is out of scope.");
  EXPECT_TRUE(setScript_->Invocations().empty());
}

INSTANTIATE_TEST_SUITE_P(EveryClass, CrossClassTest, ::testing::Values(&kApplication, &kService, &kPropertySet),
                         [](const ::testing::TestParamInfo<const ClassCase*>& info) {
                           return std::string(info.param->name);
                         });

}  // namespace
}  // namespace vaduna::test
