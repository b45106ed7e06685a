// What every connection of the connector shares.
#pragma once

#include <functional>

#include "page_bridge/connections.h"
#include "page_bridge/http_gate.h"
#include "page_bridge/log.h"
#include "page_bridge/page_link.h"
#include "page_bridge/page_site.h"

namespace vaduna::page_bridge {

struct SessionContext {
  const OriginPolicy& origins;
  PageSite& site;
  Log& log;
  Connections& connections;
  PageLink::Settings linkSettings;
  std::function<bool()> attached;  // for /status
};

}  // namespace vaduna::page_bridge
