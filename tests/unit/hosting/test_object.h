// A minimal service-shaped server object for the host tests: its clean-up
// records what it sees, and GetLastErrCode answers a fixed value.
#pragma once

#include "hosting/aggregatable_object.h"

namespace vaduna::testing {

inline constexpr INT kTestErrCode = 42;
// A held clean-up goes on by itself after this long, so that a failing test
// still ends.
inline constexpr DWORD kCleanUpHoldLimitMs = 30000;

class TestObject;

struct CleanUpSeen {
  int calls = 0;
  LONG lockCount = -1;
  LONG objectCount = 0;
  // Set by a test that aggregates: the guard is read from its own count.
  const Aggregated<TestObject>* aggregate = nullptr;
  // Set by a test that keeps a clean-up in flight: the clean-up, once it
  // has recorded what it sees, waits for this event.
  HANDLE holdUntil = nullptr;
};
inline CleanUpSeen g_cleanUp;

// The server's type library, which every test executable carries.
struct TestTypeLibrary {
  static const GUID& Id() noexcept { return LIBID_VADUNAHTMLLib; }
  static constexpr WORD kMajor = 1;
  static constexpr WORD kMinor = 0;
};

class TestObject : public DualObject<AggregatableObject, IVadunaService, TestTypeLibrary> {
 public:
  explicit TestObject(IUnknown* outer) noexcept : DualObject(outer, Module()) {}

  HRESULT STDMETHODCALLTYPE Name(BSTR* str) override { return str ? (*str = nullptr, S_OK) : E_POINTER; }
  HRESULT STDMETHODCALLTYPE InvokeMethod(BSTR, IVadunaPropertySet*, IVadunaPropertySet*, VARIANT_BOOL*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetLastErrCode(INT* errCode) override {
    ++errCodeCalls;
    if (errCode == nullptr) return E_POINTER;
    *errCode = kTestErrCode;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetLastErrText(BSTR* text) override { return text ? (*text = nullptr, S_OK) : E_POINTER; }

  int errCodeCalls = 0;

 protected:
  void CleanUp() noexcept override {
    ++g_cleanUp.calls;
    g_cleanUp.lockCount = Module().LockCount();
    g_cleanUp.objectCount = g_cleanUp.aggregate ? g_cleanUp.aggregate->RefCount() : RefCount();
    if (g_cleanUp.holdUntil != nullptr) ::WaitForSingleObject(g_cleanUp.holdUntil, kCleanUpHoldLimitMs);
  }
};

}  // namespace vaduna::testing
