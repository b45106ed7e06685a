// The connector's command line.
//
//   connector [--port N] [--allow-origin ORIGIN]... [--call-timeout S] [--verbose] [--log-format prose|json]
//   connector --list-sites | --forget-site ORIGIN | --forget-all-sites
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "connector/log.h"
#include "vaduna_contract.h"

namespace vaduna::connector {

struct Options {
  std::uint16_t port = contract::kConnectorDefaultPort;  // 0: a free port chosen by the system
  bool portGiven = false;  // --port: only that port; else the first free of the connectors' range
  std::vector<std::string> allowedOrigins;  // normalised scheme://host[:port]
  unsigned callTimeoutSeconds = 0;          // set by ParseOptions
  bool verbose = false;
  LogFormat logFormat = LogFormat::kProse;
  bool help = false;
  bool listSites = false;   // print the sites that may attach, then end
  std::string forgetSite;   // forget the user's answer for this origin, then end; empty: none
  bool forgetAllSites = false;  // forget every answer the user gave, then end (uninstalling does)
};

// The options of argv, or the reason they are wrong (for the usage message).
std::optional<std::string> ParseOptions(int argc, const wchar_t* const* argv, Options& options);

// An --allow-origin value in the form browsers send: scheme and host in lower
// case, a default port (80 for http, 443 for https) left out. Nothing when the
// value is not an http(s) origin; "null" (files, sandboxed frames) and
// wildcards are refused, since they would admit any such page.
std::optional<std::string> NormaliseOrigin(std::string_view value);

// For a host that ends in a number, as browsers read it (127.1, 0x7f.0.0.1,
// 2130706433): its IPv4 address in the dotted form browsers send, or an empty
// string when it is no address. Nothing for a host name.
std::optional<std::string> CanonicalIpv4(std::string_view host);

// The usage message, for --help and a wrong command line.
std::string Usage();

}  // namespace vaduna::connector
