#include "hosting/serving.h"

namespace vaduna {

HRESULT Serve(ServerModule& module, ClassEntry* table) noexcept {
  // The event exists before any class object can be reached: a fall to 0
  // that comes before the monitor runs still leaves its signal. Without the
  // event no monitor runs, and only a quit message from elsewhere ends the loop.
  const bool monitored = module.CreateShutdownEvent();

  // Registered suspended and resumed together, so that no activation
  // reaches one class object before all are in place.
  const HRESULT hr = RegisterClassObjects(table, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED);
  if (FAILED(hr)) {
    RevokeClassObjects(table);
    return hr;
  }
  if (monitored) module.StartMonitor();
  ::CoResumeClassObjects();

  // Client calls never come through this loop: they arrive on the runtime's
  // threads of the multithreaded apartment.
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);

  module.Stop();
  RevokeClassObjects(table);
  // Gives calls already under way the chance to finish before tear-down.
  ::Sleep(ServerModule::kPauseAfterLoopMs);
  // A clean-up may still be calling into another process; nothing it can
  // reach may be torn down before it ends.
  module.WaitForCleanUps();
  return S_OK;
}

}  // namespace vaduna
