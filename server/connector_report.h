// /Diagnose's account of the connector on this desktop: the session's running
// connector (from its record), the sites that may attach (the administrator's
// as the packages saved them, the user's remembered answers) and whether the
// machine policy lets the connector ask the user about a new site.
#pragma once

#include <string>

namespace vaduna {

// Appends the lines to out; returns the port the running connector published,
// or 0 when no connector of this session has published one.
unsigned short ReportDesktopConnector(std::wstring& out);

}  // namespace vaduna
