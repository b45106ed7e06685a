// How both connector executables start in a user's session: the command
// line's site commands, one connector per session, then serving with the
// running connector's record published (for a second start and /Diagnose)
// and, for the windowless one, the notification icon.
#pragma once

#include <cstdio>
#include <string>

#include "connector/log.h"
#include "connector/options.h"

namespace vaduna::connector::desktop {

struct SessionStart {
  std::wstring logFile;     // where this connector logs, published in its record; empty: standard error
  bool notifyIcon = false;  // show the icon in the notification area
  bool askUser = false;     // ask the desktop user about sites the administrator did not give
  std::FILE* out = stdout;  // where --list-sites and --forget-site answer
};

// The process's exit code: 0 after a clean end, after a site command, and when
// another connector serves this session (which is logged); 1 when it cannot
// serve or a site command failed; 2 for a value that is not an origin.
int RunInSession(const Options& options, Log& log, const SessionStart& start);

}  // namespace vaduna::connector::desktop
