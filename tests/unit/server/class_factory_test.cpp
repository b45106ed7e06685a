// Class objects and the class table: creation per activation, aggregation,
// the server lock, and registration with the runtime in table order.
#include <objsafe.h>

#include "hosting/class_factory.h"
#include "server/server_classes.h"
#include "tests/support/object_fixture.h"

namespace vaduna::test {
namespace {

class ClassFactoryTest : public ObjectsTest {
 protected:
  static ComPtr<IClassFactory> NewFactory(InstanceCreator creator = &CreateApplication) {
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(S_OK, CreateClassObject(creator, IID_PPV_ARGS(&factory)));
    return factory;
  }
};

TEST_F(ClassFactoryTest, EveryCreateInstanceMakesANewObjectHoldingTheServer) {
  ComPtr<IClassFactory> factory = NewFactory();
  EXPECT_EQ(0, Module().LockCount());  // a class object alone does not hold the server
  ComPtr<IVadunaHTMLApplication> first, second;
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_PPV_ARGS(&first)));
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_PPV_ARGS(&second)));
  EXPECT_NE(first.Get(), second.Get());
  EXPECT_EQ(1, CountOf(first.Get()));
  EXPECT_EQ(2, Module().LockCount());
  first.Reset();
  second.Reset();
  EXPECT_EQ(0, Module().LockCount());
}

TEST_F(ClassFactoryTest, CreateInstanceChecksItsOutPointerAndTheInterface) {
  ComPtr<IClassFactory> factory = NewFactory();
  EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IUnknown, nullptr));
  void* out = reinterpret_cast<void*>(0xdeadbeef);
  EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IClassFactory, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(0, Module().LockCount());  // the object made for it is gone again
}

TEST_F(ClassFactoryTest, AggregationIsOfferedThroughIUnknownOnly) {
  ComPtr<IClassFactory> factory = NewFactory(&CreatePropertySet);
  FakeScriptObject* outer = NewFake();
  {
    SCOPED_TRACE("any other interface with a controlling object");
    void* out = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(outer, IID_IDispatch, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(0, Module().LockCount());
  }
  {
    SCOPED_TRACE("IUnknown gives the non-delegating part");
    ComPtr<IUnknown> inner;
    ASSERT_EQ(S_OK, factory->CreateInstance(outer, IID_PPV_ARGS(&inner)));
    EXPECT_EQ(1, Module().LockCount());
    IVadunaPropertySet* dual = nullptr;
    ASSERT_EQ(S_OK, inner->QueryInterface(IID_IVadunaPropertySet, reinterpret_cast<void**>(&dual)));
    EXPECT_NE(static_cast<IUnknown*>(dual), inner.Get());
    EXPECT_EQ(2, outer->RefCount());  // the reference went to the controlling object
    dual->Release();
    EXPECT_EQ(1, outer->RefCount());
    inner.Reset();
    EXPECT_EQ(0, Module().LockCount());
  }
}

TEST_F(ClassFactoryTest, AClassObjectAnswersIUnknownAndIClassFactoryOnly) {
  ComPtr<IClassFactory> factory = NewFactory();
  ComPtr<IUnknown> unknown;
  EXPECT_EQ(S_OK, factory.As(&unknown));
  EXPECT_EQ(static_cast<IUnknown*>(factory.Get()), unknown.Get());
  void* out = reinterpret_cast<void*>(0xdeadbeef);
  EXPECT_EQ(E_NOINTERFACE, factory->QueryInterface(IID_IDispatch, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(E_NOINTERFACE, factory->QueryInterface(IID_IClassFactory2, &out));
  EXPECT_EQ(E_POINTER, factory->QueryInterface(IID_IUnknown, nullptr));
  EXPECT_EQ(E_POINTER, CreateClassObject(&CreateApplication, IID_IUnknown, nullptr));
  out = reinterpret_cast<void*>(0xdeadbeef);
  EXPECT_EQ(E_NOINTERFACE, CreateClassObject(&CreateApplication, IID_IDispatch, &out));
  EXPECT_EQ(nullptr, out);
}

TEST_F(ClassFactoryTest, LockServerMovesTheServerLockCount) {
  ComPtr<IClassFactory> factory = NewFactory();
  EXPECT_EQ(S_OK, factory->LockServer(TRUE));
  EXPECT_EQ(S_OK, factory->LockServer(TRUE));
  EXPECT_EQ(2, Module().LockCount());
  EXPECT_EQ(S_OK, factory->LockServer(FALSE));
  EXPECT_EQ(S_OK, factory->LockServer(FALSE));
  EXPECT_EQ(0, Module().LockCount());
}

TEST_F(ClassFactoryTest, AnUnlockWithoutAClientLockIsIgnored) {
  ASSERT_TRUE(Module().CreateShutdownEvent());
  const HANDLE shutdown = Module().ShutdownEvent();
  auto signalled = [shutdown] { return ::WaitForSingleObject(shutdown, 0) == WAIT_OBJECT_0; };
  ComPtr<IClassFactory> factory = NewFactory();
  {
    SCOPED_TRACE("no lock held");
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(0, Module().LockCount());
    EXPECT_FALSE(signalled());
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(1, Module().LockCount());
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(0, Module().LockCount());
    EXPECT_TRUE(signalled());
  }
  {
    SCOPED_TRACE("an object alive");
    ComPtr<IVadunaHTMLApplication> app;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_PPV_ARGS(&app)));
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));  // one more than taken
    EXPECT_EQ(1, Module().LockCount());           // the object's own lock
    EXPECT_EQ(0, Module().ClientLocks());
    EXPECT_FALSE(signalled());
    app.Reset();
    EXPECT_EQ(0, Module().LockCount());
    EXPECT_TRUE(signalled());
  }
}

