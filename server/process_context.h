// The server context of this process: the one module record, wrapper table,
// gate table and shared attachment that every object of the server shares.
#pragma once

#include "object_model/server_context.h"

namespace vaduna {

// Never destroyed: a late call or clean-up may still reach it while the
// process exits.
ServerContext& ProcessContext() noexcept;

}  // namespace vaduna
