#include "object_model/wrapper_factory.h"

#include "object_model/property_set_object.h"
#include "object_model/service_object.h"

namespace vaduna {

ScriptWrapper* MakeWrapper(ObjectKind kind, ServerContext& context) noexcept {
  switch (kind) {
    case ObjectKind::Service:
      return NewPlainObject<ServiceObject>(context);
    case ObjectKind::PropertySet:
      return NewPlainObject<PropertySetObject>(context);
    case ObjectKind::Application:
      break;
  }
  return nullptr;
}

}  // namespace vaduna
