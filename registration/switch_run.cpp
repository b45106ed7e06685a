#include "registration/module_registration.h"
#include "registration/switch_scan.h"

namespace vaduna {

namespace {
constexpr UINT kAppIdentityScript = 100;
}  // namespace

HRESULT RunSwitchAction(SwitchAction action) noexcept {
  switch (action) {
    case SwitchAction::Register:
      // The application identity does not decide the outcome: only the
      // classes and the type library do.
      RunModuleScript(kAppIdentityScript, true);
      return RegisterAll(true, nullptr);
    case SwitchAction::Unregister:
      RunModuleScript(kAppIdentityScript, false);
      return UnregisterAll(true, nullptr);
    case SwitchAction::Serve:
      break;
  }
  return S_OK;
}

}  // namespace vaduna
