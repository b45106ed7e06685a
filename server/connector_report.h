// /Diagnose's account of the connector on this desktop: the session's running
// connector (from its record), the sites that may attach (the administrator's
// as the packages saved them, the user's remembered answers) and whether the
// machine policy lets the connector ask the user about a new site; then who
// answers on each port of the connectors' range (each user's connector takes
// the first free one, so on a shared machine several are found).
#pragma once

#include <string>
#include <string_view>

namespace vaduna {

// Appends the lines to out; returns the port the running connector published,
// or 0 when no connector of this session has published one.
unsigned short ReportDesktopConnector(std::wstring& out);

// What a port's answer to GET /status says.
enum class PortOwner { kThisUser, kOtherUser, kNotConnector };
struct PortAnswer {
  PortOwner owner = PortOwner::kNotConnector;
  bool attached = false;   // this user's connector: a page is attached
  std::wstring detail;     // not a connector: what answered instead
};

// answer: the whole HTTP answer (status line, headers, body) as received.
PortAnswer ClassifyStatusAnswer(std::string_view answer);

// Appends a line per port of the range that answers (and for published, the
// port this session's connector published, when it lies outside the range).
void ReportConnectorPorts(std::wstring& out, unsigned short published);

}  // namespace vaduna
