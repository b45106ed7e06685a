#include "server/server_classes.h"

#include <objsafe.h>

#include "hosting/class_factory.h"
#include "hosting/aggregatable_object.h"
#include "interface/resource_ids.h"
#include "object_model/application_object.h"
#include "object_model/property_set_object.h"
#include "object_model/service_object.h"
#include "registration/module_registration.h"
#include "server/process_context.h"

namespace vaduna {
namespace {

HRESULT UpdateApplicationRegistry(bool doRegister) {
  return RunModuleScript(VADUNA_REGISTRY_APPLICATION, doRegister);
}
HRESULT UpdatePropertySetRegistry(bool doRegister) {
  return RunModuleScript(VADUNA_REGISTRY_PROPERTY_SET, doRegister);
}
HRESULT UpdateServiceRegistry(bool doRegister) { return RunModuleScript(VADUNA_REGISTRY_SERVICE, doRegister); }

// The application object may be driven by page script and initialised from
// page data.
constexpr CategoryEntry kApplicationCategories[] = {
    {kCategoryImplemented, &CATID_SafeForScripting},
    {kCategoryImplemented, &CATID_SafeForInitializing},
    {kCategoryEnd, nullptr},
};
const CategoryEntry* ApplicationCategories() { return kApplicationCategories; }

const wchar_t* NoDescription() { return nullptr; }
void NoClassHook(bool) {}

ClassEntry g_classTable[] = {
    {&CLSID_VadunaHTMLApplication, &UpdateApplicationRegistry, &CreateClassObject,
     &CreateApplication, nullptr, 0, &NoDescription, &ApplicationCategories,
     &NoClassHook},
    {&CLSID_VadunaPropertySet, &UpdatePropertySetRegistry, &CreateClassObject,
     &CreatePropertySet, nullptr, 0, &NoDescription, nullptr, &NoClassHook},
    {&CLSID_VadunaService, &UpdateServiceRegistry, &CreateClassObject, &CreateService,
     nullptr, 0, &NoDescription, nullptr, &NoClassHook},
    {nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr},
};

}  // namespace

ClassEntry* ServerClassTable() noexcept { return g_classTable; }

HRESULT CreateApplication(IUnknown* outer, REFIID iid, void** out) noexcept {
  return CreateObjectInstance<ApplicationObject>(outer, iid, out, ProcessContext());
}
HRESULT CreatePropertySet(IUnknown* outer, REFIID iid, void** out) noexcept {
  return CreateObjectInstance<PropertySetObject>(outer, iid, out, ProcessContext());
}
HRESULT CreateService(IUnknown* outer, REFIID iid, void** out) noexcept {
  return CreateObjectInstance<ServiceObject>(outer, iid, out, ProcessContext());
}

}  // namespace vaduna
