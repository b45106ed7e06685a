// The delays between retries of a failing accept: growing, capped, and back
// to none once an accept succeeds, so that a lasting failure (out of handles,
// say) neither spins the I/O thread nor floods the log.
#pragma once

#include <algorithm>
#include <chrono>

#include "connector/limits.h"

namespace vaduna::connector {

class AcceptBackoff {
 public:
  // The delay before the next try after one more failure.
  std::chrono::milliseconds Failed() noexcept {
    delay_ = delay_.count() == 0 ? kAcceptRetryFirst : std::min(delay_ * 2, kAcceptRetryMax);
    return delay_;
  }
  void Succeeded() noexcept { delay_ = {}; }
  // Whether the delay has reached its cap (from then on one log line per failure is enough to say it lasts).
  bool capped() const noexcept { return delay_ >= kAcceptRetryMax; }

 private:
  std::chrono::milliseconds delay_{};
};

}  // namespace vaduna::connector
