#include "connector/page_link.h"

#include <boost/json.hpp>

#include <algorithm>
#include <new>

#include "base/unique_resource.h"
#include "connector/exact_json.h"
#include "connector/utf.h"
#include "vaduna_contract.h"

namespace vaduna::connector {

namespace json = boost::json;
using Microsoft::WRL::ComPtr;

// A call waiting for its reply, on the stack of the calling thread. Its
// fields are guarded by the link's lock; done wakes that thread alone.
struct PageLink::PendingCall {
  CONDITION_VARIABLE done = CONDITION_VARIABLE_INIT;
  bool finished = false;
  HRESULT code = E_UNEXPECTED;
  std::wstring description;
  VARIANT value{};  // owned by the waiting thread once finished
};

namespace {

constexpr const char* kKindNames[] = {"method", "get", "put"};

const char* ReasonWord(DetachReason reason) {
  switch (reason) {
    case DetachReason::kReplaced: return "replaced";
    case DetachReason::kClosed: return "closed";
    case DetachReason::kShutdown: return "shutdown";
  }
  return "closed";
}

std::string Message(const json::object& message) { return json::serialize(message); }

std::wstring Duration(std::chrono::milliseconds time) {
  if (time.count() % 1000 == 0) return std::to_wstring(time.count() / 1000) + L" s";
  return std::to_wstring(time.count()) + L" ms";
}

HRESULT Disconnected(CallFailure& failure) {
  failure.description = L"The page is no longer attached";
  return RPC_E_DISCONNECTED;
}

// The COM result of a reply's error.
HRESULT ErrorResult(const json::object& error, std::wstring& description) {
  const json::value* kind = error.if_contains("kind");
  const json::value* message = error.if_contains("message");
  if (message != nullptr && message->is_string()) {
    const json::string& text = message->get_string();
    description = FromUtf8(std::string_view(text.data(), text.size()));
  }
  const std::string_view word = kind != nullptr && kind->is_string() ? std::string_view(kind->get_string()) : "";
  if (word == "member-not-found") return DISP_E_MEMBERNOTFOUND;
  if (word == "type-mismatch") return DISP_E_TYPEMISMATCH;
  if (word == "unknown-object") {
    description = L"The page no longer holds this object";
    return DISP_E_EXCEPTION;
  }
  // "exception", and any kind of a later revision: the page's code failed.
  if (description.empty()) description = L"The page's code failed";
  return DISP_E_EXCEPTION;
}

}  // namespace

PageLink::PageLink(std::weak_ptr<PageSocket> socket, PageSite& site, Log& log, Settings settings,
                   std::uint64_t number, std::string origin)
    : socket_(std::move(socket)),
      site_(site),
      log_(log),
      settings_(settings),
      number_(number),
      origin_(std::move(origin)) {}

PageLink::~PageLink() = default;

// ---- The socket's side ----

void PageLink::ReceiveFrame(std::string_view frame) noexcept {
  try {
    if (ended()) return;
    if (frame.size() > kMaxFrameBytes) {
      Refuse(CloseCode::kTooBig, "a frame over 16 MiB");
      return;
    }
    json::parse_options options;
    options.max_depth = kMaxJsonDepth;
    json::error_code error;
    json::value message = ParseExact(frame, error, options);
    if (error) {
      Refuse(CloseCode::kMalformed, "a frame that is not JSON (" + error.message() + ")");
      return;
    }
    if (!message.is_object()) {
      Refuse(CloseCode::kProtocol, "a message that is not a JSON object");
      return;
    }
    Dispatch(message.get_object());
  } catch (const std::bad_alloc&) {
    End({}, CloseCode::kInternalError, "out of memory while reading a message");
  } catch (const std::exception& failure) {
    End({}, CloseCode::kInternalError, std::string("failed reading a message: ") + failure.what());
  }
}

void PageLink::Dispatch(const json::object& message) {
  const json::value* op = message.if_contains("op");
  if (op == nullptr || !op->is_string()) {
    Refuse(CloseCode::kProtocol, "a message without an op");
    return;
  }
  const json::string& name = op->get_string();
  if (name == "reply") {
    HandleReply(message);
  } else if (name == "hello") {
    HandleHello(message);
  } else if (name == "detach") {
    log_.Write("leave", {.page = number_});
    Detach(DetachReason::kClosed);
  } else {
    Refuse(CloseCode::kPolicy, "the unknown op \"" + std::string(name.subview().substr(0, 64)) + "\"");
  }
}

void PageLink::HandleHello(const json::object& message) {
  if (CurrentState() != State::kGreeting) {
    Refuse(CloseCode::kProtocol, "a second hello");
    return;
  }
  const json::value* version = message.if_contains("v");
  if (version == nullptr || !version->is_int64() || version->get_int64() != contract::kProtocolVersion) {
    log_.Write("hello_refused", {.page = number_});
    const std::string speaks = "This connector speaks page protocol " + std::to_string(contract::kProtocolVersion);
    End(Message({{"op", "error"}, {"message", speaks}}), CloseCode::kProtocol,
        "it speaks another protocol version");
    return;
  }
  const json::value* app = message.if_contains("app");
  UniqueVariant received;
  const Conversion conversion =
      app != nullptr ? FromWire(*app, *this, received.get()) : Conversion{E_INVALIDARG, true, {}};
  if (!conversion.ok() || received->vt != VT_DISPATCH || received->pdispVal == nullptr) {
    Refuse(CloseCode::kProtocol, "a hello without a reference to its application object");
    return;
  }
  // How long the page waits for the desktop user, in milliseconds (optional; the consent prompt bounds it).
  std::optional<std::chrono::milliseconds> consentTimeout;
  if (const json::value* wait = message.if_contains("consentTimeout"); wait != nullptr) {
    const std::optional<std::uint64_t> ms = PositiveInteger(*wait);
    if (!ms) {
      Refuse(CloseCode::kProtocol, "a hello whose consentTimeout is not a positive number of milliseconds");
      return;
    }
    consentTimeout = std::chrono::milliseconds(std::min<std::uint64_t>(*ms, 24ull * 3600 * 1000));
  }
  {
    SrwExclusive hold(lock_);
    if (state_ != State::kGreeting) return;  // ended meanwhile
    state_ = State::kAttaching;
    application_ = received->pdispVal;
    consentTimeout_ = consentTimeout;
  }
  log_.Write("hello", {.page = number_});
  site_.AttachRequested(shared_from_this());
}

void PageLink::HandleReply(const json::object& message) {
  const json::value* ridValue = message.if_contains("rid");
  const std::optional<std::uint64_t> rid = ridValue != nullptr ? PositiveInteger(*ridValue) : std::nullopt;
  if (!rid) {
    Refuse(CloseCode::kProtocol, "a reply without a valid rid");
    return;
  }
  bool givenOut = false;
  {
    SrwShared hold(lock_);
    givenOut = *rid <= lastRid_;
  }
  if (!givenOut) {
    Refuse(CloseCode::kPolicy, "a reply to call " + std::to_string(*rid) + ", which was never made");
    return;
  }
  const json::value* value = message.if_contains("value");
  const json::value* error = message.if_contains("error");
  if ((value == nullptr) == (error == nullptr)) {
    Refuse(CloseCode::kProtocol, "a reply with neither or both of value and error");
    return;
  }
  // Converted first, also for a call that is no longer waiting: the references in it count as received,
  // and clearing the value sends their release.
  UniqueVariant result;
  HRESULT code = S_OK;
  std::wstring description;
  if (value != nullptr) {
    const Conversion conversion = FromWire(*value, *this, result.get());
    if (conversion.malformed) {
      Refuse(CloseCode::kProtocol, "a reply whose value is none of the protocol's values");
      return;
    }
    code = conversion.code;
    description = conversion.description;
  } else {
    if (!error->is_object()) {
      Refuse(CloseCode::kProtocol, "a reply whose error is not an object");
      return;
    }
    code = ErrorResult(error->get_object(), description);
  }
  {
    SrwExclusive hold(lock_);
    const auto found = pending_.find(*rid);
    if (found != pending_.end()) {
      PendingCall& call = *found->second;
      call.code = code;
      call.description = std::move(description);
      call.value = result.release();
      call.finished = true;
      pending_.erase(found);
      ::WakeConditionVariable(&call.done);
      return;
    }
  }
  log_.Detail("late_reply", {.page = number_, .call = *rid});
  // result is cleared here, outside the lock.
}

void PageLink::Refuse(CloseCode code, std::string_view what) noexcept {
  try {
    End({}, code, "refused " + std::string(what) + " (closing with " +
                      std::to_string(static_cast<unsigned>(code)) + ")");
  } catch (...) {
    End({}, code, "refused a message");
  }
}

void PageLink::SocketClosed(std::string_view why) noexcept {
  try {
    End({}, CloseCode::kNormal, "connection ended: " + std::string(why));
  } catch (...) {
    End({}, CloseCode::kNormal, "connection ended");
  }
}

// ---- The attachment's side ----

ComPtr<IDispatch> PageLink::Application() const {
  SrwShared hold(lock_);
  return application_;
}

bool PageLink::ReportAttached() noexcept {
  {
    SrwExclusive hold(lock_);
    if (state_ == State::kEnded) return false;
    state_ = State::kAttached;
  }
  Send(Message({{"op", "attached"}, {"v", 1}}));
  return true;
}

void PageLink::ReportStatus(const char* state) noexcept {
  try {
    // Attaching: while the desktop user is asked (consent-pending); attached: the server's fate.
    const State now = CurrentState();
    if (now != State::kAttached && now != State::kAttaching) return;
    Send(Message({{"op", "status"}, {"state", state}}));
  } catch (const std::bad_alloc&) {
    log_.Write("status_lost", {.page = number_, .message = state});
  }
}

bool PageLink::greeted() const noexcept { return CurrentState() != State::kGreeting; }

void PageLink::Detach(DetachReason reason) noexcept {
  try {
    End(Message({{"op", "detached"}, {"reason", ReasonWord(reason)}}), CloseCode::kNormal,
        std::string("detached (") + ReasonWord(reason) + ")");
  } catch (...) {
    End({}, CloseCode::kNormal, "detached");
  }
}

void PageLink::Fail(std::string_view message, CloseCode code, std::string_view errorCode) noexcept {
  try {
    json::object frame{{"op", "error"}, {"message", json::string_view(message.data(), message.size())}};
    if (!errorCode.empty()) frame["code"] = json::string_view(errorCode.data(), errorCode.size());
    End(Message(frame), code, "failed: " + std::string(message));
  } catch (...) {
    End({}, code, "failed");
  }
}

std::optional<std::chrono::milliseconds> PageLink::consentTimeout() const noexcept {
  SrwShared hold(lock_);
  return consentTimeout_;
}

void PageLink::End(std::string lastFrame, CloseCode code, std::string why) noexcept {
  ComPtr<IDispatch> application;
  {
    SrwExclusive hold(lock_);
    if (state_ == State::kEnded) return;
    state_ = State::kEnded;
    for (auto& [rid, call] : pending_) {
      call->code = RPC_E_DISCONNECTED;
      call->description = L"The page is no longer attached";
      call->finished = true;
      ::WakeConditionVariable(&call->done);
    }
    pending_.clear();
    application.Swap(application_);
  }
  objects_.Close();  // no release message from here on
  if (auto socket = socket_.lock()) {
    if (!lastFrame.empty()) socket->Send(std::move(lastFrame));
    socket->Close(code, {});
  }
  log_.Write("ended", {.page = number_, .message = why});
  if (std::shared_ptr<PageLink> self = weak_from_this().lock()) site_.PageEnded(std::move(self));
  // application is released here; the closed table sends nothing for it.
}

void PageLink::DisconnectObjects() noexcept {
  if (ended()) CutRemoteReferences();
}

void PageLink::CutRemoteReferences() noexcept {
  try {
    for (const ComPtr<PageObject>& object : objects_.Live()) {
      ::CoDisconnectObject(static_cast<IDispatchEx*>(object.Get()), 0);
    }
  } catch (const std::bad_alloc&) {
    log_.Write("disconnect_out_of_memory", {.page = number_});
  }
}

bool PageLink::ended() const noexcept { return CurrentState() == State::kEnded; }

PageLink::State PageLink::CurrentState() const noexcept {
  SrwShared hold(lock_);
  return state_;
}

std::size_t PageLink::pendingCalls() const noexcept {
  SrwShared hold(lock_);
  return pending_.size();
}

void PageLink::Send(std::string frame) noexcept {
  if (auto socket = socket_.lock()) socket->Send(std::move(frame));
}

// ---- Calls ----

HRESULT PageLink::CallPage(std::uint64_t target, const std::wstring& member, CallKind kind,
                           const DISPPARAMS& params, VARIANT* result, CallFailure& failure) noexcept {
  return HresultBoundary([&]() -> HRESULT {
    if (ended()) return Disconnected(failure);
    if (params.cArgs > kMaxCallArguments) {
      failure.description = L"A page call takes at most " + std::to_wstring(kMaxCallArguments) + L" arguments";
      return DISP_E_BADPARAMCOUNT;
    }
    // rgvarg holds the last argument first; the page takes the first first.
    json::array args;
    args.reserve(params.cArgs);
    std::size_t stringBytes = 0;
    for (UINT i = params.cArgs; i-- > 0;) {
      json::value arg;
      Conversion conversion = ToWire(params.rgvarg[i], *this, arg);
      if (conversion.ok() && arg.is_string() && (stringBytes += arg.get_string().size()) > kMaxFrameBytes) {
        conversion = {kCallTooLarge, false, L"The arguments are larger than a message to the page may be (16 MiB)"};
      }
      if (!conversion.ok()) {
        failure.description = std::move(conversion.description);
        failure.argument = i;
        return conversion.code;
      }
      args.push_back(std::move(arg));
    }

    PendingCall call;
    std::uint64_t rid = 0;
    {
      SrwExclusive hold(lock_);
      if (state_ == State::kEnded) return Disconnected(failure);
      if (pending_.size() >= kMaxPendingCalls) {
        failure.description = L"Too many calls are waiting for the page";
        return kTooManyCalls;
      }
      rid = ++lastRid_;
      pending_.emplace(rid, &call);
    }
    // From here on the call is registered: nothing may throw before the wait below removes it.
    const ULONGLONG started = ::GetTickCount64();
    const HRESULT refused = SendCall(rid, target, member, kind, std::move(args), failure);

    HRESULT code = refused;
    bool timedOut = false;
    UniqueVariant value;
    {
      const ULONGLONG deadline = started + static_cast<ULONGLONG>(settings_.callTimeout.count());
      SrwExclusive hold(lock_);
      while (refused == S_OK && !call.finished) {
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) break;
        ::SleepConditionVariableSRW(&call.done, &lock_, static_cast<DWORD>(deadline - now), 0);
      }
      if (call.finished) {
        code = call.code;
        *value.put() = call.value;  // taken over; cleared, if at all, outside the lock
        if (FAILED(code)) failure.description = std::move(call.description);
      } else {
        pending_.erase(rid);  // a reply that comes later is dropped
        timedOut = refused == S_OK;
        if (timedOut) code = kCallTimedOut;
      }
    }
    if (timedOut) {
      failure.description = L"The page did not answer \"" + member + L"\" within " + Duration(settings_.callTimeout);
      log_.Write("timed_out", {.page = number_, .call = rid, .member = ToUtf8(member)});
    } else if (refused == S_OK) {
      log_.Detail("answered",
                  {.page = number_, .call = rid, .ms = ::GetTickCount64() - started, .result = HexCode(code)});
    }
    if (result != nullptr) *result = value.release();  // the reply's value passes to the caller
    return code;
  });
}

