// Scoped holds on a slim reader/writer lock.
#pragma once

#include <windows.h>

namespace vaduna {

class SrwExclusive {
 public:
  explicit SrwExclusive(SRWLOCK& lock) noexcept : lock_(lock) { ::AcquireSRWLockExclusive(&lock_); }
  SrwExclusive(const SrwExclusive&) = delete;
  SrwExclusive& operator=(const SrwExclusive&) = delete;
  ~SrwExclusive() { ::ReleaseSRWLockExclusive(&lock_); }

 private:
  SRWLOCK& lock_;
};

class SrwShared {
 public:
  explicit SrwShared(SRWLOCK& lock) noexcept : lock_(lock) { ::AcquireSRWLockShared(&lock_); }
  SrwShared(const SrwShared&) = delete;
  SrwShared& operator=(const SrwShared&) = delete;
  ~SrwShared() { ::ReleaseSRWLockShared(&lock_); }

 private:
  SRWLOCK& lock_;
};

}  // namespace vaduna
