#include "object_model/shared_attachment.h"

#include <cstdlib>
#include <string>
#include <utility>

#include "object_model/script/script_contract.h"
#include "vaduna_contract.h"

namespace vaduna {
namespace {


// The C library's atoi rules (leading white space, one sign, digits up to the
// first other character, no digits is 0), saturating instead of overflowing.
LONG ParseMilliseconds(const std::string& text) noexcept {
  static_assert(sizeof(long) == sizeof(LONG), "strtol saturates at the limits of LONG");
  return std::strtol(text.c_str(), nullptr, 10);
}

// The variable's value, or nothing when it is not set. Read through the
// process environment block, so that a SetEnvironmentVariableA is seen.
bool ReadTimeoutVariable(std::string* value) noexcept {
  try {
    std::string buffer(64, '\0');
    for (;;) {
      ::SetLastError(ERROR_SUCCESS);
      const DWORD length = ::GetEnvironmentVariableA(contract::kTimeoutVariable, buffer.data(),
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

bool MeansPageGone(HRESULT callResult) noexcept {
  switch (callResult) {
    case RPC_E_DISCONNECTED:
    case HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE):
    case RPC_E_SERVER_DIED:
    case RPC_E_SERVER_DIED_DNE:
    case CO_E_OBJNOTCONNECTED:
      return true;
    default:
      return false;
  }
}

ScriptRef SharedAttachment::CurrentApp() const noexcept {
  SrwShared hold(lock_);
  return ScriptRef(currentApp_);
}

SharedAttachment::Page SharedAttachment::CurrentPage() const noexcept {
  SrwShared hold(lock_);
  return Page{ScriptRef(currentApp_), generation_};
}

ULONG SharedAttachment::Generation() const noexcept {
  SrwShared hold(lock_);
  return generation_;
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
    if (!syncEvent_) return false;
    const HANDLE process = ::GetCurrentProcess();
    if (!::DuplicateHandle(process, syncEvent_.get(), process, event.put(), SYNCHRONIZE, FALSE, 0)) return false;
    timeout = syncTimeout_;
  }
  return ::WaitForSingleObject(event.get(), static_cast<DWORD>(timeout)) == WAIT_OBJECT_0;
}

HRESULT SharedAttachment::Attach(IDispatch* app, PageOwner* attacher,
                                 Microsoft::WRL::ComPtr<IDispatch>* released) noexcept {
  app->AddRef();  // the attachment's one reference, given back by the attaching object's OnUnload
  UniqueHandle opened(::OpenEventW(SYNCHRONIZE, FALSE, contract::kReadyEventName));
  const bool eventOpened = static_cast<bool>(opened);
  std::string timeoutText;
  const bool timeoutSet = eventOpened && ReadTimeoutVariable(&timeoutText);

  IDispatch* abandoned = nullptr;
  {
    SrwExclusive hold(lock_);
    // A replaced script application is not released here: the object that
    // attached it still shares its reference and gives it back in OnUnload,
    // unless that object is gone.
    if (std::exchange(ownsCurrentApp_, false)) abandoned = currentApp_;
    currentApp_ = app;
    attacher_ = attacher;
    generation_ = ++lastGeneration_;
    std::swap(syncEvent_, opened);  // the replaced event is closed outside the lock
    if (timeoutSet) {
      const LONG timeout = ParseMilliseconds(timeoutText);
      syncTimeout_ = timeout > 0 ? timeout : kDefaultTimeoutMs;
    }
  }
  if (abandoned != nullptr && released != nullptr) {
    *released->ReleaseAndGetAddressOf() = abandoned;  // the record's reference passes on
  } else if (abandoned != nullptr) {
    abandoned->Release();
  }
  return eventOpened ? S_OK : S_FALSE;
}

void SharedAttachment::Detach(IDispatch* attachedApp) noexcept {
  UniqueHandle closedEvent;
  IDispatch* abandoned = nullptr;
  {
    SrwExclusive hold(lock_);
    if (attachedApp != nullptr && attachedApp == currentApp_) {
      currentApp_ = nullptr;
      attacher_ = nullptr;
      generation_ = 0;
      if (std::exchange(ownsCurrentApp_, false)) abandoned = attachedApp;
      std::swap(syncEvent_, closedEvent);
    }
  }
  if (attachedApp != nullptr) attachedApp->Release();  // the reference taken by Attach
  if (abandoned != nullptr) abandoned->Release();     // the record's own, from Abandon
}

void SharedAttachment::Abandon(IDispatch* attachedApp, PageOwner* attacher) noexcept {
  {
    SrwExclusive hold(lock_);
    if (attacher != nullptr && attacher_ == attacher) attacher_ = nullptr;
    if (attachedApp == nullptr) return;
    if (attachedApp == currentApp_ && !ownsCurrentApp_) {
      ownsCurrentApp_ = true;
      return;
    }
  }
  attachedApp->Release();  // the reference taken by Attach
}

bool SharedAttachment::PageUnreachable(ULONG generation) const noexcept {
  const Page page = CurrentPage();
  if (page.app.empty() || page.generation != generation) return true;
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(script::kAppIsReady)};
  return MeansPageGone(page.app.get()->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
}

void SharedAttachment::PageGone(ULONG generation) noexcept {
  PageOwner* attacher = nullptr;  // with a reference of ours
  IDispatch* dropped = nullptr;
  UniqueHandle closedEvent;
  {
    SrwExclusive hold(lock_);
    if (generation == 0 || generation != generation_ || currentApp_ == nullptr) return;
    if (attacher_ != nullptr && attacher_->TryHoldPageOwner()) {
      attacher = attacher_;
    } else {
      // The attaching object is gone or going: the page is dropped here, and
      // the record's own reference, if it has it, goes with it.
      if (std::exchange(ownsCurrentApp_, false)) dropped = currentApp_;
      currentApp_ = nullptr;
      attacher_ = nullptr;
      generation_ = 0;
      std::swap(syncEvent_, closedEvent);
    }
  }
  if (dropped != nullptr) dropped->Release();
  if (attacher == nullptr) return;
  attacher->UnloadDeadPage();
  attacher->ReleasePageOwner();
}

void SharedAttachment::DisconnectCurrentApp() noexcept {
  ScriptRef app = CurrentApp();
  if (app) ::CoDisconnectObject(app.get(), 0);
}

SharedAttachment::~SharedAttachment() {
  // The app is shared with its attacher only while that object lives (the
  // record outlives every object of its context); one attached without an
  // attacher is the record's own.
  if (currentApp_ != nullptr && (ownsCurrentApp_ || attacher_ == nullptr)) currentApp_->Release();
}

}  // namespace vaduna
