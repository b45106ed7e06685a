// The memory of another process of this Wine prefix (or Windows session),
// found by its executable's name.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace bench {

struct ProcessMemory {
  DWORD pid = 0;              // the Windows process id
  SIZE_T privateBytes = 0;    // committed private memory (what PrivateUsage counts), from VirtualQueryEx
  SIZE_T workingSet = 0;      // WorkingSetSize
  DWORD handles = 0;          // its entries in the system's handle list
};

// The memory of the one running process whose executable is exeName (case-insensitive); nothing, with error
// set, when none or more than one runs or its counters cannot be read.
std::optional<ProcessMemory> MemoryOfProcess(const wchar_t* exeName, std::string& error);

}  // namespace bench
