// One thread in the multithreaded apartment that runs queued jobs one after
// another, in the order they were queued.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>

#include "base/unique_resource.h"

namespace vaduna::connector {

class SerialWorker {
 public:
  SerialWorker();  // throws HResultError when the thread cannot start
  SerialWorker(const SerialWorker&) = delete;
  SerialWorker& operator=(const SerialWorker&) = delete;
  ~SerialWorker();  // Stop()

  // Queues job; false once stopping (or out of memory). A job that throws ends with the exception dropped.
  bool Post(std::function<void()> job) noexcept;
  // Runs what is queued, then ends the thread and waits for it. Not from a job.
  void Stop() noexcept;
  // Waits until every job queued before this call has run. Not from a job.
  void Flush() noexcept;
  // Runs job whenever intervalMs have passed without it, between the queued jobs; until Stop.
  void Every(DWORD intervalMs, std::function<void()> job) noexcept;

 private:
  static DWORD WINAPI ThreadMain(void* self);
  void Run() noexcept;

  SRWLOCK lock_ = SRWLOCK_INIT;
  CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  bool busy_ = false;
  std::function<void()> periodic_;
  DWORD intervalMs_ = INFINITE;
  ULONGLONG nextTick_ = 0;
  UniqueHandle thread_;
};

}  // namespace vaduna::connector
