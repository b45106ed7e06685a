// The connector: stands in for a browser page towards COM. Pages of the
// allowed web applications connect on a loopback WebSocket and attach their
// script application to the desktop integration server through COM objects of
// this process; desktop clients' calls reach the page's objects by member name.
//
//   connector [--port N] [--allow-origin ORIGIN]... [--call-timeout S] [--verbose] [--log-format prose|json]
//   connector --list-sites | --forget-site ORIGIN
//
// One connector per user session: a second start says which one runs and
// ends with 0.
// Prints "listening on ws://127.0.0.1:PORT" once it listens; logs on standard
// error. Ends on Ctrl+C (or when its console closes) after detaching the
// attached page. Exit code 0, 1 when it cannot listen, 2 for a wrong command line.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <optional>
#include <string>

#include "connector/log.h"
#include "connector/options.h"
#include "connector/desktop/session_start.h"
#include "connector/start_up.h"
#include "vaduna_contract.h"

namespace {

using namespace vaduna::connector;

// Every console event stops the connector cleanly. After a close, logoff or
// shutdown the process ends as soon as the handler returns: wait (boundedly)
// for the clean end first.
BOOL WINAPI OnConsoleControl(DWORD event) {
  const bool ending = event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
  RequestStop(ending);
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (const std::optional<std::string> wrong = ParseOptions(argc, argv, options)) {
    std::fprintf(stderr, "%s: %s\n%s", vaduna::contract::kConnectorProgram, wrong->c_str(), Usage().c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(Usage().c_str(), stdout);
    return 0;
  }
  const HRESULT init = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(init)) {
    std::fprintf(stderr, "%s: CoInitializeEx failed with %s\n", vaduna::contract::kConnectorProgram, HexCode(init).c_str());
    return 1;
  }
  int exitCode = 1;
  try {
    Log log(options.verbose, {}, options.logFormat);
    ::SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
    exitCode = desktop::RunInSession(options, log, desktop::SessionStart{});
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "%s: %s\n", vaduna::contract::kConnectorProgram, failure.what());
  }
  ::CoUninitialize();
  return exitCode;
}
