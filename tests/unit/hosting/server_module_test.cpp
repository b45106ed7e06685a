#include "hosting/server_module.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "hosting/class_table.h"

namespace vaduna {
namespace {

std::vector<std::string> g_calls;

class CountingUnknown : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count; }
  ULONG STDMETHODCALLTYPE Release() override {
    g_calls.push_back("release " + name);
    return --count;
  }
  explicit CountingUnknown(std::string n) : name(std::move(n)) {}
  ULONG count = 1;
  std::string name;
};

template <int Row>
void RecordHook(bool starting) {
  g_calls.push_back("hook " + std::to_string(Row) + (starting ? " start" : " stop"));
}

void RecordTerm(void* argument) { g_calls.push_back("term " + std::string(static_cast<const char*>(argument))); }

bool IsSignalled(HANDLE event) { return ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

TEST(ServerModule, LockAndUnlockReturnTheNewCount) {
  ServerModule module;
  EXPECT_EQ(module.Lock(), 1);
  EXPECT_EQ(module.Lock(), 2);
  EXPECT_EQ(module.Unlock(), 1);
  EXPECT_EQ(module.Unlock(), 0);
  EXPECT_EQ(module.LockCount(), 0);
}

TEST(ServerModule, ConcurrentLocksBalanceToZero) {
  ServerModule module;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&module] {
      for (int i = 0; i < 20000; ++i) {
        module.Lock();
        module.Unlock();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(module.LockCount(), 0);
}

TEST(ServerModule, ShutdownEventIsAutoResetAndStartsUnsignalled) {
  ServerModule module;
  ASSERT_TRUE(module.CreateShutdownEvent());
  HANDLE event = module.ShutdownEvent();
  ASSERT_NE(event, nullptr);
  EXPECT_FALSE(IsSignalled(event));
  ::SetEvent(event);
  EXPECT_TRUE(IsSignalled(event));
  EXPECT_FALSE(IsSignalled(event));  // the wait consumed the signal
}

TEST(ServerModule, OnlyTheFallToZeroSetsActivityAndSignals) {
  ServerModule module;
  ASSERT_TRUE(module.CreateShutdownEvent());
  HANDLE event = module.ShutdownEvent();
  module.Lock();
  module.Lock();
  module.Unlock();
  EXPECT_FALSE(module.Activity());
  EXPECT_FALSE(IsSignalled(event));
  module.Unlock();
  EXPECT_TRUE(module.Activity());
  EXPECT_TRUE(IsSignalled(event));

  // Several falls before a wait count as one signal.
  module.Lock();
  module.Unlock();
  module.Lock();
  module.Unlock();
  EXPECT_TRUE(IsSignalled(event));
  EXPECT_FALSE(IsSignalled(event));
}

TEST(ServerModule, FallToZeroWithoutEventOnlySetsActivity) {
  ServerModule module;
  module.Lock();
  EXPECT_EQ(module.Unlock(), 0);
  EXPECT_TRUE(module.Activity());
}

TEST(ServerModule, InitAndTermWalkTheClassRowsThenTheTerminationListNewestFirst) {
  g_calls.clear();
  CountingUnknown cached("row 1");
  ClassEntry table[] = {
      {&CLSID_NULL, nullptr, nullptr, nullptr, &cached, 0, nullptr, nullptr, &RecordHook<1>},
      {&IID_IUnknown, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &RecordHook<2>},
      {},
  };
  ServerModule module;
  module.Init(table);
  EXPECT_EQ(module.ClassTable(), table);
  static char first[] = "first", second[] = "second", third[] = "third";
  ASSERT_EQ(module.AddTermFunc(&RecordTerm, first), S_OK);
  ASSERT_EQ(module.AddTermFunc(&RecordTerm, second), S_OK);
  ASSERT_EQ(module.AddTermFunc(&RecordTerm, third), S_OK);

  module.Term();
  EXPECT_EQ(g_calls, (std::vector<std::string>{"hook 1 start", "hook 2 start", "release row 1", "hook 1 stop",
                                               "hook 2 stop", "term third", "term second", "term first"}));
  EXPECT_EQ(table[0].cachedClassObject, nullptr);
  EXPECT_EQ(cached.count, 0u);
  EXPECT_FALSE(module.IsInitialised());

  // A second termination does nothing.
  g_calls.clear();
  module.Term();
  EXPECT_TRUE(g_calls.empty());
}

}  // namespace
}  // namespace vaduna
