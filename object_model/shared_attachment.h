// The process-wide attachment that all application objects share: the page's
// script application, the readiness event "VWEAutoSynchroEvt" and the wait
// limit read from VADUNA_HTML_AUTOTIMEOUT.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "object_model/script_bridge.h"

namespace vaduna {

class SharedAttachment {
 public:
  static constexpr LONG kDefaultTimeoutMs = 120000;

  static SharedAttachment& Instance() noexcept;

  // The current script application, with a reference for the caller; empty
  // when none is attached.
  ScriptRef CurrentApp() const noexcept;
  bool IsAttached() const noexcept;

  // Waits for the readiness event for at most the time-out; true only when
  // the event was signalled (false without an open event, on time-out or failure).
  bool WaitUntilReady() const noexcept;

  LONG SyncTimeout() const noexcept;

  // AttachAppObject steps 2 to 7: stores app (one reference), opens the
  // event, reads the time-out. S_FALSE when the event could not be opened.
  HRESULT Attach(IDispatch* app) noexcept;
  // OnUnload steps 2 and 3 for the object that attached attachedApp (may be null).
  void Detach(IDispatch* attachedApp) noexcept;
  // The object that attached attachedApp is destroyed without OnUnload: a
  // current app stays attached, its reference now the record's own, given
  // back when a later attachment replaces it or an OnUnload ends it; a
  // replaced one has no other holder and is given back at once.
  void Abandon(IDispatch* attachedApp) noexcept;
  // Process end: disconnects the current script application from its clients.
  void DisconnectCurrentApp() noexcept;

  // For tests: back to the state at process start.
  void ResetForTesting() noexcept;

 private:
  SharedAttachment() noexcept = default;
  mutable SRWLOCK lock_ = SRWLOCK_INIT;
  IDispatch* currentApp_ = nullptr;
  bool ownsCurrentApp_ = false;  // the object that attached currentApp_ is gone
  HANDLE syncEvent_ = nullptr;
  LONG syncTimeout_ = kDefaultTimeoutMs;
};

}  // namespace vaduna
