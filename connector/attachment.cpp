#include "connector/attachment.h"

#include <utility>

#include "base/variant_builders.h"

namespace vaduna::connector {

using Microsoft::WRL::ComPtr;

Attachment::Attachment(ServerConnection& server, Log& log, std::wstring readyEventName, DWORD checkIntervalMs)
    : server_(server), log_(log), readyEventName_(std::move(readyEventName)) {
  if (checkIntervalMs != 0) worker_.Every(checkIntervalMs, [this] { Check(); });
}

Attachment::~Attachment() { worker_.Stop(); }

void Attachment::AttachRequested(std::shared_ptr<PageLink> link) noexcept {
  if (!worker_.Post([this, link] { Attach(link); })) link->Fail("The connector is stopping", CloseCode::kGoingAway);
}

void Attachment::PageEnded(std::shared_ptr<PageLink> link) noexcept {
  worker_.Post([this, link] { Ended(link); });
}

void Attachment::CheckServer() noexcept {
  worker_.Post([this] { Check(); });
}

void Attachment::Shutdown(std::function<void()> done) noexcept {
  const bool queued = worker_.Post([this, done] {
    shuttingDown_ = true;
    Leave(DetachReason::kShutdown);
    if (done) done();
  });
  if (!queued && done) done();
}

bool Attachment::EnsureEvent(std::string& failure) noexcept {
  if (ready_) return true;
  // The server only opens the event: it must exist before AttachAppObject, unsignalled until the page is attached.
  ready_.reset(::CreateEventW(nullptr, TRUE, FALSE, readyEventName_.c_str()));
  if (!ready_) {
    failure = "The connector could not create the readiness event (" + HexCode(HresultFromLastError()) + ")";
    return false;
  }
  ::ResetEvent(ready_.get());  // an event that existed already keeps its state
  return true;
}

bool Attachment::Connect(IDispatch* page, ComPtr<IDispatch>& serverApplication, std::string& failure) noexcept {
  HRESULT hr = server_.CreateApplication(serverApplication);
  if (FAILED(hr)) {
    failure = "The desktop integration server could not be started (" + HexCode(hr) +
              "); is it installed and registered?";
    return false;
  }
  VARIANT argument = BorrowedObject(page);
  hr = CallByName(serverApplication.Get(), L"AttachAppObject", &argument);
  if (FAILED(hr)) {
    serverApplication.Reset();  // nothing attached: no OnUnload
    failure = "The server refused the page's application object (AttachAppObject failed with " + HexCode(hr) + ")";
    return false;
  }
  return true;
}

void Attachment::Attach(const std::shared_ptr<PageLink>& link) noexcept {
  if (shuttingDown_) {
    link->Detach(DetachReason::kShutdown);
    return;
  }
  if (link->ended()) return;  // gone before its turn; its PageEnded follows
  const ComPtr<IDispatch> application = link->Application();
  if (!application) return;  // ended meanwhile

  std::string failure;
  ComPtr<IDispatch> serverApplication;
  if (!EnsureEvent(failure) || !Connect(application.Get(), serverApplication, failure)) {
    if (current_) {
      log_.Write("replace_failed", {.page = link->number(), .previous = current_->number()});
    } else {
      ready_.reset();
    }
    link->Fail(failure, CloseCode::kInternalError);
    return;
  }
  if (current_ && link->ended()) {
    KeepCurrent(link, std::move(serverApplication));
    return;
  }
  // The newcomer is attached: only now does the page it replaces go.
  const std::shared_ptr<PageLink> replaced = std::exchange(current_, link);
  ComPtr<IDispatch> replacedServer = std::exchange(serverApplication_, serverApplication);
  reattachFailed_ = false;
  attached_.store(true);
  ::SetEvent(ready_.get());
  if (replaced) {
    log_.Write("replaced", {.page = link->number(), .previous = replaced->number()});
    Retire(replaced, std::move(replacedServer));
  }
  if (link->ReportAttached()) {
    log_.Write("attached", {.page = link->number()});
    Tell(link->origin());
  }
  // Otherwise the page went while it was being attached: its PageEnded job detaches it.
}

// The newcomer went while the server was taking it: the server names a page that is gone. The page it was
// to replace is handed to the server again, untold, and the newcomer's application object lets go of its
// page. Should the server refuse it there, the page is attached through a new application object.
void Attachment::KeepCurrent(const std::shared_ptr<PageLink>& newcomer, ComPtr<IDispatch> newcomerServer) noexcept {
  log_.Write("replace_failed", {.page = newcomer->number(), .previous = current_->number()});
  const ComPtr<IDispatch> page = current_->Application();
  VARIANT argument = BorrowedObject(page.Get());
  const HRESULT hr = page ? CallByName(serverApplication_.Get(), L"AttachAppObject", &argument) : E_UNEXPECTED;
  Unload(newcomerServer.Get(), *newcomer);
  if (SUCCEEDED(hr) || !page) return;  // without its application the page has ended: its PageEnded follows
  Unload(serverApplication_.Get(), *current_);
  serverApplication_.Reset();
  Reattach();
}

void Attachment::Retire(const std::shared_ptr<PageLink>& replaced, ComPtr<IDispatch> replacedServer) noexcept {
  const std::size_t inFlight = replaced->pendingCalls();
  replaced->Detach(DetachReason::kReplaced);  // its pending calls fail now, and nothing reaches it any more
  if (inFlight != 0) {
    log_.Write("replaced_in_flight", {.page = replaced->number(), .message = std::to_string(inFlight)});
  }
  if (replacedServer) Unload(replacedServer.Get(), *replaced);
  replaced->DisconnectObjects();
  log_.Write("detached", {.page = replaced->number()});
}

void Attachment::Unload(IDispatch* serverApplication, const PageLink& link) noexcept {
  const HRESULT hr = CallByName(serverApplication, L"OnUnload");
  if (SUCCEEDED(hr)) return;
  if (IsServerGone(hr)) {
    // A server whose calls to a page fail as disconnected lets the page go by itself.
    log_.Write("unload_needless", {.page = link.number(), .result = HexCode(hr)});
  } else {
    log_.Write("unload_failed", {.page = link.number(), .result = HexCode(hr)});
  }
}

void Attachment::Ended(const std::shared_ptr<PageLink>& link) noexcept {
  if (link == current_) {
    DetachFromServer();
    log_.Write("detached", {.page = link->number()});
    Tell({});
  }
  link->DisconnectObjects();
}

void Attachment::Check() noexcept {
  if (!current_ || shuttingDown_) return;
  if (serverApplication_) {
    const HRESULT hr = server_.Probe(serverApplication_.Get());
    if (!IsServerGone(hr)) return;
    attached_.store(false);
    ::ResetEvent(ready_.get());  // a client that comes now waits for the new server
    serverApplication_.Reset();  // a dead server's proxy: nothing to unload
    current_->CutRemoteReferences();  // the page's objects it held are released to the page
    log_.Write("server_lost", {.page = current_->number(), .result = HexCode(hr)});
    current_->ReportStatus("server-lost");
  }
  Reattach();
}

void Attachment::Reattach() noexcept {
  const ComPtr<IDispatch> application = current_->Application();
  if (!application) return;  // ended: its PageEnded job follows
  std::string failure;
  ComPtr<IDispatch> serverApplication;
  if (!Connect(application.Get(), serverApplication, failure)) {
    if (!std::exchange(reattachFailed_, true)) {
      log_.Write("reattach_failed", {.page = current_->number(), .message = failure});
    }
    return;
  }
  reattachFailed_ = false;
  serverApplication_.Swap(serverApplication);
  attached_.store(true);
  ::SetEvent(ready_.get());
  log_.Write("reattached", {.page = current_->number()});
  current_->ReportStatus("reattached");
}

void Attachment::Leave(DetachReason reason) noexcept {
  if (!current_) return;
  const std::shared_ptr<PageLink> leaving = current_;
  leaving->Detach(reason);  // told first: its pending calls fail now, and nothing reaches it any more
  DetachFromServer();
  leaving->DisconnectObjects();
  log_.Write("detached", {.page = leaving->number()});
  Tell({});
}

void Attachment::Tell(const std::string& origin) noexcept {
  if (!watch_) return;
  try {
    watch_(origin);
  } catch (...) {
    // a watcher's failure changes nothing here
  }
}

void Attachment::DetachFromServer() noexcept {
  attached_.store(false);
  // Reset before OnUnload: a client's GetService waits from now on instead of reaching the old page.
  if (ready_) ::ResetEvent(ready_.get());
  if (serverApplication_ && current_) Unload(serverApplication_.Get(), *current_);
  serverApplication_.Reset();
  reattachFailed_ = false;
  ready_.reset();
  current_.reset();
}

}  // namespace vaduna::connector
