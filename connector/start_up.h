// The connector's start-up and clean end, shared by the console executable and
// the windowless one that logon starts: listen, serve pages until asked to
// stop, then detach the attached page (the server sees OnUnload) and every
// other one.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "connector/attachment.h"
#include "connector/http_gate.h"
#include "connector/log.h"
#include "connector/options.h"
#include "connector/page_site.h"

namespace vaduna::connector {

// How long a stop that must wait (the end of a session) waits for the clean end.
inline constexpr std::chrono::milliseconds kStopWait{5000};

struct StartUpHooks {
  // Origins beyond the administrator's whose pages may connect (and then ask the user); none when not given.
  OriginPolicy::MayAsk mayAsk;
  // The site pages attach through, given the attachment; the attachment itself when not given.
  std::function<PageSite&(Attachment& attachment)> site;
  // On the I/O thread, once the connector listens on port.
  std::function<void(std::uint16_t port)> listening;
  // When listening fails, with the reason (already logged).
  std::function<void(const std::string& reason)> cannotListen;
};

// Serves until RequestStop. Returns the exit code: 0 after a clean end, 1 when
// it cannot listen.
int RunConnector(const Options& options, Log& log, const StartUpHooks& hooks = {});

// From any thread: asks the running connector to stop. With waitForEnd, returns
// once it has ended cleanly or after kStopWait; a stop asked before the
// connector runs, or after it ended, does nothing.
void RequestStop(bool waitForEnd) noexcept;

}  // namespace vaduna::connector
