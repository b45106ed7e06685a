// The connector as logon starts it (contract::kConnectorWindowlessFile): built
// for the Windows GUI subsystem, so that no console window opens, and none can
// be closed to stop it. It takes the console connector's command line, logs to
// %LOCALAPPDATA%\<contract::kLogFile> instead of standard error (in prose until
// the command line is read, then as --log-format and --verbose say), and shows its
// state and menu in the notification area (where there is one; else it says
// so in its log and serves on). It ends from the icon's menu or with the
// user's session.
//
// Exit codes as the console connector's.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <optional>
#include <string>

#include "base/unique_resource.h"
#include "connector/desktop/log_file.h"
#include "connector/desktop/session_start.h"
#include "connector/log.h"
#include "connector/options.h"
#include "connector/utf.h"
#include "vaduna_contract.h"

namespace {

using namespace vaduna::connector;

void FreeArguments(wchar_t** arguments) noexcept { ::LocalFree(arguments); }
using UniqueArguments = vaduna::UniqueResource<wchar_t**, &FreeArguments>;

// Until the command line is read, the log is the file's prose; then as the command line asks.
int Start(Log& bootLog, desktop::LogFile& file) {
  int count = 0;
  const UniqueArguments arguments(::CommandLineToArgvW(::GetCommandLineW(), &count));
  if (!arguments) {
    bootLog.Write("failed", {.message = "the command line could not be read (error " + std::to_string(::GetLastError()) + ")"});
    return 2;
  }
  Options options;
  if (const std::optional<std::string> wrong = ParseOptions(count, arguments.get(), options)) {
    bootLog.Write("failed", {.message = ToUtf8(vaduna::contract::kConnectorWindowlessExecutable) + ": " + *wrong});
    return 2;
  }
  if (options.help) return 0;
  Log log(options.verbose, file.Sink(), options.logFormat);
  const bool siteCommand = options.listSites || options.forgetAllSites || !options.forgetSite.empty();
  if (!siteCommand) {
    log.Write("started", {.message = ToUtf8(vaduna::contract::kConnectorWindowlessExecutable) + " (process " +
                                     std::to_string(::GetCurrentProcessId()) + ")"});
  }
  return desktop::RunInSession(options, log, desktop::SessionStart{file.path(), true, true, stdout});
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  desktop::LogFile file(desktop::LogFile::DefaultPath());
  Log log(false, file.Sink());
  const HRESULT init = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(init)) {
    log.Write("failed", {.message = "CoInitializeEx failed with " + HexCode(init)});
    return 1;
  }
  int exitCode = 1;
  try {
    exitCode = Start(log, file);
  } catch (const std::exception& failure) {
    log.Write("failed", {.message = std::string("ended by a failure: ") + failure.what()});
  }
  ::CoUninitialize();
  return exitCode;
}
