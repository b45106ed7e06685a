// The real ConsentAsker: the dialog of the connector's resources (titled
// contract::kConsentDialogTitle), modal, on the calling thread (the prompt's).
// It names the origin exactly, says what allowing means, has Allow (IDYES),
// Deny (IDNO, the default button) and "Remember my decision" (checked when
// shown). It closes itself as kNoAnswer when its time-out passes.
#pragma once

#include <windows.h>

#include <mutex>

#include "connector/desktop/consent_prompt.h"

namespace vaduna::connector::desktop {

class ConsentDialog final : public ConsentAsker {
 public:
  // module holds the dialog template: the executable, which links the resource script.
  explicit ConsentDialog(HMODULE module = ::GetModuleHandleW(nullptr)) : module_(module) {}

  // kUnavailable when no dialog can be made (no desktop: a service session,
  // Wine without a display).
  AskedAnswer Ask(const std::string& origin, std::chrono::milliseconds timeout) override;
  void Stop() noexcept override;

 private:
  struct Showing;
  static INT_PTR CALLBACK Procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
  // Whether the dialog may stay open: false once stopped.
  bool Opened(HWND dialog);
  void Closed();

  const HMODULE module_;
  std::mutex lock_;
  HWND open_ = nullptr;  // guarded by lock_
  bool stopped_ = false;  // guarded by lock_
};

}  // namespace vaduna::connector::desktop
