// The connector's log: one line per event (connections, refusals, attach and
// detach, errors; with --verbose also every call), on standard error. Each
// event has a name and a few fields and is written either as a time-stamped
// sentence (the default) or, with --log-format json, as one JSON object a line
// for programs that follow the connector. Safe to use from any thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vaduna::connector {

enum class LogFormat { kProse, kJson };

// The fields an event may carry; the ones left empty are not written.
struct LogFields {
  std::optional<std::uint64_t> page;      // the page connection's number
  std::optional<std::uint64_t> call;      // the call's id (rid)
  std::optional<std::uint64_t> object;    // a page object's id
  std::optional<std::uint64_t> previous;  // the page another one replaces
  std::optional<std::uint64_t> port;
  std::optional<std::uint64_t> ms;        // a duration
  std::string member;
  std::string kind;                       // get, put or call
  std::string result;                     // an HRESULT as 0x8007xxxx or an error number
  std::string origin;
  std::string message;
};

// The sentence an event reads as in the prose log (the events and their
// sentences are listed in log_events.cpp).
std::string ProseOf(std::string_view event, const LogFields& fields);
// The event as one JSON object (no line break), time first.
std::string JsonOf(std::string_view time, std::string_view event, const LogFields& fields);

class Log {
 public:
  // Where finished lines go; the default writes them to standard error.
  using Sink = std::function<void(std::string_view line)>;

  explicit Log(bool verbose = false, Sink sink = {}, LogFormat format = LogFormat::kProse);
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  bool verbose() const noexcept { return verbose_; }

  // Writes one event. Never throws.
  void Write(std::string_view event, const LogFields& fields = {}) noexcept;
  // Writes only with --verbose.
  void Detail(std::string_view event, const LogFields& fields = {}) noexcept;

 private:
  const bool verbose_;
  const LogFormat format_;
  Sink sink_;
  SRWLOCK lock_ = SRWLOCK_INIT;
};

// An HRESULT as 0x8007xxxx, for log lines and descriptions.
std::string HexCode(HRESULT code);

}  // namespace vaduna::connector
