// The connector's log: one line per event (connections, refusals, attach and
// detach, errors; with --verbose also every call), time-stamped, on standard
// error. Safe to use from any thread.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

namespace vaduna::connector {

class Log {
 public:
  // Where finished lines go; the default writes them to standard error.
  using Sink = std::function<void(std::string_view line)>;

  explicit Log(bool verbose = false, Sink sink = {});
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  bool verbose() const noexcept { return verbose_; }

  // Writes one line (UTF-8, no line break at the end). Never throws.
  void Write(std::string_view text) noexcept;
  // Writes only with --verbose.
  void Detail(std::string_view text) noexcept;

 private:
  const bool verbose_;
  Sink sink_;
  SRWLOCK lock_ = SRWLOCK_INIT;
};

// An HRESULT as 0x8007xxxx, for log lines and descriptions.
std::string HexCode(HRESULT code);

}  // namespace vaduna::connector
