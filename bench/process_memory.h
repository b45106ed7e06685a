// The memory of another process of this Wine prefix (or Windows session),
// found by its executable's name.
#pragma once

#include <windows.h>

#include <map>
#include <optional>
#include <string>

namespace bench {

struct ProcessMemory {
  DWORD pid = 0;              // the Windows process id
  SIZE_T privateBytes = 0;    // committed private memory (what PrivateUsage counts), from VirtualQueryEx
  SIZE_T workingSet = 0;      // WorkingSetSize
  DWORD handles = 0;          // its entries in the system's handle list
  std::map<unsigned, DWORD> handlesByType;  // the same by object type index
};

// The memory of the one running process whose executable is exeName (case-insensitive); nothing, with error
// set, when none or more than one runs or its counters cannot be read.
std::optional<ProcessMemory> MemoryOfProcess(const wchar_t* exeName, std::string& error);

// The object type index of own, a handle of this process, in the system's handle list: to name the indexes of
// handlesByType by a handle of a known kind.
std::optional<unsigned> HandleTypeIndex(HANDLE own, std::string& error);

// The names of the handles of type index typeIndex that process pid holds, with their counts: each handle is
// duplicated into this process and named by NtQueryObject. Handles whose value does not fit the list's 16 bits
// are left out.
std::map<std::wstring, DWORD> HandleNames(DWORD pid, unsigned typeIndex, std::string& error);

}  // namespace bench
