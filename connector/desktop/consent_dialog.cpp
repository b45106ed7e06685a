#include "connector/desktop/consent_dialog.h"

#include <algorithm>
#include <string>

#include "connector/desktop/consent_dialog_ids.h"
#include "connector/utf.h"

namespace vaduna::connector::desktop {

namespace {

// The dialog's results besides IDYES, IDNO and IDCANCEL.
constexpr INT_PTR kNoAnswerResult = 100;
// Posted by Stop from another thread: close as kNoAnswerResult.
constexpr UINT kStopMessage = WM_APP + 1;
constexpr UINT_PTR kTimeoutTimer = 1;

}  // namespace

struct ConsentDialog::Showing {
  ConsentDialog& owner;
  std::wstring origin;
  UINT timeoutMs;
  bool remember = false;
};

bool ConsentDialog::Opened(HWND dialog) {
  std::lock_guard hold(lock_);
  if (stopped_) return false;
  open_ = dialog;
  return true;
}

void ConsentDialog::Closed() {
  std::lock_guard hold(lock_);
  open_ = nullptr;
}

void ConsentDialog::Stop() noexcept {
  std::lock_guard hold(lock_);
  stopped_ = true;
  if (open_ != nullptr) ::PostMessageW(open_, kStopMessage, 0, 0);
}

INT_PTR CALLBACK ConsentDialog::Procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* showing = reinterpret_cast<Showing*>(::GetWindowLongPtrW(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG: {
      showing = reinterpret_cast<Showing*>(lParam);
      ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
      ::SetDlgItemTextW(dialog, VADUNA_CONSENT_ORIGIN, showing->origin.c_str());
      ::CheckDlgButton(dialog, VADUNA_CONSENT_REMEMBER, BST_CHECKED);
      if (!showing->owner.Opened(dialog)) {
        ::EndDialog(dialog, kNoAnswerResult);
        return TRUE;
      }
      ::SetTimer(dialog, kTimeoutTimer, showing->timeoutMs, nullptr);
      ::SetForegroundWindow(dialog);
      ::SetFocus(::GetDlgItem(dialog, IDNO));
      return FALSE;  // the focus is set
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDYES:
        case IDNO:
          showing->remember = ::IsDlgButtonChecked(dialog, VADUNA_CONSENT_REMEMBER) == BST_CHECKED;
          ::EndDialog(dialog, LOWORD(wParam));
          return TRUE;
        case IDCANCEL:
          ::EndDialog(dialog, IDCANCEL);
          return TRUE;
      }
      return FALSE;
    case WM_TIMER:
      if (wParam != kTimeoutTimer) return FALSE;
      ::EndDialog(dialog, kNoAnswerResult);
      return TRUE;
    case kStopMessage:
      ::EndDialog(dialog, kNoAnswerResult);
      return TRUE;
    case WM_DESTROY:
      ::KillTimer(dialog, kTimeoutTimer);
      if (showing != nullptr) showing->owner.Closed();
      return FALSE;
  }
  return FALSE;
}

AskedAnswer ConsentDialog::Ask(const std::string& origin, std::chrono::milliseconds timeout) {
  {
    std::lock_guard hold(lock_);
    if (stopped_) return {ConsentOutcome::kNoAnswer, false};
  }
  const auto timeoutMs = std::max<std::chrono::milliseconds::rep>(timeout.count(), 1);
  Showing showing{*this, FromUtf8(origin), static_cast<UINT>(timeoutMs)};
  ::SetLastError(ERROR_SUCCESS);
  const INT_PTR result = ::DialogBoxParamW(module_, MAKEINTRESOURCEW(VADUNA_CONSENT_DIALOG), nullptr, &Procedure,
                                           reinterpret_cast<LPARAM>(&showing));
  switch (result) {
    case IDYES:
      return {ConsentOutcome::kAllowed, showing.remember};
    case IDNO:
      return {ConsentOutcome::kDenied, showing.remember};
    case IDCANCEL:  // closed: a Deny that is not kept
      return {ConsentOutcome::kDenied, false};
    case kNoAnswerResult:
      return {ConsentOutcome::kNoAnswer, false};
  }
  return {ConsentOutcome::kUnavailable, false,
          "the dialog could not be shown (error " + std::to_string(::GetLastError()) +
              "): this session has no desktop to show it on"};
}

}  // namespace vaduna::connector::desktop
