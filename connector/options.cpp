#include "connector/options.h"

#include <charconv>
#include <cwchar>
#include <vector>

#include "connector/limits.h"
#include "connector/utf.h"
#include "vaduna_contract.h"

namespace vaduna::connector {

std::string Usage() {
  return std::string("usage: ") + contract::kConnectorProgram +
         " [--port N] [--allow-origin ORIGIN]... [--call-timeout S] [--verbose] [--log-format F]\n"
         "  --port N             loopback port to listen on (default: the first free one of " +
         std::to_string(contract::kConnectorDefaultPort) + " to " +
         std::to_string(contract::kConnectorDefaultPort + contract::kConnectorPortCount - 1) +
         "; 0: any free port)\n"
         "  --allow-origin O     a web application that may attach, as scheme://host[:port]\n"
         "                       (for example http://127.0.0.1:8080); repeatable; none: every page is refused\n"
         "  --call-timeout S     seconds a call waits for the page (default " +
         std::to_string(kDefaultCallTimeoutSeconds) +
         ")\n"
         "  --verbose            log every call\n"
         "  --log-format F       prose (default: a sentence a line) or json (one object a line: time, event\n"
         "                       and where they apply page, call, object, previous, member, kind, result,\n"
         "                       ms, origin, port, message). Events: listening, listen_failed, no_origins,\n"
         "                       origin_allowed, refused, request_unreadable, accept_failed, connected,\n"
         "                       handshake_failed, hello, hello_refused, leave, replaced, attached, detached,\n"
         "                       unload_failed, ended, call, answered, timed_out, late_reply, release_lost,\n"
         "                       disconnect_out_of_memory, stopping, stopped, started, port_taken,\n"
         "                       asking_users, asking_user, site_denied, site_refused, other_user,\n"
         "                       owner_unknown, owner_unnamed, desktop\n"
         "  --list-sites         list the sites that may attach (the administrator's, the remembered answers)\n"
         "  --forget-site O      forget the remembered answer for O, so that its pages are asked about again\n"
         "  --forget-all-sites   forget every remembered answer\n";
}

namespace {

bool IsHostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

std::optional<unsigned> ParseNumber(std::string_view text, unsigned max) {
  unsigned value = 0;
  if (text.empty()) return std::nullopt;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
  return value;
}

bool AllDigits(std::string_view text, int base) {
  for (char c : text) {
    const bool digit = c >= '0' && c <= '9' && (c - '0') < base;
    const bool hex = base == 16 && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'));
    if (!digit && !hex) return false;
  }
  return true;
}

// One part of a numeric host: hexadecimal after 0x, octal after a leading 0, else decimal.
std::optional<std::uint64_t> Ipv4Part(std::string_view part) {
  int base = 10;
  if (part.size() >= 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
    base = 16;
    part.remove_prefix(2);
    if (part.empty()) return 0;
  } else if (part.size() >= 2 && part[0] == '0') {
    base = 8;
    part.remove_prefix(1);
  }
  if (part.empty() || !AllDigits(part, base)) return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value, base);
  if (error != std::errc() || value > 0xffffffffu) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::string> CanonicalIpv4(std::string_view host) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    const std::size_t dot = host.find('.', start);
    parts.push_back(host.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  if (parts.size() > 1 && parts.back().empty()) parts.pop_back();  // one final dot is allowed
  const std::string_view last = parts.back();
  const bool hexLast = last.size() >= 2 && last[0] == '0' && (last[1] == 'x' || last[1] == 'X');
  const bool endsInNumber = hexLast ? AllDigits(last.substr(2), 16) : !last.empty() && AllDigits(last, 10);
  if (!endsInNumber) return std::nullopt;
  if (parts.size() > 4) return std::string();
  std::uint64_t address = 0;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::optional<std::uint64_t> value = Ipv4Part(parts[i]);
    if (!value) return std::string();
    const bool isLast = i + 1 == parts.size();
    // The last part fills the bytes the parts before it left.
    const std::uint64_t limit = isLast ? (std::uint64_t{1} << (8 * (5 - parts.size()))) : 256;
    if (*value >= limit) return std::string();
    address = isLast ? (address << (8 * (5 - parts.size()))) | *value : (address << 8) | *value;
  }
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xff) + "." +
         std::to_string((address >> 8) & 0xff) + "." + std::to_string(address & 0xff);
}

