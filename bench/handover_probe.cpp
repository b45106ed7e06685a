#include "bench/handover_probe.h"

#include <boost/asio/post.hpp>

#include <memory>

namespace bench {

HandoverProbe::HandoverProbe() : work_(io_.get_executor()), thread_([this] { io_.run(); }) {}

HandoverProbe::~HandoverProbe() {
  work_.reset();
  io_.stop();
  thread_.join();
}

bool HandoverProbe::RoundTrip() {
  // Shared with the I/O thread, so that a hand-over that answers after the caller gave up finds it still there.
  const auto finished = std::make_shared<bool>(false);
  boost::asio::post(io_, [this, finished] {
    ::AcquireSRWLockExclusive(&lock_);
    *finished = true;
    ::ReleaseSRWLockExclusive(&lock_);
    ::WakeConditionVariable(&done_);
  });
  const ULONGLONG deadline = ::GetTickCount64() + 10000;
  ::AcquireSRWLockExclusive(&lock_);
  while (!*finished) {
    const ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) break;
    ::SleepConditionVariableSRW(&done_, &lock_, static_cast<DWORD>(deadline - now), 0);
  }
  const bool answered = *finished;
  ::ReleaseSRWLockExclusive(&lock_);
  return answered;
}

}  // namespace bench
