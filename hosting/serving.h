// Serving: the class objects offered to the runtime while this thread pumps
// its message queue, until the idle monitor ends the loop.
#pragma once

#include <windows.h>

#include "hosting/class_table.h"
#include "hosting/server_module.h"

namespace vaduna {

// Registers one class object per row of table (suspended, then resumed
// together), starts module's idle monitor and pumps this thread's queue
// until WM_QUIT; then refuses new work, revokes the class objects, pauses
// for the calls already under way and waits for the clean-ups in flight.
// Returns S_OK, or at once the failure of the registration, with the rows
// it registered revoked and no monitor started: a server that cannot offer
// its classes ends instead of waiting for clients that never reach it.
// The caller has set module's main thread to this one.
HRESULT Serve(ServerModule& module, ClassEntry* table) noexcept;

}  // namespace vaduna
