// The connector's log events and the sentences they read as. A name in braces
// is replaced by that field; {seconds} is the ms field in whole seconds.
#include <array>
#include <cstdio>
#include <string>
#include <string_view>

#include "connector/log.h"

namespace vaduna::connector {

namespace {

struct EventText {
  std::string_view event;
  std::string_view prose;
};

constexpr std::array kEvents{
    // The connector as a whole.
    EventText{"listening", "{message} listening on 127.0.0.1:{port}, call time-out {seconds} s"},
    EventText{"listen_failed", "cannot listen on 127.0.0.1:{port}: {message}"},
    EventText{"no_origins",
              "no web application is allowed: every page is refused. Start the connector with --allow-origin "
              "scheme://host[:port] (for example --allow-origin http://127.0.0.1:8080) for each one that may "
              "attach"},
    EventText{"origin_allowed", "pages from {origin} may attach"},
    EventText{"stopping", "stopping"},
    EventText{"stopped", "stopped"},
    EventText{"failed", "{message}"},
    EventText{"already_running", "{message}"},
    EventText{"claim_failed", "this session's connector place could not be taken: {result}"},
    EventText{"started", "{message} started"},
    EventText{"port_taken", "port {port} is taken ({message}): trying the next one"},
    EventText{"asking_users", "the desktop user is asked about pages of other sites (https, or http on this computer)"},
    EventText{"desktop", "{message}"},
    // Whose program is at the other end.
    EventText{"other_user", "refused a connection from port {port}: a program of another user"},
    EventText{"owner_unknown", "refused a connection from port {port}: the program at its end could not be named"},
    EventText{"owner_unnamed",
              "the program at the other end of a connection could not be named (as under Wine, for a browser that "
              "is not a Windows program): such connections are allowed without the same-user check"},
    // Sites and the desktop user.
    EventText{"asking_user", "page {page}: asking the desktop user whether {origin} may attach"},
    EventText{"site_denied", "page {page}: the desktop user denied {origin} before"},
    EventText{"site_refused", "page {page}: {origin} may not attach"},
    // Connections.
    EventText{"accept_failed", "accepting a connection failed: {message}; trying again in {ms} ms"},
    EventText{"http_full",
              "refused connections: {message} HTTP connections are open already (logged once until one closes)"},
    EventText{"request_unreadable", "refused an HTTP request that could not be read: {message}"},
    EventText{"refused", "refused {message}"},
    EventText{"handshake_failed", "page {page}: the WebSocket handshake failed: {message}"},
    EventText{"connected", "page {page} connected from {origin}"},
    // A page's life.
    EventText{"hello", "page {page} said hello: attaching it to the server"},
    EventText{"hello_refused", "page {page}: refused: a hello of another protocol version"},
    EventText{"leave", "page {page} asks to leave"},
    EventText{"ended", "page {page} ended: {message}"},
    EventText{"disconnect_out_of_memory", "page {page}: out of memory while disconnecting its objects"},
    EventText{"release_lost", "page {page}: out of memory: the release of object {object} is lost"},
    EventText{"replaced", "page {page} replaces page {previous}"},
    EventText{"attached", "page {page} attached to the server"},
    EventText{"detached", "page {page} detached from the server"},
    EventText{"unload_failed", "OnUnload failed with {result}"},
    EventText{"replace_failed", "page {page} could not replace page {previous}, which stays attached"},
    EventText{"replaced_in_flight",
              "page {page} was replaced with {message} calls of the server still waiting for it: they fail as "
              "disconnected"},
    EventText{"unload_needless", "page {page}: the server had let go of it already ({result}); nothing left to unload"},
    EventText{"status_lost", "page {page}: out of memory: the status {message} is not sent"},
    // The server holding the page.
    EventText{"server_lost",
              "the server holding page {page} is gone ({result}): starting a new one and attaching the page to it"},
    EventText{"reattach_failed", "page {page}: {message}; trying again"},
    EventText{"reattached", "page {page} attached again, to a new server"},
    EventText{"proxy_stub_unregistered",
              "the proxy/stub classes of {message} could not be registered in the process ({result}); marshalling "
              "looks them up each time"},
    // Calls (with --verbose, but for a time-out).
    EventText{"call", "page {page}: call {call} {member} ({kind}) on object {object}"},
    EventText{"answered", "page {page}: call {call} answered {result} after {ms} ms"},
    EventText{"timed_out", "page {page}: call {call} ({member}) timed out"},
    EventText{"late_reply", "page {page}: the reply to call {call} came too late and is dropped"},
};

std::string Number(const std::optional<std::uint64_t>& value) { return value ? std::to_string(*value) : ""; }

std::string FieldText(std::string_view name, const LogFields& f) {
  if (name == "page") return Number(f.page);
  if (name == "call") return Number(f.call);
  if (name == "object") return Number(f.object);
  if (name == "previous") return Number(f.previous);
  if (name == "port") return Number(f.port);
  if (name == "ms") return Number(f.ms);
  if (name == "seconds") return f.ms ? std::to_string(*f.ms / 1000) : "";
  if (name == "member") return f.member;
  if (name == "kind") return f.kind;
  if (name == "result") return f.result;
  if (name == "origin") return f.origin;
  if (name == "message") return f.message;
  return "{" + std::string(name) + "}";
}

void AppendJsonString(std::string& out, std::string_view text) {
  out.push_back('"');
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

void AddNumber(std::string& out, std::string_view name, const std::optional<std::uint64_t>& value) {
  if (!value) return;
  out += ",\"";
  out += name;
  out += "\":";
  out += std::to_string(*value);
}

void AddText(std::string& out, std::string_view name, std::string_view value) {
  if (value.empty()) return;
  out += ",\"";
  out += name;
  out += "\":";
  AppendJsonString(out, value);
}

}  // namespace

std::string ProseOf(std::string_view event, const LogFields& fields) {
  std::string_view pattern = event;
  for (const EventText& known : kEvents) {
    if (known.event == event) pattern = known.prose;
  }
  std::string line;
  for (std::size_t at = 0; at < pattern.size();) {
    const std::size_t open = pattern.find('{', at);
    const std::size_t close = open == std::string_view::npos ? open : pattern.find('}', open);
    if (close == std::string_view::npos) {
      line.append(pattern.substr(at));
      break;
    }
    line.append(pattern.substr(at, open - at));
    line += FieldText(pattern.substr(open + 1, close - open - 1), fields);
    at = close + 1;
  }
  return line;
}

std::string JsonOf(std::string_view time, std::string_view event, const LogFields& fields) {
  std::string out = "{\"time\":";
  AppendJsonString(out, time);
  out += ",\"event\":";
  AppendJsonString(out, event);
  AddNumber(out, "page", fields.page);
  AddNumber(out, "call", fields.call);
  AddNumber(out, "object", fields.object);
  AddNumber(out, "previous", fields.previous);
  AddText(out, "member", fields.member);
  AddText(out, "kind", fields.kind);
  AddText(out, "result", fields.result);
  AddNumber(out, "ms", fields.ms);
  AddText(out, "origin", fields.origin);
  AddNumber(out, "port", fields.port);
  AddText(out, "message", fields.message);
  out.push_back('}');
  return out;
}

}  // namespace vaduna::connector
