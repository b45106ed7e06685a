// The process-wide attachment that all application objects share: the page's
// script application, the readiness event "VWEAutoSynchroEvt" and the wait
// limit read from VADUNA_HTML_AUTOTIMEOUT.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "base/unique_resource.h"
#include "object_model/script/script_bridge.h"

namespace vaduna {

class SharedAttachment {
 public:
  static constexpr LONG kDefaultTimeoutMs = 120000;

  static SharedAttachment& Instance() noexcept;

  // The current script application, with a reference for the caller; empty
  // when none is attached.
  ScriptRef CurrentApp() const noexcept;
  // Read by the tests, which check the attachment without holding the app.
  bool IsAttached() const noexcept;

  // Waits for the readiness event for at most the time-out; true only when
  // the event was signalled (false without an open event, on time-out or failure).
  bool WaitUntilReady() const noexcept;

  // Read by the tests, which check the time-out's rules without waiting.
  LONG SyncTimeout() const noexcept;

  // The attaching half of AttachAppObject: stores app with one reference of
  // its own, opens the readiness event, reads the time-out. S_FALSE when the
  // event could not be opened.
  HRESULT Attach(IDispatch* app) noexcept;
  // The detaching half of OnUnload, for the object that attached
  // attachedApp (may be null): the app is no longer current, the event
  // handle is closed, and the reference Attach took is given back.
  void Detach(IDispatch* attachedApp) noexcept;
  // The object that attached attachedApp is destroyed without OnUnload: a
  // current app stays attached, its reference now the record's own, given
  // back when a later attachment replaces it or an OnUnload ends it; a
  // replaced one has no other holder and is given back at once.
  void Abandon(IDispatch* attachedApp) noexcept;
  // Process end: disconnects the current script application from its clients.
  void DisconnectCurrentApp() noexcept;

  // For tests, which share this process-wide record: back to the state at
  // process start.
  void ResetForTesting() noexcept;

 private:
  SharedAttachment() noexcept = default;
  mutable SRWLOCK lock_ = SRWLOCK_INIT;
  // One reference, shared with the application object that attached it.
  IDispatch* currentApp_ = nullptr;
  bool ownsCurrentApp_ = false;  // the object that attached currentApp_ is gone
  UniqueHandle syncEvent_;
  LONG syncTimeout_ = kDefaultTimeoutMs;
};

}  // namespace vaduna
