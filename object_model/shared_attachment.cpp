#include "object_model/shared_attachment.h"

#include <cctype>
#include <climits>
#include <string>
#include <utility>

#include "server_host/unique_resource.h"

namespace vaduna {
namespace {

constexpr wchar_t kSyncEventName[] = L"VWEAutoSynchroEvt";
constexpr char kTimeoutVariable[] = "VADUNA_HTML_AUTOTIMEOUT";

// The C library's atoi rules (leading white space, one sign, digits up to the
// first other character, no digits is 0), saturating instead of overflowing.
LONG ParseAtoi(const char* text) noexcept {
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = (*text++ == '-');
  long long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) value = INT_MAX;
  return static_cast<LONG>(value);
}

// The variable's value, or nothing when it is not set. Read through the
// process environment block, so that a SetEnvironmentVariableA is seen.
bool ReadTimeoutVariable(std::string* value) noexcept {
  try {
    std::string buffer(64, '\0');
    for (;;) {
      ::SetLastError(ERROR_SUCCESS);
      const DWORD length = ::GetEnvironmentVariableA(kTimeoutVariable, buffer.data(),
                                                     static_cast<DWORD>(buffer.size()));
      if (length == 0) {
        if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
        value->clear();  // set but empty
        return true;
      }
      if (length < buffer.size()) {
        buffer.resize(length);
        *value = std::move(buffer);
        return true;
      }
      buffer.resize(length);
    }
  } catch (const std::bad_alloc&) {
    return false;  // treated as unset: the time-out stays as it was
  }
}

}  // namespace

SharedAttachment& SharedAttachment::Instance() noexcept {
  static SharedAttachment attachment;
  return attachment;
}

ScriptRef SharedAttachment::CurrentApp() const noexcept {
  SrwShared hold(lock_);
  return ScriptRef(currentApp_);
}

bool SharedAttachment::IsAttached() const noexcept {
  SrwShared hold(lock_);
  return currentApp_ != nullptr;
}

LONG SharedAttachment::SyncTimeout() const noexcept {
  SrwShared hold(lock_);
  return syncTimeout_;
}

bool SharedAttachment::WaitUntilReady() const noexcept {
  // The wait runs on a duplicate, so that an OnUnload on another thread may
  // close the shared handle meanwhile.
  UniqueHandle event;
  LONG timeout = 0;
  {
    SrwShared hold(lock_);
    if (syncEvent_ == nullptr) return false;
    const HANDLE process = ::GetCurrentProcess();
    if (!::DuplicateHandle(process, syncEvent_, process, event.put(), SYNCHRONIZE, FALSE, 0)) return false;
    timeout = syncTimeout_;
  }
  return ::WaitForSingleObject(event.get(), static_cast<DWORD>(timeout)) == WAIT_OBJECT_0;
}

HRESULT SharedAttachment::Attach(IDispatch* app) noexcept {
  app->AddRef();  // the attachment's one reference, given back by the attaching object's OnUnload
  UniqueHandle opened(::OpenEventW(SYNCHRONIZE, FALSE, kSyncEventName));
  const bool eventOpened = static_cast<bool>(opened);
  std::string timeoutText;
  const bool timeoutSet = eventOpened && ReadTimeoutVariable(&timeoutText);

  UniqueHandle replacedEvent;
  IDispatch* abandoned = nullptr;
  {
    SrwExclusive hold(lock_);
    // A replaced script application is not released here: the object that
    // attached it still shares its reference and gives it back in OnUnload,
    // unless that object is gone.
    if (std::exchange(ownsCurrentApp_, false)) abandoned = currentApp_;
    currentApp_ = app;
    replacedEvent.reset(std::exchange(syncEvent_, opened.release()));
    if (timeoutSet) {
      const LONG timeout = ParseAtoi(timeoutText.c_str());
      syncTimeout_ = timeout > 0 ? timeout : kDefaultTimeoutMs;
    }
  }
  if (abandoned != nullptr) abandoned->Release();
  return eventOpened ? S_OK : S_FALSE;
}

void SharedAttachment::Detach(IDispatch* attachedApp) noexcept {
  UniqueHandle closedEvent;
  IDispatch* abandoned = nullptr;
  {
    SrwExclusive hold(lock_);
    if (attachedApp != nullptr && attachedApp == currentApp_) {
      currentApp_ = nullptr;
      if (std::exchange(ownsCurrentApp_, false)) abandoned = attachedApp;
    }
    closedEvent.reset(std::exchange(syncEvent_, nullptr));
  }
  if (attachedApp != nullptr) attachedApp->Release();  // the reference taken by Attach
  if (abandoned != nullptr) abandoned->Release();     // the record's own, from Abandon
}

void SharedAttachment::Abandon(IDispatch* attachedApp) noexcept {
  if (attachedApp == nullptr) return;
  {
    SrwExclusive hold(lock_);
    if (attachedApp == currentApp_ && !ownsCurrentApp_) {
      ownsCurrentApp_ = true;
      return;
    }
  }
  attachedApp->Release();  // the reference taken by Attach
}

void SharedAttachment::DisconnectCurrentApp() noexcept {
  ScriptRef app = CurrentApp();
  if (app) ::CoDisconnectObject(app.get(), 0);
}

void SharedAttachment::ResetForTesting() noexcept {
  IDispatch* app = nullptr;
  UniqueHandle closedEvent;
  {
    SrwExclusive hold(lock_);
    app = std::exchange(currentApp_, nullptr);
    ownsCurrentApp_ = false;
    closedEvent.reset(std::exchange(syncEvent_, nullptr));
    syncTimeout_ = kDefaultTimeoutMs;
  }
  if (app != nullptr) app->Release();
}

}  // namespace vaduna
