// What the objects of one server share, handed to each object when it is
// made: the module record, the table of live wrappers, the wrap gates, the
// shared attachment, and the maker of new wrappers (which sits above the
// wrapper classes). The process has one (server/); every test its own.
#pragma once

#include "hosting/server_module.h"
#include "object_model/shared_attachment.h"
#include "object_model/wrap_gate.h"
#include "object_model/wrapper_registry.h"

namespace vaduna {

class ScriptWrapper;
struct ServerContext;

enum class ObjectKind { Application, Service, PropertySet };

// A new wrapper of kind (service or property set) with count 0 and no script
// object, or null when out of memory or for another kind.
using WrapperMaker = ScriptWrapper* (*)(ObjectKind kind, ServerContext& context) noexcept;

struct ServerContext {
  ServerModule& module;
  WrapperRegistry& wrappers;
  WrapGates& gates;
  SharedAttachment& attachment;
  WrapperMaker makeWrapper;
};

}  // namespace vaduna
