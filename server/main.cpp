// The executable's entry point: register, unregister, or serve until the idle
// monitor ends the message loop; every run ends with the same tear-down, and
// its HRESULT is the exit code.
#include <windows.h>
#include <objbase.h>

#include "hosting/server_module.h"
#include "hosting/serving.h"
#include "server/process_context.h"
#include "server/server_classes.h"
#include "server/switch_run.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // The full command line, program path included: the switch scan sees it whole.
  const wchar_t* commandLine = ::GetCommandLineW();
  // The result is ignored: a failure shows in every later call instead.
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  vaduna::ServerModule& module = vaduna::Module();
  module.Init(vaduna::ServerClassTable());
  module.SetMainThreadId(::GetCurrentThreadId());

  // Every run's HRESULT is its exit code.
  const vaduna::SwitchAction action = vaduna::ScanSwitches(commandLine);
  const HRESULT result = action == vaduna::SwitchAction::Serve
                             ? vaduna::Serve(module, vaduna::ServerClassTable())
                             : vaduna::RunSwitchAction(action, vaduna::ServerClassTable());

  // The page's script application may still be attached: cut its remote
  // clients off while the runtime is up; nothing calls the runtime after
  // CoUninitialize.
  vaduna::ProcessContext().attachment.DisconnectCurrentApp();
  module.Term();
  ::CoUninitialize();
  return static_cast<int>(result);
}
