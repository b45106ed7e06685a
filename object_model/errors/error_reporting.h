// Error state of a server object (last message number and text) and the
// platform error record published when a failure is recorded.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <optional>
#include <string_view>

#include "base/unique_resource.h"
#include "interface/resource_ids.h"

namespace vaduna {

// Message numbers of the string table.
enum MessageId : UINT {
  kMsgNullAttach = VADUNA_MESSAGE_NULL_ATTACH,            // "Can not attach a null object."
  kMsgOutOfScope = VADUNA_MESSAGE_OUT_OF_SCOPE,           // "The Object is out of scope."
  kMsgNoService = VADUNA_MESSAGE_NO_SERVICE,              // "Unable to Get Service."
  kMsgAlreadyAttached = VADUNA_MESSAGE_ALREADY_ATTACHED,  // "Already Attached to the Vaduna Object"
};

// The message's text from the executable's string table, or nothing.
std::optional<std::wstring_view> LoadMessageText(UINT id) noexcept;

// Entry index of one string-table block of units UTF-16 units: sixteen
// strings, each a length followed by that many units. An entry of length 0,
// or one that would run past the block's end, is absent.
std::optional<std::wstring_view> StringTableEntry(const WCHAR* block, size_t units, UINT index) noexcept;

// Builds the error record and makes it the calling thread's current one.
// A description that is a message number (a pointer value up to 0xFFFF) is
// loaded from module. Yields code, or DISP_E_EXCEPTION when code is 0.
HRESULT PublishErrorInfo(REFCLSID classId, const wchar_t* description, DWORD helpContext,
                         const wchar_t* helpFile, REFIID interfaceId, HRESULT code,
                         HINSTANCE module) noexcept;

// Sticky error state: a success never clears it. Safe to use from several
// threads at once.
class ErrorState {
 public:
  ErrorState() noexcept = default;
  ErrorState(const ErrorState&) = delete;
  ErrorState& operator=(const ErrorState&) = delete;

  // Sets code and text from the string table and publishes the record with
  // the object's class and interface; yields PublishErrorInfo's result:
  // DISP_E_EXCEPTION, or 0x80040000 for a message without text. Code and
  // text change together under the lock; the record is built outside it.
  HRESULT Record(UINT id, REFCLSID classId, REFIID interfaceId) noexcept;

  // GetLastErrCode and GetLastErrText of the three interfaces: E_POINTER for
  // a null out-parameter. The text is a new copy per call (E_OUTOFMEMORY if
  // it cannot be made), null when there is none.
  HRESULT GetCode(INT* code) const noexcept;
  HRESULT GetText(BSTR* text) const noexcept;

 private:
  mutable SRWLOCK lock_ = SRWLOCK_INIT;
  LONG code_ = 0;
  UniqueBstr text_;
};

}  // namespace vaduna
