// The executable's entry point: register, unregister, or serve until the idle
// monitor ends the message loop; every run ends with the same tear-down.
#include <windows.h>
#include <objbase.h>

#include "hosting/server_module.h"
#include "object_model/shared_attachment.h"
#include "server/server_classes.h"
#include "server/switch_run.h"

namespace {

// Offers the class objects and pumps the main thread's queue until the idle
// monitor posts WM_QUIT. Client calls never come through this loop: they
// arrive on the runtime's threads of the multithreaded apartment.
void Serve() noexcept {
  vaduna::ServerModule& module = vaduna::Module();
  // Without the event no monitor runs: the server then stays up until a quit
  // message reaches this thread from elsewhere.
  if (module.CreateShutdownEvent()) module.StartMonitor();

  // Registered suspended and resumed together, so that no activation reaches
  // one class object before all are in place. Failures are not reported.
  vaduna::RegisterClassObjects(vaduna::ServerClassTable(), CLSCTX_LOCAL_SERVER,
                               REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED);
  ::CoResumeClassObjects();

  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);

  vaduna::RevokeClassObjects(vaduna::ServerClassTable());
  // Gives calls already under way the chance to finish before tear-down.
  ::Sleep(vaduna::ServerModule::kPauseAfterLoopMs);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // The full command line, program path included: the switch scan sees it whole.
  const wchar_t* commandLine = ::GetCommandLineW();
  // The result is ignored: a failure shows in every later call instead.
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  vaduna::ServerModule& module = vaduna::Module();
  module.Init(vaduna::ServerClassTable());
  module.SetMainThreadId(::GetCurrentThreadId());

  int exitCode = 0;
  const vaduna::SwitchAction action = vaduna::ScanSwitches(commandLine);
  if (action == vaduna::SwitchAction::Serve) {
    Serve();
  } else {
    exitCode = static_cast<int>(vaduna::RunSwitchAction(action, vaduna::ServerClassTable()));
  }

  // The page's script application may still be attached: cut its remote
  // clients off while the runtime is up; nothing calls the runtime after
  // CoUninitialize.
  vaduna::SharedAttachment::Instance().DisconnectCurrentApp();
  module.Term();
  ::CoUninitialize();
  return exitCode;
}
