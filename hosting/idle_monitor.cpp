// The idle monitor: ends the server once the lock count has fallen to 0 and
// stayed there, with no clean-up in flight, for the quiet period.
#include "hosting/server_module.h"

#include <utility>

#include "base/unique_resource.h"

namespace vaduna {

bool ServerModule::CreateShutdownEvent() noexcept {
  UniqueHandle event(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!event) return false;
  {
    SrwExclusive hold(eventLock_);
    std::swap(shutdownEvent_, event);
  }
  return true;  // the replaced event, if any, is closed outside the lock
}

void ServerModule::CloseShutdownEvent() noexcept {
  UniqueHandle event;
  {
    SrwExclusive hold(eventLock_);
    std::swap(shutdownEvent_, event);
  }
  // closed here, outside the lock
}

bool ServerModule::StartMonitor() noexcept {
  HANDLE thread = ::CreateThread(nullptr, 0, &MonitorProc, this, 0, nullptr);
  if (thread == nullptr) return false;
  // The monitor is never waited on; its handle is not kept.
  ::CloseHandle(thread);
  return true;
}

DWORD WINAPI ServerModule::MonitorProc(void* module) noexcept {
  return static_cast<ServerModule*>(module)->RunMonitor();
}

DWORD ServerModule::RunMonitor() noexcept {
  // Only this thread closes the event, so it may hold the handle while waiting.
  const HANDLE event = ShutdownEvent();
  for (;;) {
    // A signal comes only from a fall to 0 of the lock count or of the
    // clean-ups in flight. A wait that cannot be made ends the monitor
    // without ending the server.
    if (::WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0) return 0;

    // Quiet period: every further such fall starts it afresh. A time-out or
    // a failed wait ends it; the checks below decide either way.
    do {
      activity_.store(false);
    } while (::WaitForSingleObject(event, kIdleTimeoutMs) == WAIT_OBJECT_0);
    if (InUse()) continue;

    suspend_();
    // From here a new activation or client lock is refused unless it took its
    // lock before the recheck below reads the count.
    stopping_.store(true);
    if (InUse()) {
      // A client got in before the suspension took effect: it is served, and
      // new activations are let in again.
      stopping_.store(false);
      resume_();
      continue;
    }

    CloseShutdownEvent();
    ::PostThreadMessageW(mainThreadId_, WM_QUIT, 0, 0);
    return 0;
  }
}

}  // namespace vaduna
