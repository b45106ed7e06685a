#include "connector/serial_worker.h"

#include <objbase.h>

#include "base/hresult.h"

namespace vaduna::connector {

SerialWorker::SerialWorker() {
  thread_.reset(::CreateThread(nullptr, 0, &SerialWorker::ThreadMain, this, 0, nullptr));
  if (!thread_) throw HResultError(HresultFromLastError());
}

SerialWorker::~SerialWorker() { Stop(); }

DWORD WINAPI SerialWorker::ThreadMain(void* self) {
  const HRESULT init = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  static_cast<SerialWorker*>(self)->Run();
  if (SUCCEEDED(init)) ::CoUninitialize();
  return 0;
}

void SerialWorker::Run() noexcept {
  for (;;) {
    std::function<void()> job;
    {
      SrwExclusive hold(lock_);
      for (;;) {
        if (!jobs_.empty() || stopping_) break;
        const ULONGLONG now = ::GetTickCount64();
        if (periodic_ && now >= nextTick_) break;
        const DWORD wait = periodic_ ? static_cast<DWORD>(nextTick_ - now) : INFINITE;
        ::SleepConditionVariableSRW(&changed_, &lock_, wait, 0);
      }
      if (jobs_.empty() && stopping_) return;  // stopping, and nothing left to run
      if (jobs_.empty()) {
        job = periodic_;
        nextTick_ = ::GetTickCount64() + intervalMs_;
      } else {
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      busy_ = true;
    }
    try {
      job();
    } catch (...) {
      // Jobs report their own failures; one that throws must not end the worker.
    }
    job = nullptr;  // what the job held goes before the next one runs
    SrwExclusive hold(lock_);
    busy_ = false;
    ::WakeAllConditionVariable(&changed_);
  }
}

bool SerialWorker::Post(std::function<void()> job) noexcept {
  SrwExclusive hold(lock_);
  if (stopping_) return false;
  try {
    jobs_.push_back(std::move(job));
  } catch (...) {
    return false;
  }
  ::WakeAllConditionVariable(&changed_);
  return true;
}

void SerialWorker::Every(DWORD intervalMs, std::function<void()> job) noexcept {
  SrwExclusive hold(lock_);
  periodic_ = std::move(job);
  intervalMs_ = intervalMs;
  nextTick_ = ::GetTickCount64() + intervalMs;
  ::WakeAllConditionVariable(&changed_);
}

void SerialWorker::Flush() noexcept {
  SrwExclusive hold(lock_);
  while (!jobs_.empty() || busy_) ::SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
}

void SerialWorker::Stop() noexcept {
  {
    SrwExclusive hold(lock_);
    if (stopping_ && !thread_) return;
    stopping_ = true;
    ::WakeAllConditionVariable(&changed_);
  }
  if (thread_) {
    ::WaitForSingleObject(thread_.get(), INFINITE);
    thread_.reset();
  }
}

}  // namespace vaduna::connector
