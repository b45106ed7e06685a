// A page's WebSocket as the rest of the connector sees it, and the close codes
// the connector ends a connection with.
#pragma once

#include <cstdint>
#include <string>

namespace vaduna::connector {

enum class CloseCode : std::uint16_t {
  kNormal = 1000,           // the page left, was replaced, or the connector stops
  kGoingAway = 1001,        // the connector stops before the page attached
  kProtocol = 1002,         // a message out of order or missing its fields
  kUnsupportedData = 1003,  // a binary frame: every message is text
  kMalformed = 1007,        // not JSON (or not UTF-8)
  kPolicy = 1008,           // an unknown operation, a reply to a call never made
  kTooBig = 1009,           // a frame over the frame limit
  kInternalError = 1011,    // attaching to the server failed
};

// Safe to call from any thread; neither call blocks or throws. Calls after
// Close are dropped.
class PageSocket {
 public:
  // Queues one text frame.
  virtual void Send(std::string text) noexcept = 0;
  // Sends what is queued, then closes the connection with code.
  virtual void Close(CloseCode code, std::string reason) noexcept = 0;

 protected:
  ~PageSocket() = default;
};

}  // namespace vaduna::connector
