// One RAII owner per kind of platform resource.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <objbase.h>

#include <utility>

namespace vaduna {

// Owns one value of a handle-like type and gives it back with Close.
template <typename T, auto Close, T Invalid = T{}>
class UniqueResource {
 public:
  UniqueResource() noexcept = default;
  explicit UniqueResource(T value) noexcept : value_(value) {}
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueResource() { reset(); }

  T get() const noexcept { return value_; }
  explicit operator bool() const noexcept { return value_ != Invalid; }

  // For out-parameters: closes what is held first.
  T* put() noexcept {
    reset();
    return &value_;
  }
  T release() noexcept { return std::exchange(value_, Invalid); }
  void reset(T value = Invalid) noexcept {
    T old = std::exchange(value_, value);
    if (old != Invalid) Close(old);
  }

 private:
  T value_ = Invalid;
};

inline void CloseKey(HKEY key) noexcept { ::RegCloseKey(key); }
inline void CloseKernelHandle(HANDLE handle) noexcept { ::CloseHandle(handle); }
inline void CloseModule(HMODULE module) noexcept { ::FreeLibrary(module); }

using UniqueBstr = UniqueResource<BSTR, &::SysFreeString>;
using UniqueHandle = UniqueResource<HANDLE, &CloseKernelHandle>;
using UniqueHkey = UniqueResource<HKEY, &CloseKey>;
using UniqueModule = UniqueResource<HMODULE, &CloseModule>;
template <typename T>
using UniqueCoTaskMem = UniqueResource<T*, &::CoTaskMemFree>;

// A VARIANT that is initialised on construction and cleared on destruction.
class UniqueVariant {
 public:
  UniqueVariant() noexcept { ::VariantInit(&value_); }
  // Takes over what value holds.
  explicit UniqueVariant(const VARIANT& value) noexcept : value_(value) {}
  UniqueVariant(UniqueVariant&& other) noexcept : value_(other.release()) {}
  UniqueVariant(const UniqueVariant&) = delete;
  UniqueVariant& operator=(const UniqueVariant&) = delete;
  ~UniqueVariant() { ::VariantClear(&value_); }

  VARIANT* get() noexcept { return &value_; }
  const VARIANT* get() const noexcept { return &value_; }
  VARIANT* operator->() noexcept { return &value_; }
  const VARIANT* operator->() const noexcept { return &value_; }

  // Clears what is held and hands out the empty VARIANT to be filled.
  VARIANT* put() noexcept {
    ::VariantClear(&value_);
    return &value_;
  }
  // Gives up ownership: the caller takes the contents; this becomes VT_EMPTY.
  VARIANT release() noexcept {
    VARIANT out = value_;
    ::VariantInit(&value_);
    return out;
  }

 private:
  VARIANT value_;
};

// Holds a CRITICAL_SECTION for the scope of a block.
class CriticalSectionGuard {
 public:
  explicit CriticalSectionGuard(CRITICAL_SECTION& section) noexcept : section_(section) {
    ::EnterCriticalSection(&section_);
  }
  CriticalSectionGuard(const CriticalSectionGuard&) = delete;
  CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;
  ~CriticalSectionGuard() { ::LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION& section_;
};

// Exclusive and shared holds on a slim reader/writer lock for a block.
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
