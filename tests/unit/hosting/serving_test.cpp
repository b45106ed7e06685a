// Serving as the entry point runs it: what it registers and revokes, when it
// returns, and with which result.
#include "hosting/serving.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "hosting/class_factory.h"
#include "tests/unit/hosting/test_object.h"

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

// The objects count their clean-ups on the process's module, so serving runs on it.
TEST(Serving, ServingEndsOnlyAfterTheCleanUpsInFlight) {
  ClassEntry table[] = {
      {&kFirstClass, nullptr, &CreateClassObject, &CreateObjectInstance<testing::TestObject>, nullptr, 0, nullptr,
       nullptr, nullptr},
      {},
  };
  ServerModule& module = Module();
  MSG message;
  ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // the queue the quit message goes to
  const DWORD mainThread = ::GetCurrentThreadId();
  module.SetMainThreadId(mainThread);

  testing::g_cleanUp = {};
  HANDLE release = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  testing::g_cleanUp.holdUntil = release;
  IUnknown* object = nullptr;
  ASSERT_EQ(CreateObjectInstance<testing::TestObject>(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)),
            S_OK);
  std::thread releaser([object] { object->Release(); });  // its clean-up stays in flight

  // A client reaches the class while it is served, then the loop is ended;
  // the clean-up goes on well past the pause after the loop.
  std::atomic<HRESULT> reached{E_FAIL};
  Clock::time_point releasedAt;
  std::thread client([&] {
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const auto deadline = Clock::now() + milliseconds(5000);
    while (FAILED(reached = LookUpFirstClass()) && Clock::now() < deadline) ::Sleep(20);
    ::PostThreadMessageW(mainThread, WM_QUIT, 0, 0);
    ::Sleep(ServerModule::kPauseAfterLoopMs + 1000);
    releasedAt = Clock::now();
    ::SetEvent(release);
    ::CoUninitialize();
  });

  EXPECT_EQ(Serve(module, table), S_OK);
  const auto returnedAt = Clock::now();
  EXPECT_EQ(module.CleanUpsInFlight(), 0);
  client.join();
  releaser.join();
  EXPECT_EQ(reached.load(), S_OK);
  EXPECT_GE(returnedAt, releasedAt);
  EXPECT_EQ(LookUpFirstClass(), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(testing::g_cleanUp.calls, 1);
  EXPECT_EQ(module.LockCount(), 0);
  ::CloseHandle(release);
}

}  // namespace
}  // namespace vaduna
