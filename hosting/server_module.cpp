#include "hosting/server_module.h"

#include <new>
#include <utility>

#include "hosting/class_table.h"
#include "base/hresult.h"
#include "base/unique_resource.h"

namespace vaduna {

struct ServerModule::TermEntry {
  TermCallback callback;
  void* argument;
  TermEntry* next;
};

ServerModule::ServerModule() noexcept { ::InitializeCriticalSection(&staticLock_); }

ServerModule::~ServerModule() {
  CloseShutdownEvent();
  FreeTermList();
  ::DeleteCriticalSection(&staticLock_);
}

LONG ServerModule::Lock() noexcept { return ++lockCount_; }

LONG ServerModule::Unlock() noexcept {
  const LONG count = --lockCount_;
  if (count == 0) SignalActivity();
  return count;
}

void ServerModule::SignalActivity() noexcept {
  // The flag first: a monitor woken by the signal must see it.
  activity_.store(true);
  SrwShared hold(eventLock_);
  if (shutdownEvent_) ::SetEvent(shutdownEvent_.get());
}

HRESULT ServerModule::LockUnlessStopping() noexcept {
  Lock();
  if (!Stopping()) return S_OK;
  Unlock();
  return CO_E_SERVER_STOPPING;
}

HRESULT ServerModule::ClientLock() noexcept {
  VADUNA_RETURN_IF_FAILED(LockUnlessStopping());
  // Counted only once the lock is held: a concurrent unlock can never give
  // back a lock that is not there yet.
  ++clientLocks_;
  return S_OK;
}

HRESULT ServerModule::ClientUnlock() noexcept {
  LONG held = clientLocks_.load();
  do {
    if (held <= 0) return S_OK;  // no client lock to give back
  } while (!clientLocks_.compare_exchange_weak(held, held - 1));
  Unlock();
  return S_OK;
}

void ServerModule::BeginCleanUp() noexcept { ++cleanUpsInFlight_; }

void ServerModule::EndCleanUp() noexcept {
  // The flag before the count: a monitor that no longer finds this clean-up
  // in flight finds its activity instead.
  activity_.store(true);
  if (--cleanUpsInFlight_ != 0) return;
  SignalActivity();
  {
    // Taken and left only so that a waiter is either before its look at the
    // count or asleep when the wake comes.
    SrwExclusive hold(cleanUpLock_);
  }
  ::WakeAllConditionVariable(&cleanUpsDone_);
}

void ServerModule::WaitForCleanUps() noexcept {
  SrwExclusive hold(cleanUpLock_);
  while (cleanUpsInFlight_.load() != 0) ::SleepConditionVariableSRW(&cleanUpsDone_, &cleanUpLock_, INFINITE, 0);
}

HRESULT ServerModule::AddTermFunc(TermCallback callback, void* argument) noexcept {
  auto* entry = new (std::nothrow) TermEntry{callback, argument, nullptr};
  if (entry == nullptr) return E_OUTOFMEMORY;
  CriticalSectionGuard guard(staticLock_);
  entry->next = termList_;
  termList_ = entry;
  return S_OK;
}

void ServerModule::Init(const ClassEntry* classTable) noexcept {
  classTable_ = classTable;
  if (classTable == nullptr) return;
  for (const ClassEntry* row = classTable; row->clsid != nullptr; ++row) {
    if (row->classHook != nullptr) row->classHook(true);
  }
}

void ServerModule::Term() noexcept {
  if (!initialised_) return;
  if (classTable_ != nullptr) {
    for (const ClassEntry* row = classTable_; row->clsid != nullptr; ++row) {
      if (IUnknown* cached = row->cachedClassObject) {
        // A row with a cached object is a writable one: the table is mutable.
        const_cast<ClassEntry*>(row)->cachedClassObject = nullptr;
        cached->Release();
      }
      if (row->classHook != nullptr) row->classHook(false);
    }
  }
  TermEntry* entry = nullptr;
  {
    CriticalSectionGuard guard(staticLock_);
    entry = std::exchange(termList_, nullptr);
  }
  // Newest first; each node is freed only after its callback returned.
  while (entry != nullptr) {
    entry->callback(entry->argument);
    delete std::exchange(entry, entry->next);
  }
  initialised_ = false;
}

void ServerModule::FreeTermList() noexcept {
  while (termList_ != nullptr) delete std::exchange(termList_, termList_->next);
}

ServerModule& Module() noexcept {
  // Never destroyed: objects and holders may still reach it while the
  // process's exit processing runs.
  static ServerModule* const module = new ServerModule();
  return *module;
}

namespace {
// The module exists before the entry point runs.
[[maybe_unused]] ServerModule& g_moduleAtStartUp = Module();
}  // namespace

}  // namespace vaduna
