// /Diagnose: what a client would find when it looks for the server, written
// for a help-desk person. For both scopes (the machine's classes and the
// current user's) and both registry views (64-bit and 32-bit clients): each
// ProgID, the class it names and that class's server path, whether that file
// exists, and the type library with its path; then whether a server process
// runs, whether the readiness event exists and is set, and who answers on the
// connectors' ports. Nothing secret is shown: only names, paths and states.
#pragma once

#include <windows.h>

#include <string>
#include "vaduna_contract.h"

namespace vaduna {

// The report, and whether a client could reach the server: some scope and
// view names a server file that exists for the application's ProgID.
struct Diagnosis {
  std::wstring report;
  bool reachable = false;
};

// Throws std::bad_alloc.
Diagnosis Diagnose();

// Runs the diagnosis and writes the report to standard output (or the parent
// console); S_OK when a client could reach the server, S_FALSE otherwise.
HRESULT RunDiagnosis() noexcept;

}  // namespace vaduna
