#include "connector/connections.h"

#include <utility>

#include "connector/limits.h"

namespace vaduna::connector {

std::uint64_t Connections::Open() noexcept {
  SrwExclusive hold(lock_);
  if (open_.size() >= kMaxPageConnections) return 0;
  try {
    open_.emplace(lastNumber_ + 1, std::weak_ptr<PageLink>());
  } catch (...) {
    return 0;
  }
  return ++lastNumber_;
}

void Connections::Closed(std::uint64_t number) noexcept {
  SrwExclusive hold(lock_);
  open_.erase(number);
}

void Connections::SetLink(std::uint64_t number, std::weak_ptr<PageLink> link) noexcept {
  SrwExclusive hold(lock_);
  const auto found = open_.find(number);
  if (found != open_.end()) found->second = std::move(link);
}

bool Connections::OpenHttp() noexcept {
  SrwExclusive hold(lock_);
  if (http_ >= kMaxHttpConnections) return false;
  ++http_;
  return true;
}

void Connections::ClosedHttp() noexcept {
  SrwExclusive hold(lock_);
  if (http_ > 0) --http_;
  httpRefusalLogged_ = false;
}

bool Connections::FirstHttpRefusal() noexcept {
  SrwExclusive hold(lock_);
  return !std::exchange(httpRefusalLogged_, true);
}

std::vector<std::shared_ptr<PageLink>> Connections::Links() const {
  std::vector<std::shared_ptr<PageLink>> links;
  SrwShared hold(lock_);
  for (const auto& [number, link] : open_) {
    if (auto live = link.lock()) links.push_back(std::move(live));
  }
  return links;
}

std::size_t Connections::open() const noexcept {
  SrwShared hold(lock_);
  return open_.size();
}

}  // namespace vaduna::connector
