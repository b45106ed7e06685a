// The maker of new wrappers that a server context carries: the one place
// that knows the wrapper classes, above them all.
#pragma once

#include "object_model/server_context.h"

namespace vaduna {

// A WrapperMaker: a new service or property set object of context.
ScriptWrapper* MakeWrapper(ObjectKind kind, ServerContext& context) noexcept;

}  // namespace vaduna
