// The record of the session's running connector, in the named file mapping
// contract::kInstanceRecord: the connector writes it, a second start of the
// connector and the server's /Diagnose read it.
#pragma once

#include <windows.h>

#include <cstdint>

namespace vaduna {

// The file mapping's content. Fields are written before the state that makes
// them valid and never change while that state lasts.
struct InstanceRecordLayout {
  enum State : LONG { kNone = 0, kStarting = 1, kListening = 2 };
  std::uint32_t size;          // sizeof(InstanceRecordLayout), for a reader of another version
  volatile LONG state;         // State
  std::uint32_t processId;     // valid from kStarting
  std::uint16_t port;          // valid from kListening
  std::uint16_t reserved;
  wchar_t logFile[MAX_PATH];   // valid from kListening; NUL-terminated, empty for none
};
static_assert(sizeof(InstanceRecordLayout) == 16 + MAX_PATH * sizeof(wchar_t), "the record's layout is shared");

}  // namespace vaduna
