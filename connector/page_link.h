// One page's link: the page protocol on one WebSocket connection. It reads
// the page's messages (hello, reply, detach), makes the calls of the page's
// COM objects (one request and its reply each, matched by request id, many
// at once), keeps the page's object table and sends the release messages.
//
// A calling COM thread waits on its own request's completion, never longer
// than the call time-out; a late reply is dropped (its references still
// count). When the link ends, every pending and later call fails with
// RPC_E_DISCONNECTED and nothing more is sent to the page.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <boost/json/fwd.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <string_view>

#include "connector/limits.h"
#include "connector/log.h"
#include "connector/object_table.h"
#include "connector/page_object.h"
#include "connector/page_site.h"
#include "connector/page_socket.h"
#include "connector/wire_values.h"

namespace vaduna::connector {

enum class DetachReason { kReplaced, kClosed, kShutdown };

// The results of calls that cannot reach the page.
inline constexpr HRESULT kCallTimedOut = HresultFromStatus(ERROR_TIMEOUT);  // 0x800705B4
inline constexpr HRESULT kTooManyCalls = HresultFromStatus(ERROR_BUSY);

class PageLink final : public PageObjectOwner,
                       public ObjectRefs,
                       public std::enable_shared_from_this<PageLink> {
 public:
  struct Settings {
    std::chrono::milliseconds callTimeout{std::chrono::seconds(kDefaultCallTimeoutSeconds)};
    std::chrono::milliseconds helloTimeout{kHelloTimeout};  // applied by the socket's session
  };

  // number names the page in the log; origin is its handshake's Origin.
  PageLink(std::weak_ptr<PageSocket> socket, PageSite& site, Log& log, Settings settings, std::uint64_t number,
           std::string origin);
  ~PageLink();

  std::uint64_t number() const noexcept { return number_; }
  const std::string& origin() const noexcept { return origin_; }

  // ---- The socket's side ----

  // One text frame from the page. A frame that breaks the protocol ends the link with its close code.
  void ReceiveFrame(std::string_view frame) noexcept;
  // A frame the connector does not take (binary): ends the link with code.
  void Refuse(CloseCode code, std::string_view what) noexcept;
  // The connection closed or failed (why: for the log).
  void SocketClosed(std::string_view why) noexcept;

  // ---- The attachment's side ----

  // The page's application object from its hello; null before the hello and after the end.
  Microsoft::WRL::ComPtr<IDispatch> Application() const;
  // Tells the page that it is attached; false when the link ended meanwhile.
  bool ReportAttached() noexcept;
  // Tells the attached page how its link to the server stands (`server-lost`, `reattached`).
  void ReportStatus(const char* state) noexcept;
  // Whether the page has said hello (the hello time-out no longer runs).
  bool greeted() const noexcept;
  // Ends the link: the page is told `detached` with reason, and the socket closes with 1000.
  void Detach(DetachReason reason) noexcept;
  // Ends the link after a failure: the page is told `error` with message (and errorCode, a word the page
  // library turns into its error's code, when given), and the socket closes with code.
  void Fail(std::string_view message, CloseCode code, std::string_view errorCode = {}) noexcept;
  // How long the page waits for the desktop user's answer, as its hello said; nothing when it did not say.
  std::optional<std::chrono::milliseconds> consentTimeout() const noexcept;
  // Cuts the remote references to the page's remaining COM objects (CoDisconnectObject), so that they are
  // freed; only once the link has ended. A COM call: never on the I/O thread.
  void DisconnectObjects() noexcept;
  // The same while the link lives: the references a server that is gone held are never given back otherwise.
  // The page's application object stays alive through the link's own reference.
  void CutRemoteReferences() noexcept;

  bool ended() const noexcept;
  std::size_t pendingCalls() const noexcept;
  const ObjectTable& objects() const noexcept { return objects_; }

  // ---- PageObjectOwner ----
  HRESULT CallPage(std::uint64_t target, const std::wstring& member, CallKind kind, const DISPPARAMS& params,
                   VARIANT* result, CallFailure& failure) noexcept override;
  void LastReleased(PageObject& object) noexcept override;

  // ---- ObjectRefs ----
  std::optional<std::uint64_t> IdOf(IUnknown* object) noexcept override;
  HRESULT Receive(std::uint64_t id, IDispatch** object) noexcept override;

 private:
  enum class State { kGreeting, kAttaching, kAttached, kEnded };
  struct PendingCall;

  void Dispatch(const boost::json::object& message);
  void HandleHello(const boost::json::object& message);
  void HandleReply(const boost::json::object& message);
  // Ends the link: frame (if any) is the last one sent, then the socket closes with code.
  void End(std::string lastFrame, CloseCode code, std::string why) noexcept;
  // Sends call rid; S_OK, or why it could not be sent.
  HRESULT SendCall(std::uint64_t rid, std::uint64_t target, const std::wstring& member, CallKind kind,
                   boost::json::array args, CallFailure& failure) noexcept;
  State CurrentState() const noexcept;
  void Send(std::string frame) noexcept;

  const std::weak_ptr<PageSocket> socket_;
  PageSite& site_;
  Log& log_;
  const Settings settings_;
  const std::uint64_t number_;
  const std::string origin_;

  mutable SRWLOCK lock_ = SRWLOCK_INIT;  // guards everything below
  State state_ = State::kGreeting;
  std::uint64_t lastRid_ = 0;
  std::map<std::uint64_t, PendingCall*> pending_;  // owned by the waiting threads
  Microsoft::WRL::ComPtr<IDispatch> application_;
  std::optional<std::chrono::milliseconds> consentTimeout_;

  ObjectTable objects_;  // its own lock
};

}  // namespace vaduna::connector
