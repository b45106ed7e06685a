// Whose program is at the other end of a loopback connection. On a machine
// that several users share, every user's connector listens on 127.0.0.1: a
// page of another user's browser must never attach to this user's desktop
// programs, nor read this user's /status.
//
// The system's TCP table names the process that owns the peer's end, and
// that process's token names its user. Where the platform cannot name the
// process (Wine, for a browser that is not a Windows program) the connection
// is allowed, and that is logged once; on Windows an unknown owner is refused.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "base/platform.h"
#include "connector/http_gate.h"
#include "connector/log.h"

namespace vaduna::connector {

enum class PeerUser { kSame, kOther, kUnknown };

// Both ends of a connection accepted on 127.0.0.1, by port.
struct LoopbackPair {
  std::uint16_t peerPort = 0;  // the client's end
  std::uint16_t ownPort = 0;   // the connector's listening port
};

// The owner of the peer's end: the TCP table, then the owning process's token.
PeerUser SystemPeerUser(const LoopbackPair& pair) noexcept;

class PeerUserCheck {
 public:
  using Lookup = std::function<PeerUser(const LoopbackPair&)>;

  explicit PeerUserCheck(Log& log, Lookup lookup = SystemPeerUser, bool unknownAllowed = RunningUnderWine())
      : log_(log), lookup_(std::move(lookup)), unknownAllowed_(unknownAllowed) {}

  // Whether the connection may be answered; refusals and the first allowed unknown owner are logged.
  bool Admits(const LoopbackPair& pair) noexcept;

 private:
  Log& log_;
  const Lookup lookup_;
  const bool unknownAllowed_;
  std::atomic<bool> unknownSaid_{false};
};

// 403 with {"service": ..., "refused": "other-user"}, readable by the page that asked (its Origin echoed), so
// that a page searching the port range passes over another user's connector knowingly.
HttpResponse OtherUsersConnector(const HttpRequest& request);

}  // namespace vaduna::connector
