// What every connection of the connector shares.
#pragma once

#include <cstdint>
#include <functional>

#include "connector/connections.h"
#include "connector/http_gate.h"
#include "connector/log.h"
#include "connector/page_link.h"
#include "connector/page_site.h"
#include "connector/peer_user.h"

namespace vaduna::connector {

struct SessionContext {
  const OriginPolicy& origins;
  PageSite& site;
  Log& log;
  Connections& connections;
  PageLink::Settings linkSettings;
  std::function<bool()> attached;  // for /status
  std::uint16_t port = 0;          // the listening port, which a request's Host must name
  PeerUserCheck* peers = nullptr;  // whose programs may be answered; null: anyone's (the tests' streams)
};

}  // namespace vaduna::connector
