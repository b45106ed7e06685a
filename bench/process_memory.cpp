#include "bench/process_memory.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "base/unique_resource.h"

namespace bench {

namespace {

// The system's handle list (NtQuerySystemInformation, class 16), declared here: the SDK headers leave it out.
// Wine does not answer GetProcessHandleCount for another process (it reports 0), but it keeps this list.
constexpr ULONG kSystemHandleInformation = 16;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

struct SystemHandleEntry {
  USHORT processId;  // the owner's id, cut to 16 bits by this information class
  USHORT creatorBackTraceIndex;
  UCHAR objectTypeIndex;
  UCHAR attributes;
  USHORT handleValue;
  PVOID object;
  ULONG grantedAccess;
};

struct SystemHandleList {
  ULONG count;
  SystemHandleEntry entries[1];
};

using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

// The system's handle list as it is now; nothing when it cannot be read.
std::optional<std::vector<SystemHandleEntry>> SystemHandles(std::string& error) {
  const auto query = reinterpret_cast<QuerySystemInformation>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) {
    error = "no NtQuerySystemInformation";
    return std::nullopt;
  }
  std::vector<std::uint64_t> buffer(64 * 1024);  // 8-byte aligned storage
  for (int attempt = 0; attempt < 8; ++attempt) {
    ULONG needed = 0;
    const ULONG size = static_cast<ULONG>(buffer.size() * sizeof(std::uint64_t));
    const LONG status = query(kSystemHandleInformation, buffer.data(), size, &needed);
    if (status == kInfoLengthMismatch) {
      // The list grows between two calls: ask for more than it said.
      buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed / sizeof(std::uint64_t) + 4096));
      continue;
    }
    if (status < 0) {
      error = "NtQuerySystemInformation failed (0x" + std::to_string(static_cast<unsigned long>(status)) + ")";
      return std::nullopt;
    }
    const auto* list = reinterpret_cast<const SystemHandleList*>(buffer.data());
    return std::vector<SystemHandleEntry>(list->entries, list->entries + list->count);
  }
  error = "the system's handle list kept growing";
  return std::nullopt;
}

// The committed private memory of process (its private bytes), summed over its address space: Wine answers
// GetProcessMemoryInfo's PrivateUsage for another process with 0, but it does answer VirtualQueryEx.
std::optional<SIZE_T> CommittedPrivateBytes(HANDLE process, std::string& error) {
  SIZE_T total = 0;
  MEMORY_BASIC_INFORMATION region{};
  const char* address = nullptr;
  while (::VirtualQueryEx(process, address, &region, sizeof region) == sizeof region) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
    const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
    if (next <= address) break;  // the top of the address space
    address = next;
  }
  if (total == 0) {
    error = "VirtualQueryEx found no private memory (" + std::to_string(::GetLastError()) + ")";
    return std::nullopt;
  }
  return total;
}

// NtQueryObject's answer for ObjectNameInformation (class 1): a UNICODE_STRING followed by its text.
struct ObjectName {
  USHORT length;
  USHORT maximumLength;
  PWSTR buffer;
};
using QueryObject = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

}  // namespace

std::map<std::wstring, DWORD> HandleNames(DWORD pid, unsigned typeIndex, std::string& error) {
  std::map<std::wstring, DWORD> names;
  const auto query = reinterpret_cast<QueryObject>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
  vaduna::UniqueHandle process(::OpenProcess(PROCESS_DUP_HANDLE, FALSE, pid));
  const std::optional<std::vector<SystemHandleEntry>> handles = SystemHandles(error);
  if (query == nullptr || !process || !handles) {
    if (error.empty()) error = "cannot duplicate its handles";
    return names;
  }
  std::vector<std::uint64_t> buffer(4096);
  for (const SystemHandleEntry& entry : *handles) {
    if (entry.processId != static_cast<USHORT>(pid) || entry.objectTypeIndex != typeIndex) continue;
    vaduna::UniqueHandle copy;
    const HANDLE theirs = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(entry.handleValue));
    if (!::DuplicateHandle(process.get(), theirs, ::GetCurrentProcess(), copy.put(), 0, FALSE, DUPLICATE_SAME_ACCESS)) {
      continue;
    }
    ULONG needed = 0;
    const auto* name = reinterpret_cast<const ObjectName*>(buffer.data());
    if (query(copy.get(), 1, buffer.data(), static_cast<ULONG>(buffer.size() * 8), &needed) < 0) continue;
    ++names[std::wstring(name->buffer, name->length / sizeof(wchar_t))];
  }
  return names;
}

std::optional<unsigned> HandleTypeIndex(HANDLE own, std::string& error) {
  const std::optional<std::vector<SystemHandleEntry>> handles = SystemHandles(error);
  if (!handles) return std::nullopt;
  const auto pid = static_cast<USHORT>(::GetCurrentProcessId());
  for (const SystemHandleEntry& entry : *handles) {
    if (entry.processId == pid && entry.handleValue == static_cast<USHORT>(reinterpret_cast<ULONG_PTR>(own))) {
      return entry.objectTypeIndex;
    }
  }
  error = "the handle is not in the system's list";
  return std::nullopt;
}

std::optional<ProcessMemory> MemoryOfProcess(const wchar_t* exeName, std::string& error) {
  vaduna::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot || snapshot.get() == INVALID_HANDLE_VALUE) {
    snapshot.release();
    error = "no process list (CreateToolhelp32Snapshot failed)";
    return std::nullopt;
  }
  std::vector<DWORD> found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
    if (::lstrcmpiW(entry.szExeFile, exeName) == 0) found.push_back(entry.th32ProcessID);
  }
  if (found.size() != 1) {
    error = found.empty() ? "no such process runs" : "more than one such process runs";
    return std::nullopt;
  }
  vaduna::UniqueHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, found[0]));
  if (!process) {
    error = "OpenProcess failed (" + std::to_string(::GetLastError()) + ")";
    return std::nullopt;
  }
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  if (!::GetProcessMemoryInfo(process.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters)) {
    error = "GetProcessMemoryInfo failed (" + std::to_string(::GetLastError()) + ")";
    return std::nullopt;
  }
  const std::optional<SIZE_T> privateBytes = CommittedPrivateBytes(process.get(), error);
  if (!privateBytes) return std::nullopt;
  const std::optional<std::vector<SystemHandleEntry>> handles = SystemHandles(error);
  if (!handles) return std::nullopt;
  ProcessMemory memory{found[0], *privateBytes, counters.WorkingSetSize, 0, {}};
  for (const SystemHandleEntry& entry : *handles) {
    if (entry.processId != static_cast<USHORT>(found[0])) continue;
    ++memory.handles;
    ++memory.handlesByType[entry.objectTypeIndex];
  }
  if (memory.handles == 0) {
    error = "the system's handle list holds none of its handles";  // every process has some: unreadable
    return std::nullopt;
  }
  return memory;
}

}  // namespace bench
