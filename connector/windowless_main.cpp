// The connector as logon starts it (contract::kConnectorWindowlessFile): built
// for the Windows GUI subsystem, so that no console window opens, and none can
// be closed to stop it. It takes the console connector's command line and logs
// to %LOCALAPPDATA%\<contract::kLogFile> instead of standard error.
//
// One per session: a start that finds another connector running in the
// session logs which one (process id, port, log file) and ends with 0,
// changing nothing. A start that takes the session's place logs that the
// console connector (contract::kConnectorFile) is the one that serves pages,
// and ends with 1. Exit code 2 for a wrong command line.
#include <windows.h>
#include <shellapi.h>

#include <optional>
#include <string>

#include "base/unique_resource.h"
#include "connector/desktop/desktop_limits.h"
#include "connector/desktop/log_file.h"
#include "connector/desktop/session_instance.h"
#include "connector/log.h"
#include "connector/options.h"
#include "connector/utf.h"
#include "vaduna_contract.h"

namespace {

using namespace vaduna::connector;

void FreeArguments(wchar_t** arguments) noexcept { ::LocalFree(arguments); }
using UniqueArguments = vaduna::UniqueResource<wchar_t**, &FreeArguments>;

int Start(Log& log) {
  int count = 0;
  const UniqueArguments arguments(::CommandLineToArgvW(::GetCommandLineW(), &count));
  if (!arguments) {
    log.Write("failed", {.message = "the command line could not be read (error " + std::to_string(::GetLastError()) + ")"});
    return 2;
  }
  Options options;
  if (const std::optional<std::string> wrong = ParseOptions(count, arguments.get(), options)) {
    log.Write("failed", {.message = ToUtf8(vaduna::contract::kConnectorWindowlessExecutable) + ": " + *wrong});
    return 2;
  }

  desktop::SessionInstance instance;
  const HRESULT claimed = instance.Claim();
  if (claimed == S_FALSE) {
    log.Write("already_running",
              {.message = desktop::DescribeRunning(desktop::SessionInstance::ReadRunning(
                              desktop::InstanceNames{}, desktop::kRunningRecordWait)) +
                          "; this start ends and changes nothing"});
    return 0;
  }
  if (FAILED(claimed)) {
    log.Write("claim_failed", {.result = HexCode(claimed)});
    return 1;
  }
  log.Write("failed", {.message = ToUtf8(vaduna::contract::kConnectorWindowlessExecutable) + " (process " +
                                  std::to_string(::GetCurrentProcessId()) + ") serves no pages: " +
                                  ToUtf8(vaduna::contract::kConnectorFile) + " does"});
  return 1;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  desktop::LogFile file(desktop::LogFile::DefaultPath());
  Log log(false, file.Sink());
  try {
    return Start(log);
  } catch (const std::exception& failure) {
    log.Write("failed", {.message = std::string("ended by a failure: ") + failure.what()});
    return 1;
  }
}
