// The page side of the server's readiness contract. One page at a time is
// attached: its application object handed to a server application object
// through AttachAppObject, and the readiness event contract::kReadyEventName (a
// manual-reset event) set. When the page goes, the event is reset, OnUnload
// called and everything released, so that the server can end by itself. A
// page that attaches while another is attached replaces it once its own
// attachment has succeeded: only then is the earlier page detached (told
// `replaced`); a newcomer that fails changes nothing.
//
// The server holding the page is probed every kServerCheckInterval. Once it
// is gone the event is reset, the page told `server-lost`, and a new server
// is started and given the same application object (the page told
// `reattached`); clients that come meanwhile wait on the event.
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
#include "connector/limits.h"
#include "connector/log.h"
#include "connector/page_link.h"
#include "connector/page_site.h"
#include "connector/serial_worker.h"
#include "connector/server_connection.h"
#include "vaduna_contract.h"

namespace vaduna::connector {

class Attachment final : public PageSite {
 public:
  // checkIntervalMs 0: the server is probed only on CheckServer (for tests).
  Attachment(ServerConnection& server, Log& log, std::wstring readyEventName = contract::kReadyEventName,
             DWORD checkIntervalMs = static_cast<DWORD>(kServerCheckInterval.count()));
  ~Attachment();  // runs the queued work, then stops the worker

  void AttachRequested(std::shared_ptr<PageLink> link) noexcept override;
  void PageEnded(std::shared_ptr<PageLink> link) noexcept override;

  // Detaches the attached page (told `shutdown`) and refuses every later page; then runs done on the worker.
  void Shutdown(std::function<void()> done) noexcept;

  // Whether a page is attached to the server now (for /status).
  bool attached() const noexcept { return attached_.load(); }

  // Told, on the attachment's thread, the origin of each page once the server has it and the page heard so,
  // and "" once no page is attached. Set before the first page comes.
  void Watch(std::function<void(const std::string& origin)> watch) noexcept { watch_ = std::move(watch); }

  // Probes the server now (queued like any other work).
  void CheckServer() noexcept;

  // Waits until the work queued so far has run (for tests).
  void Flush() noexcept { worker_.Flush(); }

 private:
  // On the worker:
  void Attach(const std::shared_ptr<PageLink>& link) noexcept;
  void Ended(const std::shared_ptr<PageLink>& link) noexcept;
  void Check() noexcept;
  void Reattach() noexcept;
  // Creates the readiness event unless it exists; false with failure set when it cannot.
  bool EnsureEvent(std::string& failure) noexcept;
  // A new server application object with page attached to it; false with failure set when it fails.
  bool Connect(IDispatch* page, Microsoft::WRL::ComPtr<IDispatch>& serverApplication, std::string& failure) noexcept;
  void KeepCurrent(const std::shared_ptr<PageLink>& newcomer, Microsoft::WRL::ComPtr<IDispatch> newcomerServer) noexcept;
  void Retire(const std::shared_ptr<PageLink>& replaced, Microsoft::WRL::ComPtr<IDispatch> replacedServer) noexcept;
  void Unload(IDispatch* serverApplication, const PageLink& link) noexcept;
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
  bool reattachFailed_ = false;  // logged once until it succeeds
  std::function<void(const std::string&)> watch_;
  void Tell(const std::string& origin) noexcept;

  SerialWorker worker_;  // last: it stops, and its jobs finish, before the state above goes
};

}  // namespace vaduna::connector
