#include <gtest/gtest.h>
#include <wrl/client.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "hosting/class_factory.h"
#include "hosting/server_module.h"
#include "tests/unit/hosting/test_object.h"

namespace vaduna {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kQuiet{ServerModule::kIdleTimeoutMs};
// A quit must not come before the quiet period (timer granularity aside), and
// should come soon after it on a busy machine.
constexpr milliseconds kEarly{100};
constexpr milliseconds kLate{3000};

// Plays the main thread: owns a message queue and records when WM_QUIT arrives.
class MainThread {
 public:
  MainThread() {
    HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = std::thread([this, ready] {
      MSG message;
      ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // creates the queue
      id_ = ::GetCurrentThreadId();
      ::SetEvent(ready);
      while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
      quitAt_ = Clock::now();
      quit_ = true;
    });
    ::WaitForSingleObject(ready, INFINITE);
    ::CloseHandle(ready);
  }
  ~MainThread() {
    if (!quit_) ::PostThreadMessageW(id_, WM_QUIT, 0, 0);
    thread_.join();
  }
  DWORD Id() const { return id_; }
  // True when WM_QUIT arrived before deadline.
  bool QuitBy(Clock::time_point deadline) {
    while (!quit_ && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(20));
    return quit_;
  }
  Clock::time_point QuitAt() const { return quitAt_; }

 private:
  std::thread thread_;
  DWORD id_ = 0;
  std::atomic<bool> quit_{false};
  Clock::time_point quitAt_;
};

// The module outlives the test when its monitor may still be running.
ServerModule* StartServing(const MainThread& main) {
  auto* module = new ServerModule();
  module->SetMainThreadId(main.Id());
  EXPECT_TRUE(module->CreateShutdownEvent());
  EXPECT_TRUE(module->StartMonitor());
  return module;
}

void ExpectQuitAfterQuietPeriod(MainThread& main, Clock::time_point lastFall) {
  ASSERT_TRUE(main.QuitBy(lastFall + kQuiet + kLate));
  EXPECT_GE(main.QuitAt() - lastFall, kQuiet - kEarly);
}

TEST(IdleMonitor, NeverUsedServerNeverQuits) {
  MainThread main;
  StartServing(main);
  EXPECT_FALSE(main.QuitBy(Clock::now() + kQuiet + milliseconds(700)));
}

TEST(IdleMonitor, NewLockWithinQuietPeriodKeepsServer) {
  MainThread main;
  ServerModule* module = StartServing(main);
  module->Lock();
  module->Unlock();
  const auto fall = Clock::now();
  std::this_thread::sleep_for(milliseconds(1000));
  module->Lock();
  EXPECT_FALSE(main.QuitBy(fall + kQuiet + milliseconds(1500)));

  module->Unlock();
  ExpectQuitAfterQuietPeriod(main, Clock::now());
  delete module;
}

TEST(IdleMonitor, EveryFallToZeroRestartsQuietPeriod) {
  MainThread main;
  ServerModule* module = StartServing(main);
  Clock::time_point lastFall;
  for (int i = 0; i < 3; ++i) {
    if (i != 0) std::this_thread::sleep_for(milliseconds(2000));
    module->Lock();
    module->Unlock();
    lastFall = Clock::now();
  }
  ExpectQuitAfterQuietPeriod(main, lastFall);
  delete module;
}

// A client that gets in between the quiet period and the recheck.
ServerModule* g_lateClientModule = nullptr;
std::atomic<int> g_suspendCalls{0};
HRESULT WINAPI SuspendWhileAClientGetsIn() {
  if (++g_suspendCalls == 1) g_lateClientModule->Lock();
  return S_OK;
}

TEST(IdleMonitor, LockTakenBeforeRecheckKeepsServer) {
  MainThread main;
  g_lateClientModule = new ServerModule();
  ServerModule* module = g_lateClientModule;
  module->SetSuspendFunction(&SuspendWhileAClientGetsIn);
  module->SetMainThreadId(main.Id());
  ASSERT_TRUE(module->CreateShutdownEvent());
  ASSERT_TRUE(module->StartMonitor());
  module->Lock();
  module->Unlock();
  const auto fall = Clock::now();
  while (g_suspendCalls == 0 && Clock::now() < fall + kQuiet + kLate) std::this_thread::sleep_for(milliseconds(20));
  ASSERT_EQ(g_suspendCalls, 1);
  EXPECT_FALSE(main.QuitBy(Clock::now() + milliseconds(500)));

  module->Unlock();
  ExpectQuitAfterQuietPeriod(main, Clock::now());
  EXPECT_EQ(g_suspendCalls, 2);
  delete module;
}

TEST(IdleMonitor, FallToZeroAfterQuitSignalsNoClosedOrReusedHandle) {
  MainThread main;
  ServerModule* module = StartServing(main);
  const HANDLE closed = module->ShutdownEvent();
  module->Lock();
  module->Unlock();
  ExpectQuitAfterQuietPeriod(main, Clock::now());
  EXPECT_EQ(module->ShutdownEvent(), nullptr);

  // Take the closed handle's value for a new event, as a later open in the process would.
  std::vector<HANDLE> events;
  HANDLE reused = nullptr;
  for (int i = 0; i < 64 && reused == nullptr; ++i) {
    events.push_back(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (events.back() == closed) reused = events.back();
  }
  ASSERT_NE(reused, nullptr) << "the closed handle value was not reused";
  module->Lock();
  EXPECT_EQ(module->Unlock(), 0);
  EXPECT_EQ(::WaitForSingleObject(reused, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  for (HANDLE event : events) ::CloseHandle(event);
  delete module;
}


// The monitor's calls to suspend and resume the class objects, in order:
// 'S' for a suspension, 'R' for a resumption.
std::mutex g_seamLock;
std::string g_seamCalls;
// Set by a test whose first suspension lets a late client in.
ServerModule* g_takesLockOnFirstSuspend = nullptr;

void RecordSeam(char call) {
  std::lock_guard<std::mutex> hold(g_seamLock);
  g_seamCalls += call;
}
std::string SeamCalls() {
  std::lock_guard<std::mutex> hold(g_seamLock);
  return g_seamCalls;
}
HRESULT WINAPI RecordSuspend() {
  RecordSeam('S');
  if (ServerModule* module = std::exchange(g_takesLockOnFirstSuspend, nullptr)) module->Lock();
  return S_OK;
}
HRESULT WINAPI RecordResume() {
  RecordSeam('R');
  return S_OK;
}

void StartRecordedMonitor(ServerModule& module, const MainThread& main) {
  module.SetSuspendFunction(&RecordSuspend);
  module.SetResumeFunction(&RecordResume);
  module.SetMainThreadId(main.Id());
  ASSERT_TRUE(module.CreateShutdownEvent());
  ASSERT_TRUE(module.StartMonitor());
}

// Polls condition until it holds or limit has passed; its last answer.
template <class Condition>
bool Within(milliseconds limit, Condition condition) {
  const auto deadline = Clock::now() + limit;
  while (!condition() && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(10));
  return condition();
}

TEST(IdleMonitor, RecheckThatFindsWorkResumesTheClassObjects) {
  MainThread main;
  auto* module = new ServerModule();
  g_takesLockOnFirstSuspend = module;
  StartRecordedMonitor(*module, main);
  module->Lock();
  module->Unlock();
  ASSERT_TRUE(Within(kQuiet + kLate, [] { return SeamCalls() == "SR"; })) << SeamCalls();

  // The late client is served, and new work is accepted again.
  EXPECT_FALSE(module->Stopping());
  EXPECT_EQ(module->LockUnlessStopping(), S_OK);
  EXPECT_EQ(module->Unlock(), 1);
  EXPECT_FALSE(main.QuitBy(Clock::now() + milliseconds(500)));

  module->Unlock();
  ExpectQuitAfterQuietPeriod(main, Clock::now());
  EXPECT_EQ(SeamCalls(), "SRS");
  EXPECT_TRUE(module->Stopping());
  EXPECT_EQ(module->LockCount(), 0);
  delete module;
}

// The process's own module: a class object and the objects it makes reach no other.
TEST(IdleMonitor, ActivationAndClientLockAfterTheDecisionAreRefused) {
  using Microsoft::WRL::ComPtr;
  testing::g_cleanUp = {};
  MainThread main;
  ServerModule& module = Module();
  StartRecordedMonitor(module, main);
  ComPtr<IClassFactory> factory;  // kept by a client across the shutdown
  ASSERT_EQ(CreateClassObject(&CreateObjectInstance<testing::TestObject>, IID_PPV_ARGS(&factory)), S_OK);
  ComPtr<IUnknown> object;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&object)), S_OK);
  object.Reset();
  ExpectQuitAfterQuietPeriod(main, Clock::now());
  EXPECT_EQ(SeamCalls(), "S");
  EXPECT_TRUE(module.Stopping());

  void* out = reinterpret_cast<void*>(static_cast<uintptr_t>(0xdeadbeef));
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &out), CO_E_SERVER_STOPPING);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(testing::g_cleanUp.calls, 1);  // only the first object was ever made and destroyed
  EXPECT_EQ(factory->LockServer(TRUE), CO_E_SERVER_STOPPING);
  EXPECT_EQ(module.ClientLocks(), 0);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);  // the refused lock left none to give back
  EXPECT_EQ(module.LockCount(), 0);
  EXPECT_EQ(SeamCalls(), "S");  // refusals resume nothing
}

