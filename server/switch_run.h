// What a registration switch asks for, carried out over the server's class table.
#pragma once

#include <windows.h>

#include "hosting/class_table.h"
#include "registration/switch_scan.h"

namespace vaduna {

// Register: the application identity script (its result ignored), then every
// row of table and the type library. Unregister: likewise, removing. The
// PerUser forms do the same in the current user's classes. Diagnose: the
// report, S_OK when a client could reach the server, else S_FALSE. Serve:
// S_OK. The result is the process's exit code.
HRESULT RunSwitchAction(SwitchAction action, const ClassEntry* table) noexcept;

}  // namespace vaduna
