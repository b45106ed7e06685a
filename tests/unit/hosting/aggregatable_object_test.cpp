#include "hosting/aggregatable_object.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/unit/hosting/test_object.h"

namespace vaduna {
namespace {

using testing::g_cleanUp;
using testing::TestObject;

void* const kSentinel = reinterpret_cast<void*>(static_cast<uintptr_t>(0xdeadbeef));

// A controlling object that counts and records what the contained object forwards.
class CountingOuter : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    queried.push_back(iid);
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count; }
  ULONG STDMETHODCALLTYPE Release() override { return --count; }
  ULONG count = 1;
  std::vector<IID> queried;
};

template <class I>
I* Query(IUnknown* from, REFIID iid) {
  void* out = kSentinel;
  EXPECT_EQ(from->QueryInterface(iid, &out), S_OK);
  return static_cast<I*>(out);
}

class ObjectBaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_cleanUp = {};
    locksBefore_ = Module().LockCount();
  }
  LONG locksBefore_ = 0;
};

TEST_F(ObjectBaseTest, QueryInterfaceHandsOutThreePointersOverOneCount) {
  IUnknown* unknown = nullptr;
  ASSERT_EQ(CreateObjectInstance<TestObject>(nullptr, IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
  auto* object = static_cast<TestObject*>(static_cast<IVadunaService*>(static_cast<IDispatch*>(unknown)));
  IUnknown* dual = static_cast<IVadunaService*>(object);
  EXPECT_EQ(unknown, dual);
  EXPECT_EQ(object->RefCount(), 1);

  EXPECT_EQ(Query<IUnknown>(dual, IID_IDispatch), dual);
  EXPECT_EQ(Query<IUnknown>(dual, IID_IVadunaService), dual);
  auto* serverObject = Query<IServerObject>(dual, IID_IServerObject);
  auto* errorInfo = Query<ISupportErrorInfo>(dual, IID_ISupportErrorInfo);
  EXPECT_EQ(static_cast<void*>(serverObject), static_cast<void*>(object));  // pointer 1 starts the object
  EXPECT_NE(static_cast<void*>(errorInfo), static_cast<void*>(serverObject));
  EXPECT_NE(static_cast<void*>(errorInfo), static_cast<void*>(dual));
  EXPECT_EQ(object->RefCount(), 5);

  // IUnknown from pointer 1 or 2 is still pointer 3; every AddRef and Release is on the one count.
  EXPECT_EQ(Query<IUnknown>(serverObject, IID_IUnknown), dual);
  EXPECT_EQ(Query<IUnknown>(errorInfo, IID_IUnknown), dual);
  EXPECT_EQ(object->RefCount(), 7);
  EXPECT_EQ(serverObject->AddRef(), 8u);
  EXPECT_EQ(errorInfo->Release(), 7u);

  EXPECT_EQ(serverObject->GetServerObject(), static_cast<void*>(static_cast<AggregatableObject*>(object)));
  EXPECT_EQ(object->RefCount(), 7);

  for (int i = 0; i < 3; ++i) errorInfo->Release();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(dual->Release(), static_cast<ULONG>(3 - i));
  EXPECT_EQ(g_cleanUp.calls, 0);
  EXPECT_EQ(serverObject->Release(), 0u);
  EXPECT_EQ(g_cleanUp.calls, 1);
}

TEST_F(ObjectBaseTest, QueryInterfaceFailuresLeaveTheCount) {
  IVadunaService* dual = nullptr;
  ASSERT_EQ(CreateObjectInstance<TestObject>(nullptr, IID_IVadunaService, reinterpret_cast<void**>(&dual)), S_OK);
  auto* object = static_cast<TestObject*>(dual);

  for (const IID* iid : {&IID_IVadunaHTMLApplication, &IID_IClassFactory, &IID_IDispatchEx, &IID_IMarshal}) {
    void* out = kSentinel;
    EXPECT_EQ(dual->QueryInterface(*iid, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
  }
  EXPECT_EQ(dual->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(object->RefCount(), 1);
  dual->Release();
}

TEST_F(ObjectBaseTest, ErrorInfoIsSupportedForTheOwnInterfaceOnly) {
  ISupportErrorInfo* errorInfo = nullptr;
  ASSERT_EQ(CreateObjectInstance<TestObject>(nullptr, IID_ISupportErrorInfo, reinterpret_cast<void**>(&errorInfo)),
            S_OK);
  EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_IVadunaService), S_OK);
  EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
  EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_IVadunaHTMLApplication), S_FALSE);
  errorInfo->Release();
}

TEST_F(ObjectBaseTest, PlainObjectGivesItsLockBackBeforeCleanUp) {
  IUnknown* unknown = nullptr;
  ASSERT_EQ(CreateObjectInstance<TestObject>(nullptr, IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
  EXPECT_EQ(Module().LockCount(), locksBefore_ + 1);
  unknown->Release();
  EXPECT_EQ(g_cleanUp.calls, 1);
  EXPECT_EQ(g_cleanUp.lockCount, locksBefore_);
  EXPECT_EQ(static_cast<ULONG>(g_cleanUp.objectCount), 0xC0000001u);
  EXPECT_EQ(Module().LockCount(), locksBefore_);
}

TEST_F(ObjectBaseTest, CreationForAnUnansweredInterfaceDestroysTheObject) {
  void* out = kSentinel;
  EXPECT_EQ(CreateObjectInstance<TestObject>(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(g_cleanUp.calls, 1);
  EXPECT_EQ(Module().LockCount(), locksBefore_);
  EXPECT_EQ(CreateObjectInstance<TestObject>(nullptr, IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(Module().LockCount(), locksBefore_);
}

TEST_F(ObjectBaseTest, AggregatedObjectForwardsItsTablesToTheControllingObject) {
  CountingOuter outer;
  IUnknown* inner = nullptr;
  ASSERT_EQ(CreateObjectInstance<TestObject>(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
  auto* aggregate = static_cast<Aggregated<TestObject>*>(inner);
  EXPECT_EQ(aggregate->RefCount(), 1);
  EXPECT_EQ(outer.count, 1u);

  // The non-delegating part answers IUnknown itself, on its own count.
  EXPECT_EQ(Query<IUnknown>(inner, IID_IUnknown), inner);
  EXPECT_EQ(aggregate->RefCount(), 2);
  EXPECT_EQ(inner->Release(), 1u);
  void* out = kSentinel;
  EXPECT_EQ(inner->QueryInterface(IID_IClassFactory, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(inner->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

  // Other interfaces come from the contained tables; their reference goes to the controlling object.
  auto* dual = Query<IVadunaService>(inner, IID_IVadunaService);
  EXPECT_NE(static_cast<IUnknown*>(dual), inner);
  EXPECT_EQ(outer.count, 2u);
  EXPECT_EQ(aggregate->RefCount(), 1);
  EXPECT_EQ(dual->AddRef(), 3u);
  EXPECT_EQ(dual->Release(), 2u);
  EXPECT_EQ(aggregate->RefCount(), 1);

  out = kSentinel;
  EXPECT_EQ(dual->QueryInterface(IID_IDispatch, &out), E_NOINTERFACE);  // the outer's answer
  ASSERT_EQ(outer.queried.size(), 1u);
  EXPECT_TRUE(::IsEqualGUID(outer.queried[0], IID_IDispatch));
  EXPECT_EQ(dual->Release(), 1u);
  EXPECT_EQ(aggregate->RefCount(), 1);

  inner->Release();
  EXPECT_EQ(g_cleanUp.calls, 1);
  EXPECT_EQ(outer.count, 1u);
}

TEST_F(ObjectBaseTest, AggregatedObjectGivesItsLockBackBeforeCleanUp) {
  CountingOuter outer;
  IUnknown* inner = nullptr;
  ASSERT_EQ(CreateObjectInstance<TestObject>(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
  g_cleanUp.aggregate = static_cast<Aggregated<TestObject>*>(inner);
  EXPECT_EQ(Module().LockCount(), locksBefore_ + 1);
  EXPECT_EQ(inner->Release(), 0u);
  EXPECT_EQ(g_cleanUp.calls, 1);
  EXPECT_EQ(g_cleanUp.lockCount, locksBefore_);
  EXPECT_EQ(static_cast<ULONG>(g_cleanUp.objectCount), 0xC0000001u);
  EXPECT_EQ(Module().LockCount(), locksBefore_);
  EXPECT_EQ(outer.count, 1u);
  EXPECT_TRUE(outer.queried.empty());
}

}  // namespace
}  // namespace vaduna
