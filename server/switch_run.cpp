#include "server/switch_run.h"

#include "interface/resource_ids.h"
#include "registration/module_registration.h"

namespace vaduna {

HRESULT RunSwitchAction(SwitchAction action, const ClassEntry* table) noexcept {
  switch (action) {
    case SwitchAction::Register:
      // The application identity does not decide the outcome: only the
      // classes and the type library do.
      RunModuleScript(VADUNA_REGISTRY_APP_IDENTITY, true);
      return RegisterAll(table, true, nullptr);
    case SwitchAction::Unregister:
      RunModuleScript(VADUNA_REGISTRY_APP_IDENTITY, false);
      return UnregisterAll(table, true, nullptr);
    case SwitchAction::Serve:
      break;
  }
  return S_OK;
}

}  // namespace vaduna
