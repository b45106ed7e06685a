// The process-wide module record: the server lock count, the client locks
// taken through LockServer, the termination list, the lock that guards lazy
// loading, and the idle monitor that ends the server once the count has
// stayed at 0 for the quiet period.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <atomic>

namespace vaduna {

struct ClassEntry;

using TermCallback = void (*)(void* argument);

class ServerModule {
 public:
  static constexpr DWORD kIdleTimeoutMs = 5000;
  static constexpr DWORD kPauseAfterLoopMs = 1000;

  // What the idle monitor calls to stop new activations before its recheck,
  // and to let them in again when the recheck finds the server in use.
  using SuspendFunction = HRESULT(WINAPI*)();
  using ResumeFunction = HRESULT(WINAPI*)();

  ServerModule() noexcept;
  // Frees what Term did not: the termination entries (their callbacks are not
  // run), the shutdown event and staticLock.
  ~ServerModule();
  ServerModule(const ServerModule&) = delete;
  ServerModule& operator=(const ServerModule&) = delete;

  // Interlocked; each returns the new count. Unlock's fall to 0 sets the
  // activity flag and then signals the shutdown event, in that order; once the
  // monitor has closed the event, a fall to 0 signals nothing.
  LONG Lock() noexcept;
  LONG Unlock() noexcept;
  // The two records the idle monitor decides by; the tests read them to pin
  // the order of Unlock's effects.
  LONG LockCount() const noexcept { return lockCount_.load(); }
  bool Activity() const noexcept { return activity_.load(); }

  // LockServer's two halves. The client locks are counted process-wide: an
  // unlock without one is ignored, so that no client can take the count
  // below the locks of live objects. Both answer S_OK.
  HRESULT ClientLock() noexcept;
  HRESULT ClientUnlock() noexcept;
  LONG ClientLocks() const noexcept { return clientLocks_.load(); }

  // Inserts at the head of the termination list under staticLock.
  // E_OUTOFMEMORY when no entry can be allocated.
  HRESULT AddTermFunc(TermCallback callback, void* argument) noexcept;

  // Stores the class table and calls every row's class hook with true.
  void Init(const ClassEntry* classTable) noexcept;
  // Releases cached class objects, calls the hooks with false, runs the
  // termination list newest first, deletes staticLock. A second call does nothing.
  void Term() noexcept;
  // Read by the tests, which check that Init and Term took effect.
  bool IsInitialised() const noexcept { return initialised_; }
  const ClassEntry* ClassTable() const noexcept { return classTable_; }

  CRITICAL_SECTION& StaticLock() noexcept { return staticLock_; }

  void SetMainThreadId(DWORD id) noexcept { mainThreadId_ = id; }

  // Creates the unnamed auto-reset shutdown event, not signalled; false if
  // that failed.
  bool CreateShutdownEvent() noexcept;
  // The shutdown event, or null before it is created and after the monitor
  // closed it. Read by the tests, which signal and watch it.
  HANDLE ShutdownEvent() const noexcept { return shutdownEvent_.load(); }
  // Starts the idle monitor thread on this module; false if it could not start.
  bool StartMonitor() noexcept;

  // Replace CoSuspendClassObjects and CoResumeClassObjects in the monitor
  // (seams for tests).
  void SetSuspendFunction(SuspendFunction suspend) noexcept { suspend_ = suspend; }
  void SetResumeFunction(ResumeFunction resume) noexcept { resume_ = resume; }

  // The idle monitor's thread procedure; its argument is the module.
  static DWORD WINAPI MonitorProc(void* module) noexcept;

 private:
  struct TermEntry;
  DWORD RunMonitor() noexcept;
  bool InUse() const noexcept { return activity_.load() || lockCount_.load() != 0; }
  // Takes the event out of the field and closes it; Unlock's signal and this
  // close exclude each other, so a closed (or reused) handle is never signalled.
  void CloseShutdownEvent() noexcept;
  void FreeTermList() noexcept;

  bool initialised_ = true;
  std::atomic<LONG> lockCount_{0};
  TermEntry* termList_ = nullptr;
  CRITICAL_SECTION staticLock_;
  const ClassEntry* classTable_ = nullptr;
  DWORD mainThreadId_ = 0;
  std::atomic<HANDLE> shutdownEvent_{nullptr};
  std::atomic<bool> activity_{false};
  SRWLOCK eventLock_ = SRWLOCK_INIT;  // shared: signalling; exclusive: replacing or closing
  std::atomic<LONG> clientLocks_{0};
  SuspendFunction suspend_ = &::CoSuspendClassObjects;
  ResumeFunction resume_ = &::CoResumeClassObjects;
};

// The one module of this process.
ServerModule& Module() noexcept;

}  // namespace vaduna
