// Serving as the entry point runs it: what it registers and revokes, and
// with which result.
#include "hosting/serving.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <chrono>

#include "hosting/class_factory.h"
#include "tests/unit/host/test_object.h"

namespace vaduna {
namespace {

using Clock = std::chrono::steady_clock;
using Microsoft::WRL::ComPtr;
using std::chrono::milliseconds;

// Classes of these tests only; nothing in the registry names them.
const CLSID kFirstClass = {0x7c0a41e2, 0x5d3b, 0x4f61, {0x8e, 0x27, 0x19, 0xa4, 0x6b, 0x30, 0x52, 0x01}};
const CLSID kSecondClass = {0x7c0a41e2, 0x5d3b, 0x4f61, {0x8e, 0x27, 0x19, 0xa4, 0x6b, 0x30, 0x52, 0x02}};

// A failure the runtime gives when it will not take a class object.
HRESULT RefusedClassObjectCreator(InstanceCreator, REFIID, void** out) {
  *out = nullptr;
  return CO_E_WRONG_SERVER_IDENTITY;
}

// How a client outside the server's code asks the runtime for the first class.
HRESULT LookUpFirstClass() {
  ComPtr<IClassFactory> factory;
  return ::CoGetClassObject(kFirstClass, CLSCTX_LOCAL_SERVER, nullptr, IID_PPV_ARGS(&factory));
}

TEST(Serving, AFailedRegistrationEndsServingWithItsFailure) {
  ClassEntry table[] = {
      {&kFirstClass, nullptr, &CreateClassObject, &CreateObjectInstance<testing::TestObject>, nullptr, 0, nullptr,
       nullptr, nullptr},
      {&kSecondClass, nullptr, &RefusedClassObjectCreator, &CreateObjectInstance<testing::TestObject>, nullptr, 0,
       nullptr, nullptr, nullptr},
      {},
  };
  ServerModule module;
  module.SetMainThreadId(::GetCurrentThreadId());
  const auto start = Clock::now();
  EXPECT_EQ(Serve(module, table), CO_E_WRONG_SERVER_IDENTITY);
  // No message loop and no pause: nothing would end them.
  EXPECT_LT(Clock::now() - start, milliseconds(ServerModule::kPauseAfterLoopMs));
  EXPECT_NE(table[0].cookie, 0u);  // the first row was registered...
  EXPECT_EQ(LookUpFirstClass(), REGDB_E_CLASSNOTREG);  // ...and is revoked again
  EXPECT_EQ(table[1].cookie, 0u);
}

}  // namespace
}  // namespace vaduna