// Rows of a table used for registration order.
int g_thirdRowCalls = 0;
HRESULT FailingClassObjectCreator(InstanceCreator, REFIID, void** out) {
  *out = nullptr;
  return E_OUTOFMEMORY;
}
HRESULT CountingClassObjectCreator(InstanceCreator creator, REFIID iid, void** out) {
  ++g_thirdRowCalls;
  return CreateClassObject(creator, iid, out);
}

TEST_F(ClassFactoryTest, RegistrationStopsAtTheFirstFailingRowAndKeepsCookiesOnRevoke) {
  static const CLSID kFirst = {0x4e1b7c20, 0x1f0a, 0x4c4b, {0x9a, 0x11, 0x3c, 0x55, 0x7d, 0x10, 0x20, 0x01}};
  static const CLSID kSecond = {0x4e1b7c20, 0x1f0a, 0x4c4b, {0x9a, 0x11, 0x3c, 0x55, 0x7d, 0x10, 0x20, 0x02}};
  static const CLSID kThird = {0x4e1b7c20, 0x1f0a, 0x4c4b, {0x9a, 0x11, 0x3c, 0x55, 0x7d, 0x10, 0x20, 0x03}};
  ClassEntry table[] = {
      {&kFirst, nullptr, &CreateClassObject, &CreateApplication, nullptr, 0, nullptr,
       nullptr, nullptr},
      {&kSecond, nullptr, &FailingClassObjectCreator, &CreateService, nullptr, 0,
       nullptr, nullptr, nullptr},
      {&kThird, nullptr, &CountingClassObjectCreator, &CreateService, nullptr, 0,
       nullptr, nullptr, nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr},
  };
  g_thirdRowCalls = 0;
  EXPECT_EQ(E_OUTOFMEMORY, RegisterClassObjects(table, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE));
  EXPECT_NE(0u, table[0].cookie);
  EXPECT_EQ(0u, table[1].cookie);
  EXPECT_EQ(0u, table[2].cookie);
  EXPECT_EQ(0, g_thirdRowCalls);

  const DWORD cookie = table[0].cookie;
  EXPECT_EQ(S_OK, RevokeClassObjects(table));
  EXPECT_EQ(cookie, table[0].cookie);
  EXPECT_EQ(0, Module().LockCount());
}

TEST_F(ClassFactoryTest, TheServerTableListsTheThreeClassesInOrder) {
  const ClassEntry* table = ServerClassTable();
  ASSERT_TRUE(::IsEqualGUID(CLSID_VadunaHTMLApplication, *table[0].clsid));
  ASSERT_TRUE(::IsEqualGUID(CLSID_VadunaPropertySet, *table[1].clsid));
  ASSERT_TRUE(::IsEqualGUID(CLSID_VadunaService, *table[2].clsid));
  EXPECT_EQ(nullptr, table[3].clsid);

  const CategoryEntry* categories = table[0].categoryMap();
  EXPECT_EQ(kCategoryImplemented, categories[0].kind);
  EXPECT_TRUE(::IsEqualGUID(CATID_SafeForScripting, *categories[0].id));
  EXPECT_EQ(kCategoryImplemented, categories[1].kind);
  EXPECT_TRUE(::IsEqualGUID(CATID_SafeForInitializing, *categories[1].id));
  EXPECT_EQ(kCategoryEnd, categories[2].kind);
  EXPECT_EQ(nullptr, table[1].categoryMap);
  EXPECT_EQ(nullptr, table[2].categoryMap);

  for (int row = 0; row < 3; ++row) {
    SCOPED_TRACE(row);
    EXPECT_EQ(0u, table[row].cookie);
    EXPECT_EQ(nullptr, table[row].description());
    ComPtr<IUnknown> object;
    ASSERT_EQ(S_OK, table[row].instanceCreator(nullptr, IID_PPV_ARGS(&object)));
    EXPECT_TRUE(::IsEqualGUID(*table[row].clsid, ServerObjectOf(object.Get())->ClassId()));
  }
}

}  // namespace
}  // namespace vaduna::test
