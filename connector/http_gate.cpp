#include "connector/http_gate.h"

#include <boost/beast/http/field.hpp>
#include <boost/beast/http/verb.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <optional>

#include "connector/options.h"

namespace vaduna::connector {

namespace http = boost::beast::http;

namespace {

HttpResponse Answer(const HttpRequest& request, http::status status, std::string body,
                    std::string_view type = "text/plain; charset=utf-8") {
  HttpResponse response{status, request.version()};
  response.set(http::field::server, std::string(kServiceName) + "/" + kServiceVersion);
  response.set(http::field::cache_control, "no-store");
  if (!body.empty()) response.set(http::field::content_type, type);
  response.body() = std::move(body);
  response.keep_alive(request.keep_alive());
  return response;
}

// The request's path, without its query.
std::string_view PathOf(const HttpRequest& request) {
  const std::string_view target(request.target().data(), request.target().size());
  return target.substr(0, target.find('?'));
}

// How to allow pages of origin, for the log. An origin that --allow-origin refuses ("null") or that no
// allowed value matches exactly (one not in the form browsers send) gets no such advice.
std::string AllowHint(std::string_view origin) {
  const std::optional<std::string> allowable = NormaliseOrigin(origin);
  if (!allowable || *allowable != origin) {
    return "; no --allow-origin admits this origin (a page opened from a file or in a sandboxed frame has origin "
           "null): serve the page over http or https";
  }
  return "; start the connector with --allow-origin " + std::string(origin) + " to allow it";
}

void AddCors(HttpResponse& response, std::string_view origin) {
  response.set(http::field::access_control_allow_origin, origin);
  response.set(http::field::vary, "Origin");
}

}  // namespace

bool OriginPolicy::Allows(std::string_view origin) const noexcept {
  for (const std::string& allowed : allowed_) {
    if (allowed == origin) return true;
  }
  if (!mayAsk_) return false;
  try {
    return mayAsk_(origin);
  } catch (...) {
    return false;  // what cannot be decided is refused
  }
}

bool HostAllowed(std::string_view host, std::uint16_t port) noexcept {
  std::string_view name = host;
  std::string_view portText;
  const std::size_t colon = host.rfind(':');
  if (colon != std::string_view::npos) {
    name = host.substr(0, colon);
    portText = host.substr(colon + 1);
  }
  if (portText.empty() ? port != 80 || colon != std::string_view::npos : portText != std::to_string(port)) {
    return false;
  }
  if (name == "127.0.0.1") return true;
  constexpr std::string_view kLocal = "localhost";
  if (name.size() != kLocal.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i] >= 'A' && name[i] <= 'Z' ? static_cast<char>(name[i] - 'A' + 'a') : name[i];
    if (c != kLocal[i]) return false;
  }
  return true;
}

HttpResponse Busy(const HttpRequest& request) {
  HttpResponse response =
      Answer(request, http::status::service_unavailable, "too many pages are connected to the connector\n");
  response.keep_alive(false);
  response.prepare_payload();
  return response;
}

GateDecision Decide(const HttpRequest& request, const OriginPolicy& origins, bool attached, std::uint16_t port) {
  GateDecision decision;
  const auto hostField = request.find(http::field::host);
  const std::string_view host = hostField != request.end()
                                    ? std::string_view(hostField->value().data(), hostField->value().size())
                                    : std::string_view();
  if (!HostAllowed(host, port)) {
    decision.response = Answer(request, http::status::forbidden, "this connector answers requests for 127.0.0.1:" +
                                                                     std::to_string(port) + " only\n");
    decision.response.keep_alive(false);
    decision.response.prepare_payload();
    decision.refusal = "a request for host \"" + std::string(host.substr(0, 100)) +
                       "\" (only 127.0.0.1 and localhost on this port are answered)";
    return decision;
  }
  const auto originField = request.find(http::field::origin);
  const bool hasOrigin = originField != request.end();
  const std::string_view origin = hasOrigin ? std::string_view(originField->value().data(), originField->value().size())
                                            : std::string_view();
  const bool allowed = hasOrigin && origins.Allows(origin);
  const std::string_view path = PathOf(request);

  if (boost::beast::websocket::is_upgrade(request)) {
    if (path != "/") {
      decision.response = Answer(request, http::status::not_found, "not found\n");
      decision.refusal = "a WebSocket handshake for " + std::string(path) + " (only / takes pages)";
    } else if (!hasOrigin) {
      decision.response = Answer(request, http::status::forbidden, "a page connection needs an Origin\n");
      decision.refusal = "a WebSocket handshake without an Origin (not from a browser page)";
    } else if (!allowed) {
      decision.response = Answer(request, http::status::forbidden, "this origin may not attach pages\n");
      decision.refusal = "a page from " + std::string(origin) + ", which is not allowed" + AllowHint(origin);
    } else {
      decision.upgrade = true;
      return decision;
    }
    decision.response.keep_alive(false);
  } else if (path != "/status") {
    decision.response = Answer(request, http::status::not_found, "not found\n");
  } else if (request.method() == http::verb::get) {
    decision.response =
        Answer(request, http::status::ok,
               std::string("{\"service\":\"") + kServiceName + "\",\"version\":\"" + kServiceVersion +
                   "\",\"protocol\":" + std::to_string(contract::kProtocolVersion) +
                   ",\"attached\":" + (attached ? "true" : "false") + "}",
               "application/json");
    if (allowed) {
      AddCors(decision.response, origin);
    } else if (hasOrigin) {
      decision.refusal = "the status for a page from " + std::string(origin) + ", which is not allowed" +
                         AllowHint(origin);
    }
  } else if (request.method() == http::verb::options) {
    decision.response = Answer(request, http::status::no_content, {});
    if (allowed) {
      AddCors(decision.response, origin);
      decision.response.set(http::field::access_control_allow_methods, "GET");
      const auto privateNetwork = request.find("Access-Control-Request-Private-Network");
      if (privateNetwork != request.end() && privateNetwork->value() == "true") {
        decision.response.set("Access-Control-Allow-Private-Network", "true");
      }
    } else if (hasOrigin) {
      decision.refusal = "a preflight for a page from " + std::string(origin) + ", which is not allowed" +
                         AllowHint(origin);
    }
  } else {
    decision.response = Answer(request, http::status::method_not_allowed, "method not allowed\n");
    decision.response.set(http::field::allow, "GET, OPTIONS");
  }
  decision.response.prepare_payload();
  return decision;
}

}  // namespace vaduna::connector
