// The process-wide module record: the server lock count, the termination
// list, the lock that guards lazy loading, and the idle monitor that ends the
// server once the count has stayed at 0 for the quiet period.
#pragma once

#include <windows.h>

#include <atomic>

namespace vaduna {

struct ClassEntry;

using TermCallback = void (*)(void* argument);

class ServerModule {
 public:
  static constexpr DWORD kIdleTimeoutMs = 5000;
  static constexpr DWORD kPauseAfterLoopMs = 1000;

  ServerModule() noexcept;
  ~ServerModule();
  ServerModule(const ServerModule&) = delete;
  ServerModule& operator=(const ServerModule&) = delete;

  // Interlocked; each returns the new count. Unlock's fall to 0 sets the
  // activity flag and then signals the shutdown event, in that order.
  LONG Lock() noexcept;
  LONG Unlock() noexcept;
  LONG LockCount() const noexcept;

  // Inserts at the head of the termination list under staticLock.
  // E_OUTOFMEMORY when no entry can be allocated.
  HRESULT AddTermFunc(TermCallback callback, void* argument) noexcept;

  // Stores the class table and calls every row's class hook with true.
  void Init(const ClassEntry* classTable) noexcept;
  // Releases cached class objects, calls the hooks with false, runs the
  // termination list newest first, deletes staticLock. A second call does nothing.
  void Term() noexcept;

  CRITICAL_SECTION& StaticLock() noexcept { return staticLock_; }
  const ClassEntry* ClassTable() const noexcept { return classTable_; }

  DWORD MainThreadId() const noexcept { return mainThreadId_; }
  void SetMainThreadId(DWORD id) noexcept { mainThreadId_ = id; }

  // Creates the unnamed auto-reset shutdown event; false if that failed.
  bool CreateShutdownEvent() noexcept;
  // Starts the idle monitor thread on this module; false if it could not start.
  bool StartMonitor() noexcept;

  // The idle monitor's thread procedure; its argument is the module.
  static DWORD WINAPI MonitorProc(void* module) noexcept;

 private:
  struct TermEntry;
  DWORD RunMonitor() noexcept;

  bool initialised_ = true;
  std::atomic<LONG> lockCount_{0};
  TermEntry* termList_ = nullptr;
  CRITICAL_SECTION staticLock_;
  const ClassEntry* classTable_ = nullptr;
  DWORD mainThreadId_ = 0;
  std::atomic<HANDLE> shutdownEvent_{nullptr};
  std::atomic<bool> activity_{false};
};

// The one module of this process.
ServerModule& Module() noexcept;

}  // namespace vaduna