std::optional<std::string> NormaliseOrigin(std::string_view value) {
  std::string text(value);
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  std::string_view rest(text);
  std::string scheme;
  if (rest.starts_with("http://")) {
    scheme = "http";
  } else if (rest.starts_with("https://")) {
    scheme = "https";
  } else {
    return std::nullopt;
  }
  rest.remove_prefix(scheme.size() + 3);
  std::string_view host = rest;
  std::string_view port;
  if (rest.starts_with("[")) {  // an IPv6 literal
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos || close == 1) return std::nullopt;
    for (char c : rest.substr(1, close - 1)) {
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == ':' || c == '.')) return std::nullopt;
    }
    host = rest.substr(0, close + 1);
    rest.remove_prefix(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return std::nullopt;
      port = rest.substr(1);
      if (port.empty()) return std::nullopt;
    }
  } else {
    const std::size_t colon = rest.find(':');
    if (colon != std::string_view::npos) {
      host = rest.substr(0, colon);
      port = rest.substr(colon + 1);
      if (port.empty()) return std::nullopt;
    }
    if (host.empty() || host.front() == '.' || host.front() == '-') return std::nullopt;
    for (char c : host) {
      if (!IsHostCharacter(c)) return std::nullopt;  // also refuses a path, a query, user info, "*"
    }
  }
  std::string origin = scheme + "://" + std::string(host);
  if (!port.empty()) {
    const std::optional<unsigned> number = ParseNumber(port, 65535);
    if (!number || *number == 0) return std::nullopt;
    const bool defaultPort = (scheme == "http" && *number == 80) || (scheme == "https" && *number == 443);
    if (!defaultPort) origin += ":" + std::to_string(*number);
  }
  return origin;
}

std::optional<std::string> ParseOptions(int argc, const wchar_t* const* argv, Options& options) {
  options = Options{};
  options.callTimeoutSeconds = kDefaultCallTimeoutSeconds;
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
      options.help = true;
    } else if (arg == L"--verbose") {
      options.verbose = true;
    } else if (arg == L"--log-format") {
      if (!hasValue) return "--log-format needs a value";
      const std::wstring_view value = argv[++i];
      if (value == L"json") {
        options.logFormat = LogFormat::kJson;
      } else if (value == L"prose") {
        options.logFormat = LogFormat::kProse;
      } else {
        return "--log-format " + ToUtf8(value) + ": not prose or json";
      }
    } else if (arg == L"--list-sites") {
      options.listSites = true;
    } else if (arg == L"--forget-all-sites") {
      options.forgetAllSites = true;
    } else if (arg == L"--forget-site") {
      if (!hasValue) return "--forget-site needs a value";
      options.forgetSite = ToUtf8(argv[++i]);
    } else if (arg == L"--port" || arg == L"--call-timeout" || arg == L"--allow-origin") {
      if (!hasValue) return ToUtf8(arg) + " needs a value";
      const std::string value = ToUtf8(argv[++i]);
      if (arg == L"--port") {
        const std::optional<unsigned> port = ParseNumber(value, 65535);
        if (!port) return "--port " + value + ": not a port number (0 to 65535)";
        options.port = static_cast<std::uint16_t>(*port);
        options.portGiven = true;
      } else if (arg == L"--call-timeout") {
        const std::optional<unsigned> seconds = ParseNumber(value, kMaxCallTimeoutSeconds);
        if (!seconds || *seconds == 0) {
          return "--call-timeout " + value + ": not a number of seconds from 1 to " +
                 std::to_string(kMaxCallTimeoutSeconds);
        }
        options.callTimeoutSeconds = *seconds;
      } else {
        const std::optional<std::string> origin = NormaliseOrigin(value);
        if (!origin) {
          return "--allow-origin " + value +
                 ": not an origin; write scheme://host[:port] with no path, for example http://127.0.0.1:8080 "
                 "(\"null\" and wildcards are not accepted)";
        }
        // A numeric host in another form than browsers send would never match their Origin.
        const std::size_t hostStart = origin->find("://") + 3;
        const std::size_t hostEnd = origin->find(':', hostStart);
        const std::string host = origin->substr(hostStart, hostEnd - hostStart);
        const std::optional<std::string> canonical = host.starts_with("[") ? std::nullopt : CanonicalIpv4(host);
        if (canonical && canonical->empty()) return "--allow-origin " + value + ": " + host + " is no IPv4 address";
        if (canonical && *canonical != host) {
          const std::string written = origin->substr(0, hostStart) + *canonical + origin->substr(host.size() + hostStart);
          return "--allow-origin " + value + ": browsers write this address as " + *canonical +
                 "; write --allow-origin " + written;
        }
        options.allowedOrigins.push_back(*origin);
      }
    } else {
      return "unknown argument " + ToUtf8(arg);
    }
  }
  return std::nullopt;
}

}  // namespace vaduna::connector
