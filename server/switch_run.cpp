#include "server/switch_run.h"

#include "base/hresult.h"
#include "interface/resource_ids.h"
#include "registration/classes_root_override.h"
#include "registration/module_registration.h"
#include "server/diagnosis.h"

namespace vaduna {
namespace {

HRESULT Register(const ClassEntry* table) noexcept {
  // The application identity does not decide the outcome: only the classes
  // and the type library do.
  RunModuleScript(VADUNA_REGISTRY_APP_IDENTITY, true);
  return RegisterAll(table, true, nullptr);
}

HRESULT Unregister(const ClassEntry* table) noexcept {
  RunModuleScript(VADUNA_REGISTRY_APP_IDENTITY, false);
  return UnregisterAll(table, true, nullptr);
}

}  // namespace

HRESULT RunSwitchAction(SwitchAction action, const ClassEntry* table) noexcept {
  switch (action) {
    case SwitchAction::Register:
      return Register(table);
    case SwitchAction::Unregister:
      return Unregister(table);
    case SwitchAction::RegisterPerUser:
    case SwitchAction::UnregisterPerUser: {
      ClassesRootOverride userClasses;
      VADUNA_RETURN_IF_FAILED(userClasses.RedirectToCurrentUser());
      return action == SwitchAction::RegisterPerUser ? Register(table) : Unregister(table);
    }
    case SwitchAction::Diagnose:
      return RunDiagnosis();
    case SwitchAction::Serve:
      break;
  }
  return S_OK;
}

}  // namespace vaduna