TEST(IdleMonitor, CleanUpInFlightKeepsTheServerUntilAQuietPeriodAfterIt) {
  testing::g_cleanUp = {};
  MainThread main;
  ServerModule& module = Module();
  StartRecordedMonitor(module, main);
  HANDLE release = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  testing::g_cleanUp.holdUntil = release;
  IUnknown* object = nullptr;
  ASSERT_EQ(CreateObjectInstance<testing::TestObject>(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)),
            S_OK);
  // The final release gives the lock back, then stays in its clean-up (a
  // call into another process, say) until released.
  std::thread releaser([object] { object->Release(); });
  ASSERT_TRUE(Within(kLate, [&module] { return module.CleanUpsInFlight() == 1 && module.LockCount() == 0; }));
  EXPECT_FALSE(main.QuitBy(Clock::now() + kQuiet + milliseconds(1500)));
  EXPECT_EQ(SeamCalls(), "");  // never even suspended

  ::SetEvent(release);
  releaser.join();
  const auto cleanUpEnd = Clock::now();
  EXPECT_EQ(module.CleanUpsInFlight(), 0);
  ExpectQuitAfterQuietPeriod(main, cleanUpEnd);
  EXPECT_EQ(SeamCalls(), "S");
  EXPECT_EQ(testing::g_cleanUp.calls, 1);
  EXPECT_EQ(testing::g_cleanUp.lockCount, 0);
  EXPECT_EQ(module.LockCount(), 0);
  ::CloseHandle(release);
}

}  // namespace
}  // namespace vaduna
