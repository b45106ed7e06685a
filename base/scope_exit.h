// Runs a clean-up when the enclosing block is left, whichever way.
#pragma once

#include <utility>

namespace vaduna {

template <class CleanUp>
class [[nodiscard]] ScopeExit {
 public:
  explicit ScopeExit(CleanUp cleanUp) noexcept : cleanUp_(std::move(cleanUp)) {}
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;
  ~ScopeExit() { cleanUp_(); }

 private:
  CleanUp cleanUp_;
};

}  // namespace vaduna
