// HRESULT helpers: status conversion, early returns, and the boundary that
// keeps exceptions from crossing an interface.
#pragma once

#include <windows.h>

#include <exception>
#include <new>

namespace vaduna {

// A platform status as an HRESULT: 0 is S_OK, a positive status becomes
// 0x8007xxxx, anything else is already an HRESULT and passes unchanged.
constexpr HRESULT HresultFromStatus(LONG status) noexcept {
  if (status == 0) return S_OK;
  if (status > 0) return static_cast<HRESULT>(0x80070000u | (static_cast<ULONG>(status) & 0xFFFFu));
  return status;
}

inline HRESULT HresultFromLastError() noexcept {
  return HresultFromStatus(static_cast<LONG>(::GetLastError()));
}

// Carries a failure out of code that cannot return one (a constructor).
class HResultError : public std::exception {
 public:
  explicit HResultError(HRESULT code) noexcept : code_(code) {}
  HRESULT code() const noexcept { return code_; }
  const char* what() const noexcept override { return "HRESULT failure"; }

 private:
  HRESULT code_;
};

// Runs body (returning an HRESULT) and maps any exception to its HRESULT.
template <typename Body>
HRESULT HresultBoundary(Body&& body) noexcept {
  try {
    return body();
  } catch (const HResultError& error) {
    return error.code();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

}  // namespace vaduna

// Returns the HRESULT of expr from the enclosing function when it failed.
#define VADUNA_RETURN_IF_FAILED(expr)            \
  do {                                           \
    const HRESULT vaduna_hr_ = (expr);           \
    if (FAILED(vaduna_hr_)) return vaduna_hr_;   \
  } while (false)
