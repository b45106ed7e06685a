// One connector per user session. The running connector owns a named mutex
// and a small named file mapping in the session's Local\ namespace
// (contract::kInstanceMutex, contract::kInstanceRecord); the mapping holds
// its record (InstanceRecordLayout): process id, port, log file. A second
// start fails to claim, reads the record to say which connector runs, and
// ends changing nothing. /Diagnose reads the same record.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/unique_resource.h"
#include "interface/connector_instance_record.h"
#include "vaduna_contract.h"

namespace vaduna::connector::desktop {


// What a reader learns of the running connector.
struct RunningConnector {
  DWORD processId = 0;
  std::uint16_t port = 0;  // 0: it does not listen yet
  std::wstring logFile;
};

inline void UnmapRecord(InstanceRecordLayout* view) noexcept { ::UnmapViewOfFile(view); }
using UniqueRecordView = UniqueResource<InstanceRecordLayout*, &UnmapRecord>;

// For a second start: "a connector runs in this session already: process N, port P, log FILE".
std::string DescribeRunning(const std::optional<RunningConnector>& running);

// The session objects' names; tests give names of their own.
struct InstanceNames {
  std::wstring mutex = contract::kInstanceMutex;
  std::wstring record = contract::kInstanceRecord;
};

class SessionInstance {
 public:
  explicit SessionInstance(InstanceNames names = {});
  SessionInstance(const SessionInstance&) = delete;
  SessionInstance& operator=(const SessionInstance&) = delete;
  ~SessionInstance() { Release(); }

  // S_OK: this process is the session's connector now, its record says
  // "starting". S_FALSE: another one holds the place. Another HRESULT: the
  // objects could not be made. The mutex belongs to the calling thread:
  // claim on a thread that lives as long as the claim (the entry's).
  HRESULT Claim() noexcept;
  // After listening: the port and log file a second start and /Diagnose show.
  // E_UNEXPECTED before a successful Claim.
  HRESULT Publish(std::uint16_t port, std::wstring_view logFile) noexcept;
  // Gives the place up (also at destruction): the record says "none" first.
  void Release() noexcept;

  // The running connector of this session, waiting up to wait for it to
  // publish its port; nothing when none runs (no record, or its process
  // ended). Never takes the mutex, so it cannot make a starting one fail.
  static std::optional<RunningConnector> ReadRunning(const InstanceNames& names, std::chrono::milliseconds wait);

 private:
  const InstanceNames names_;
  UniqueHandle mutex_;
  UniqueHandle mapping_;
  UniqueRecordView record_;  // the mapping's view while claimed
};

}  // namespace vaduna::connector::desktop
