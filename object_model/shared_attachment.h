// The process-wide attachment that all application objects share: the page's
// script application, the readiness event (contract::kReadyEventName) and the
// wait limit read from the environment (contract::kTimeoutVariable).
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <wrl/client.h>

#include "base/unique_resource.h"
#include "object_model/page_owner.h"
#include "object_model/script/script_bridge.h"

namespace vaduna {

// True for the failures of a call that say the page's process is gone.
bool MeansPageGone(HRESULT callResult) noexcept;

class SharedAttachment {
 public:
  static constexpr LONG kDefaultTimeoutMs = 120000;

  // One per server context, never destroyed while an object of it may call.
  SharedAttachment() noexcept = default;
  SharedAttachment(const SharedAttachment&) = delete;
  SharedAttachment& operator=(const SharedAttachment&) = delete;

  // The page as one call sees it: its script application (with a reference
  // for the caller) and the number of the attachment that brought it.
  struct Page {
    ScriptRef app;
    ULONG generation = 0;
  };

  // The current script application, with a reference for the caller; empty
  // when none is attached.
  ScriptRef CurrentApp() const noexcept;
  Page CurrentPage() const noexcept;
  // The number of the current attachment: every attach gets a new one,
  // counted from 1; 0 while no page is attached.
  ULONG Generation() const noexcept;
  // Whether a page is attached, without taking a reference on it.
  bool IsAttached() const noexcept;

  // Waits for the readiness event for at most the time-out; true only when
  // the event was signalled (false without an open event, on time-out or failure).
  bool WaitUntilReady() const noexcept;

  // The wait limit of WaitUntilReady, in milliseconds.
  LONG SyncTimeout() const noexcept;

  // The attaching half of AttachAppObject: stores app with one reference of
  // its own, opens the readiness event, reads the time-out. S_FALSE when the
  // event could not be opened.
  // attacher, when given, is the object that attaches (not counted here): a
  // page found gone is unloaded through it. A replaced app that the record
  // alone held is given back through released when given (the caller lets it
  // go once outside its own locks: its release calls into the page), at once
  // otherwise.
  HRESULT Attach(IDispatch* app, PageOwner* attacher = nullptr,
                 Microsoft::WRL::ComPtr<IDispatch>* released = nullptr) noexcept;
  // The detaching half of OnUnload, for the object that attached
  // attachedApp (may be null): when attachedApp is the current app it is no
  // longer current and the event handle is closed; an earlier page's
  // OnUnload leaves the page that replaced it alone. The reference Attach
  // took is given back either way.
  void Detach(IDispatch* attachedApp) noexcept;
  // A call into the page of attachment generation failed because the page's
  // process is gone. When that page is still the current one, it is
  // unloaded as its own OnUnload would unload it, and the object that
  // attached it is cut off from its remote clients (the dead page's
  // references to it would otherwise keep the server alive). A page that
  // was already replaced or unloaded is left alone.
  void PageGone(ULONG generation) noexcept;
  // Whether the page of attachment generation can no longer be reached: true
  // when it is no longer current, or when a name lookup on its application
  // fails as MeansPageGone says. A call that failed without saying why (the
  // platform's answer when the page's process ends during the call) asks this.
  bool PageUnreachable(ULONG generation) const noexcept;
  // The object that attached attachedApp is destroyed without OnUnload: a
  // current app stays attached, its reference now the record's own, given
  // back when a later attachment replaces it or an OnUnload ends it; a
  // replaced one has no other holder and is given back at once.
  void Abandon(IDispatch* attachedApp, PageOwner* attacher = nullptr) noexcept;
  // Process end: disconnects the current script application from its clients.
  void DisconnectCurrentApp() noexcept;
  // Gives back what the record still holds: a page never unloaded keeps its
  // reference until its record ends.
  ~SharedAttachment();

 private:
  mutable SRWLOCK lock_ = SRWLOCK_INIT;
  // One reference, shared with the application object that attached it.
  IDispatch* currentApp_ = nullptr;
  bool ownsCurrentApp_ = false;  // the object that attached currentApp_ is gone
  PageOwner* attacher_ = nullptr;  // that object while it lives; not counted
  ULONG generation_ = 0;                   // of currentApp_; 0 without one
  ULONG lastGeneration_ = 0;
  UniqueHandle syncEvent_;
  LONG syncTimeout_ = kDefaultTimeoutMs;
};

}  // namespace vaduna
