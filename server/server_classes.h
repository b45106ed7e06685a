// The server's class table: one row per automation class.
#pragma once

#include "hosting/class_table.h"

namespace vaduna {

// The rows in table order, followed by the end row. Mutable: the cookies are
// written by registration with the runtime.
ClassEntry* ServerClassTable() noexcept;

// The instance creators of the three classes, on the process's server context.
HRESULT CreateApplication(IUnknown* outer, REFIID iid, void** out) noexcept;
HRESULT CreatePropertySet(IUnknown* outer, REFIID iid, void** out) noexcept;
HRESULT CreateService(IUnknown* outer, REFIID iid, void** out) noexcept;

}  // namespace vaduna
