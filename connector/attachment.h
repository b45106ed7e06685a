// The page side of the server's readiness contract. One page at a time is
// attached: its application object handed to a server application object
// through AttachAppObject, and the readiness event contract::kReadyEventName (a
// manual-reset event) set. When the page goes, the event is reset, OnUnload
// called and everything released, so that the server can end by itself. A
// page that attaches while another is attached replaces it: the earlier page
// is detached first (told `replaced`).
//
// Every COM call into the server runs on the attachment's own worker thread
// (multithreaded apartment), one job after another: attaching and detaching
// never overlap and never block the I/O thread.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "base/unique_resource.h"
#include "connector/log.h"
#include "connector/page_link.h"
#include "connector/page_site.h"
#include "connector/serial_worker.h"
#include "connector/server_connection.h"
#include "vaduna_contract.h"

namespace vaduna::connector {

class Attachment final : public PageSite {
 public:
  Attachment(ServerConnection& server, Log& log, std::wstring readyEventName = contract::kReadyEventName);
  ~Attachment();  // runs the queued work, then stops the worker

  void AttachRequested(std::shared_ptr<PageLink> link) noexcept override;
  void PageEnded(std::shared_ptr<PageLink> link) noexcept override;

  // Detaches the attached page (told `shutdown`) and refuses every later page; then runs done on the worker.
  void Shutdown(std::function<void()> done) noexcept;

  // Whether a page is attached to the server now (for /status).
  bool attached() const noexcept { return attached_.load(); }

  // Waits until the work queued so far has run (for tests).
  void Flush() noexcept { worker_.Flush(); }

 private:
  // On the worker:
  void Attach(const std::shared_ptr<PageLink>& link) noexcept;
  void Ended(const std::shared_ptr<PageLink>& link) noexcept;
  void Leave(DetachReason reason) noexcept;
  void DetachFromServer() noexcept;

  ServerConnection& server_;
  Log& log_;
  const std::wstring readyEventName_;
  std::atomic<bool> attached_{false};

  // Worker state: touched by jobs only.
  std::shared_ptr<PageLink> current_;
  Microsoft::WRL::ComPtr<IDispatch> serverApplication_;
  UniqueHandle ready_;
  bool shuttingDown_ = false;

  SerialWorker worker_;  // last: it stops, and its jobs finish, before the state above goes
};

}  // namespace vaduna::connector
