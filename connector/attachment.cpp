#include "connector/attachment.h"

#include "base/variant_builders.h"

namespace vaduna::connector {

using Microsoft::WRL::ComPtr;

Attachment::Attachment(ServerConnection& server, Log& log, std::wstring readyEventName)
    : server_(server), log_(log), readyEventName_(std::move(readyEventName)) {}

Attachment::~Attachment() { worker_.Stop(); }

void Attachment::AttachRequested(std::shared_ptr<PageLink> link) noexcept {
  if (!worker_.Post([this, link] { Attach(link); })) link->Fail("The connector is stopping", CloseCode::kGoingAway);
}

void Attachment::PageEnded(std::shared_ptr<PageLink> link) noexcept {
  worker_.Post([this, link] { Ended(link); });
}

void Attachment::Shutdown(std::function<void()> done) noexcept {
  const bool queued = worker_.Post([this, done] {
    shuttingDown_ = true;
    Leave(DetachReason::kShutdown);
    if (done) done();
  });
  if (!queued && done) done();
}

void Attachment::Attach(const std::shared_ptr<PageLink>& link) noexcept {
  if (shuttingDown_) {
    link->Detach(DetachReason::kShutdown);
    return;
  }
  if (link->ended()) return;  // gone before its turn; its PageEnded follows
  if (current_) {
    log_.Write("replaced", {.page = link->number(), .previous = current_->number()});
    Leave(DetachReason::kReplaced);
  }
  const ComPtr<IDispatch> application = link->Application();
  if (!application) return;  // ended meanwhile

  // The server only opens the event: it must exist before AttachAppObject, unsignalled until the page is attached.
  ready_.reset(::CreateEventW(nullptr, TRUE, FALSE, readyEventName_.c_str()));
  if (!ready_) {
    const HRESULT hr = HresultFromLastError();
    link->Fail("The connector could not create the readiness event (" + HexCode(hr) + ")", CloseCode::kInternalError);
    return;
  }
  ::ResetEvent(ready_.get());  // an event that existed already keeps its state

  ComPtr<IDispatch> serverApplication;
  HRESULT hr = server_.CreateApplication(serverApplication);
  if (FAILED(hr)) {
    ready_.reset();
    link->Fail("The desktop integration server could not be started (" + HexCode(hr) +
                   "); is it installed and registered?",
               CloseCode::kInternalError);
    return;
  }
  VARIANT page = BorrowedObject(application.Get());
  hr = CallByName(serverApplication.Get(), L"AttachAppObject", &page);
  if (FAILED(hr)) {
    ready_.reset();
    link->Fail("The server refused the page's application object (AttachAppObject failed with " + HexCode(hr) + ")",
               CloseCode::kInternalError);
    return;
  }
  serverApplication_.Swap(serverApplication);
  current_ = link;
  attached_.store(true);
  ::SetEvent(ready_.get());
  if (link->ReportAttached()) {
    log_.Write("attached", {.page = link->number()});
  }
  // Otherwise the page went while it was being attached: its PageEnded job detaches it.
}

void Attachment::Ended(const std::shared_ptr<PageLink>& link) noexcept {
  if (link == current_) {
    DetachFromServer();
    log_.Write("detached", {.page = link->number()});
  }
  link->DisconnectObjects();
}

void Attachment::Leave(DetachReason reason) noexcept {
  if (!current_) return;
  const std::shared_ptr<PageLink> leaving = current_;
  leaving->Detach(reason);  // told first: its pending calls fail now, and nothing reaches it any more
  DetachFromServer();
  leaving->DisconnectObjects();
  log_.Write("detached", {.page = leaving->number()});
}

void Attachment::DetachFromServer() noexcept {
  attached_.store(false);
  // Reset before OnUnload: a client's GetService waits from now on instead of reaching the old page.
  if (ready_) ::ResetEvent(ready_.get());
  if (serverApplication_) {
    const HRESULT hr = CallByName(serverApplication_.Get(), L"OnUnload");
    if (FAILED(hr)) log_.Write("unload_failed", {.result = HexCode(hr)});
    serverApplication_.Reset();
  }
  ready_.reset();
  current_.reset();
}

}  // namespace vaduna::connector
