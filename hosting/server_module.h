// The process-wide module record: the server lock count, the client locks
// taken through LockServer, the clean-ups in flight, the termination list,
// the lock that guards lazy loading, and the idle monitor that ends the
// server once it has stayed unused for the quiet period.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <atomic>

#include "base/unique_resource.h"

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

  // One lock for a caller that is about to make work for the server (an
  // activation, a client lock): the lock is taken first and the stopping
  // state looked at after it, so that either the monitor's recheck sees the
  // lock or the caller sees the decision, never neither. CO_E_SERVER_STOPPING
  // with no lock kept once the server is stopping, otherwise S_OK.
  HRESULT LockUnlessStopping() noexcept;
  // True from the monitor's decision to stop (or the end of serving) on, and
  // during its recheck; cleared when the recheck finds work.
  bool Stopping() const noexcept { return stopping_.load(); }
  // Refuses new activations and client locks from now on; serving calls it
  // when its message loop ends, whoever ended it.
  void Stop() noexcept { stopping_.store(true); }

  // LockServer's two halves. The client locks are counted process-wide: an
  // unlock without one is ignored, so that no client can take the count
  // below the locks of live objects. Lock: CO_E_SERVER_STOPPING once the
  // server is stopping, otherwise S_OK; unlock: always S_OK.
  HRESULT ClientLock() noexcept;
  HRESULT ClientUnlock() noexcept;
  LONG ClientLocks() const noexcept { return clientLocks_.load(); }

  // An object's destruction counts itself in before it gives its lock back
  // and out after its clean-up, which may call into another process for a
  // long time. The monitor counts a clean-up in flight as use; the fall of
  // this count to 0 restarts the quiet period like Unlock's.
  void BeginCleanUp() noexcept;
  void EndCleanUp() noexcept;
  LONG CleanUpsInFlight() const noexcept { return cleanUpsInFlight_.load(); }
  // Returns once no clean-up is in flight: nothing may be torn down under one.
  void WaitForCleanUps() noexcept;

  // Inserts at the head of the termination list under staticLock.
  // E_OUTOFMEMORY when no entry can be allocated.
  HRESULT AddTermFunc(TermCallback callback, void* argument) noexcept;

  // Stores the class table and calls every row's class hook with true.
  void Init(const ClassEntry* classTable) noexcept;
  // Releases cached class objects, calls the hooks with false, runs the
  // termination list newest first. A second call does nothing. staticLock
  // stays: a call still under way may reach it.
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
  HANDLE ShutdownEvent() const noexcept {
    SrwShared hold(eventLock_);
    return shutdownEvent_.get();
  }
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
  // Locks, then clean-ups in flight, then the activity flag, in that order: a
  // destruction counts its clean-up in before it gives its lock back, and a
  // clean-up marks activity before it counts itself out, so no work can slip
  // between two of the reads.
  bool InUse() const noexcept {
    return lockCount_.load() != 0 || cleanUpsInFlight_.load() != 0 || activity_.load();
  }
  // Sets the activity flag, then signals the shutdown event if it is open.
  void SignalActivity() noexcept;
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
  UniqueHandle shutdownEvent_;
  std::atomic<bool> activity_{false};
  mutable SRWLOCK eventLock_ = SRWLOCK_INIT;  // shared: signalling, reading; exclusive: replacing or closing
  std::atomic<bool> stopping_{false};
  std::atomic<LONG> clientLocks_{0};
  std::atomic<LONG> cleanUpsInFlight_{0};
  // Pairs the wake at the clean-ups' fall to 0 with WaitForCleanUps' look at the count.
  SRWLOCK cleanUpLock_ = SRWLOCK_INIT;
  CONDITION_VARIABLE cleanUpsDone_ = CONDITION_VARIABLE_INIT;
  SuspendFunction suspend_ = &::CoSuspendClassObjects;
  ResumeFunction resume_ = &::CoResumeClassObjects;
};

// The one module of this process.
ServerModule& Module() noexcept;

// Counts one object's destruction, from before its lock goes back to after
// its memory is freed, as a clean-up in flight.
class CleanUpInFlight {
 public:
  explicit CleanUpInFlight(ServerModule& module) noexcept : module_(module) { module_.BeginCleanUp(); }
  CleanUpInFlight(const CleanUpInFlight&) = delete;
  CleanUpInFlight& operator=(const CleanUpInFlight&) = delete;
  ~CleanUpInFlight() { module_.EndCleanUp(); }

 private:
  ServerModule& module_;
};

}  // namespace vaduna
