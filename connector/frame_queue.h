// The frames waiting to be written to one page, counted in bytes so that a
// page that stops reading cannot grow them without bound.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

namespace vaduna::connector {

class FrameQueue {
 public:
  explicit FrameQueue(std::size_t maxBytes) : maxBytes_(maxBytes) {}

  // Queues frame; false, queuing nothing, when the unsent bytes would exceed the bound.
  bool Push(std::string frame) {
    if (frame.size() > maxBytes_ - bytes_) return false;
    bytes_ += frame.size();
    frames_.push_back(std::move(frame));
    return true;
  }
  // The next frame to write; it counts until Pop.
  const std::string& front() const { return frames_.front(); }
  void Pop() {
    bytes_ -= frames_.front().size();
    frames_.pop_front();
  }
  // Drops every frame but the first, which may be being written.
  void DropWaiting() {
    while (frames_.size() > 1) {
      bytes_ -= frames_.back().size();
      frames_.pop_back();
    }
  }
  void Clear() {
    frames_.clear();
    bytes_ = 0;
  }
  bool empty() const noexcept { return frames_.empty(); }
  std::size_t bytes() const noexcept { return bytes_; }

 private:
  const std::size_t maxBytes_;
  std::size_t bytes_ = 0;
  std::deque<std::string> frames_;
};

}  // namespace vaduna::connector
