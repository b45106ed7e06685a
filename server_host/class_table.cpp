#include "server_host/class_table.h"

#include <objsafe.h>

#include "object_model/application_object.h"
#include "object_model/property_set_object.h"
#include "object_model/service_object.h"
#include "registration/module_registration.h"
#include "server_host/class_factory.h"
#include "server_host/object_base.h"

namespace vaduna {
namespace {

// Registry script resources (type "REGISTRY") of the classes.
constexpr UINT kApplicationScript = 102;
constexpr UINT kPropertySetScript = 104;
constexpr UINT kServiceScript = 106;

HRESULT UpdateApplicationRegistry(bool doRegister) { return RunModuleScript(kApplicationScript, doRegister); }
HRESULT UpdatePropertySetRegistry(bool doRegister) { return RunModuleScript(kPropertySetScript, doRegister); }
HRESULT UpdateServiceRegistry(bool doRegister) { return RunModuleScript(kServiceScript, doRegister); }

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
     &CreateObjectInstance<ApplicationObject>, nullptr, 0, &NoDescription, &ApplicationCategories,
     &NoClassHook},
    {&CLSID_VadunaPropertySet, &UpdatePropertySetRegistry, &CreateClassObject,
     &CreateObjectInstance<PropertySetObject>, nullptr, 0, &NoDescription, nullptr, &NoClassHook},
    {&CLSID_VadunaService, &UpdateServiceRegistry, &CreateClassObject, &CreateObjectInstance<ServiceObject>,
     nullptr, 0, &NoDescription, nullptr, &NoClassHook},
    {nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr},
};

}  // namespace

ClassEntry* ServerClassTable() noexcept { return g_classTable; }

HRESULT RegisterClassObjects(ClassEntry* table, DWORD context, DWORD flags) noexcept {
  HRESULT hr = S_OK;
  for (ClassEntry* row = table; row->clsid != nullptr && hr == S_OK; ++row) {
    IUnknown* classObject = nullptr;
    hr = row->classObjectCreator(row->instanceCreator, IID_IUnknown, reinterpret_cast<void**>(&classObject));
    if (SUCCEEDED(hr)) hr = ::CoRegisterClassObject(*row->clsid, classObject, context, flags, &row->cookie);
    if (classObject != nullptr) classObject->Release();  // the runtime keeps its own reference
  }
  return hr;
}

HRESULT RevokeClassObjects(ClassEntry* table) noexcept {
  HRESULT hr = S_OK;
  for (ClassEntry* row = table; row->clsid != nullptr && hr == S_OK; ++row) {
    if (row->cookie != 0) hr = ::CoRevokeClassObject(row->cookie);  // the cookie is kept
  }
  return hr;
}

}  // namespace vaduna
