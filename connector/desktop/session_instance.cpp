#include "connector/desktop/session_instance.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "base/hresult.h"
#include "connector/utf.h"

namespace vaduna::connector::desktop {

namespace {

// Whether process id still runs; one that cannot be opened for another reason than its absence counts as running.
bool ProcessRuns(DWORD processId) {
  const UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
  if (!process) return ::GetLastError() != ERROR_INVALID_PARAMETER;
  return ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

// The record's state, before the fields it makes valid are read. A plain load: readers map the record
// read-only, where an interlocked instruction would fault.
LONG LoadState(const InstanceRecordLayout& record) {
  std::atomic_thread_fence(std::memory_order_acquire);
  const LONG state = record.state;
  std::atomic_thread_fence(std::memory_order_acquire);
  return state;
}

// One consistent reading of the record: its state, and the fields valid in that state.
std::optional<RunningConnector> ReadRecord(const InstanceRecordLayout& record, LONG& state) {
  for (;;) {
    state = LoadState(record);
    RunningConnector running;
    if (state == InstanceRecordLayout::kStarting || state == InstanceRecordLayout::kListening) {
      running.processId = record.processId;
    }
    if (state == InstanceRecordLayout::kListening) {
      running.port = record.port;
      wchar_t logFile[MAX_PATH];
      std::memcpy(logFile, record.logFile, sizeof logFile);
      logFile[MAX_PATH - 1] = L'\0';
      running.logFile = logFile;
    }
    // A new claimant rewrites a record left by one that ended: read again if the state moved meanwhile.
    if (LoadState(record) != state) continue;
    if (running.processId == 0) return std::nullopt;
    return running;
  }
}

}  // namespace

std::string DescribeRunning(const std::optional<RunningConnector>& running) {
  if (!running) return "another connector holds this session's place and is ending or starting";
  std::string text = "a connector runs in this session already: process " + std::to_string(running->processId);
  if (running->port == 0) return text + ", not listening yet";
  text += ", port " + std::to_string(running->port);
  if (!running->logFile.empty()) text += ", log " + ToUtf8(running->logFile);
  return text;
}

SessionInstance::SessionInstance(InstanceNames names) : names_(std::move(names)) {}

HRESULT SessionInstance::Claim() noexcept {
  if (mutex_) return S_OK;
  UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, names_.mutex.c_str()));
  if (!mutex) return HresultFromLastError();
  // Owned by this thread until Release. An abandoned mutex is one whose connector ended without giving it back.
  const DWORD wait = ::WaitForSingleObject(mutex.get(), 0);
  if (wait == WAIT_TIMEOUT) return S_FALSE;
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return HresultFromLastError();

  UniqueHandle mapping(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                            sizeof(InstanceRecordLayout), names_.record.c_str()));
  UniqueRecordView record;
  if (mapping) {
    record.reset(static_cast<InstanceRecordLayout*>(
        ::MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, sizeof(InstanceRecordLayout))));
  }
  if (!record) {
    const HRESULT failure = HresultFromLastError();
    ::ReleaseMutex(mutex.get());
    return failure;
  }
  // The mapping may be one left by an ended connector that a reader still held open: it says "none" while
  // it is rewritten.
  ::InterlockedExchange(&record.get()->state, InstanceRecordLayout::kNone);
  record.get()->size = sizeof(InstanceRecordLayout);
  record.get()->processId = ::GetCurrentProcessId();
  record.get()->port = 0;
  record.get()->logFile[0] = L'\0';
  ::InterlockedExchange(&record.get()->state, InstanceRecordLayout::kStarting);

  mutex_ = std::move(mutex);
  mapping_ = std::move(mapping);
  record_ = std::move(record);
  return S_OK;
}

HRESULT SessionInstance::Publish(std::uint16_t port, std::wstring_view logFile) noexcept {
  if (!record_) return E_UNEXPECTED;
  InstanceRecordLayout& record = *record_.get();
  // Written while the state still says "starting": a reader takes the port and the log only once it says so.
  record.port = port;
  const std::size_t length = std::min<std::size_t>(logFile.size(), MAX_PATH - 1);
  std::memcpy(record.logFile, logFile.data(), length * sizeof(wchar_t));
  record.logFile[length] = L'\0';
  ::InterlockedExchange(&record.state, InstanceRecordLayout::kListening);
  return S_OK;
}

void SessionInstance::Release() noexcept {
  if (record_) ::InterlockedExchange(&record_.get()->state, InstanceRecordLayout::kNone);
  record_.reset();
  mapping_.reset();
  if (mutex_) ::ReleaseMutex(mutex_.get());  // fails harmlessly on another thread: closing gives it up too
  mutex_.reset();
}

std::optional<RunningConnector> SessionInstance::ReadRunning(const InstanceNames& names,
                                                             std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  std::optional<RunningConnector> starting;
  for (;;) {
    starting.reset();
    const UniqueHandle mapping(::OpenFileMappingW(FILE_MAP_READ, FALSE, names.record.c_str()));
    if (mapping) {
      const UniqueRecordView record(static_cast<InstanceRecordLayout*>(
          ::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, sizeof(InstanceRecordLayout))));
      LONG state = InstanceRecordLayout::kNone;
      std::optional<RunningConnector> running;
      if (record) running = ReadRecord(*record.get(), state);
      if (running && !ProcessRuns(running->processId)) running.reset();
      if (running && state == InstanceRecordLayout::kListening) return running;
      starting = running;
    }
    // No record yet, or one that does not listen yet: worth waiting for only while the mutex exists.
    const UniqueHandle mutex(::OpenMutexW(SYNCHRONIZE, FALSE, names.mutex.c_str()));
    if (!mutex || std::chrono::steady_clock::now() >= deadline) return starting;
    ::Sleep(50);
  }
}

}  // namespace vaduna::connector::desktop
