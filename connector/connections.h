// The WebSocket connections of pages: their number (at most
// kMaxPageConnections at once), the numbers that name them in the log, and
// their links, which the shutdown ends. Also the count of plain HTTP
// connections (at most kMaxHttpConnections).
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "base/unique_resource.h"

namespace vaduna::connector {

class PageLink;

class Connections {
 public:
  // Takes a place for one more connection and answers its number; 0 at the limit.
  std::uint64_t Open() noexcept;
  // Gives the place of connection number back.
  void Closed(std::uint64_t number) noexcept;
  // The link of connection number, once its WebSocket is open.
  void SetLink(std::uint64_t number, std::weak_ptr<PageLink> link) noexcept;

  // Takes a place for one more HTTP connection; false at the limit.
  bool OpenHttp() noexcept;
  void ClosedHttp() noexcept;
  // True for the first refusal since the HTTP connections were last below the limit: it is logged, the rest not.
  bool FirstHttpRefusal() noexcept;

  std::vector<std::shared_ptr<PageLink>> Links() const;
  std::size_t open() const noexcept;

 private:
  mutable SRWLOCK lock_ = SRWLOCK_INIT;
  std::uint64_t lastNumber_ = 0;
  std::map<std::uint64_t, std::weak_ptr<PageLink>> open_;
  std::size_t http_ = 0;
  bool httpRefusalLogged_ = false;
};

}  // namespace vaduna::connector