HRESULT PageLink::SendCall(std::uint64_t rid, std::uint64_t target, const std::wstring& member, CallKind kind,
                           json::array args, CallFailure& failure) noexcept {
  try {
    json::object call;
    call["op"] = "call";
    call["rid"] = rid;
    call["target"] = target;
    call["member"] = ToUtf8(member);
    call["kind"] = kKindNames[static_cast<int>(kind)];
    call["args"] = std::move(args);
    std::string frame = json::serialize(call);
    if (frame.size() > kMaxFrameBytes) {
      failure.description = L"The call is larger than a message to the page may be (16 MiB)";
      return kCallTooLarge;
    }
    log_.Detail("call", {.page = number_,
                         .call = rid,
                         .object = target,
                         .member = ToUtf8(member),
                         .kind = kKindNames[static_cast<int>(kind)]});
    Send(std::move(frame));
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

void PageLink::LastReleased(PageObject& object) noexcept {
  const std::optional<std::uint64_t> count = objects_.Forget(object);
  if (!count) return;
  try {
    Send(Message({{"op", "release"}, {"id", object.id()}, {"count", *count}}));
  } catch (const std::bad_alloc&) {
    log_.Write("release_lost", {.page = number_, .object = object.id()});
  }
}

std::optional<std::uint64_t> PageLink::IdOf(IUnknown* object) noexcept {
  const ComPtr<PageObject> own = PageObject::FromUnknown(object);
  if (!own || own->owner() != static_cast<const PageObjectOwner*>(this)) return std::nullopt;
  return objects_.IdOf(*own.Get());
}

HRESULT PageLink::Receive(std::uint64_t id, IDispatch** object) noexcept {
  if (object == nullptr) return E_POINTER;
  PageObject* received = nullptr;
  const HRESULT hr = objects_.Receive(shared_from_this(), id, &received);
  *object = received;  // its reference passes to the caller
  return hr;
}

}  // namespace vaduna::connector
