// What a plain HTTP request on the connector's port gets, decided before any
// WebSocket upgrade: the origin allowlist, the status answer with its CORS
// headers, and the refusals.
//
//   GET /status        200, the status JSON; CORS headers for an allowed Origin only
//   OPTIONS /status    204 preflight, the same CORS headers, Access-Control-Allow-Private-Network when asked
//   WebSocket on /     upgrade for an allowed Origin; 403 for any other or none
//   anything else      404 (path) or 405 (method)
//
// First of all the Host header must name this computer's loopback address
// with the connector's port (403 otherwise): a page of another site whose
// name was made to resolve to 127.0.0.1 sends its own name there.
#pragma once

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>
#include "vaduna_contract.h"

namespace vaduna::connector {

using HttpRequest = boost::beast::http::request<boost::beast::http::empty_body>;
using HttpResponse = boost::beast::http::response<boost::beast::http::string_body>;

// The /status answer names the service and its version.
inline constexpr const char* kServiceName = contract::kStatusService;
inline constexpr const char* kServiceVersion = contract::kProductVersion;

// The web applications that may attach: exact scheme://host[:port] matches
// of the administrator's origins, and those whose pages may ask the desktop
// user (mayAsk, when given: what the desktop side decides at each request).
class OriginPolicy {
 public:
  using MayAsk = std::function<bool(std::string_view origin)>;
  explicit OriginPolicy(std::vector<std::string> allowed, MayAsk mayAsk = {})
      : allowed_(std::move(allowed)), mayAsk_(std::move(mayAsk)) {}
  bool Allows(std::string_view origin) const noexcept;
  // No page can attach: no administrator's origin and nobody to ask.
  bool empty() const noexcept { return allowed_.empty() && !mayAsk_; }

 private:
  std::vector<std::string> allowed_;
  MayAsk mayAsk_;
};

struct GateDecision {
  bool upgrade = false;    // a WebSocket handshake that may go ahead
  HttpResponse response;   // otherwise the answer
  std::string refusal;     // for the log: why a request was refused; empty when it was not
};

// Whether a Host header value names the connector listening on port: 127.0.0.1 or localhost (any case), with
// the port (left out only when it is 80).
bool HostAllowed(std::string_view host, std::uint16_t port) noexcept;

GateDecision Decide(const HttpRequest& request, const OriginPolicy& origins, bool attached, std::uint16_t port);

// A refusal of a handshake for want of room (kMaxPageConnections).
HttpResponse Busy(const HttpRequest& request);

}  // namespace vaduna::connector
