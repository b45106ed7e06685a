#include "tests/unit/connector/connector_fakes.h"

#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

namespace vaduna::connector::test {

namespace json = boost::json;
using Microsoft::WRL::ComPtr;

// ---- FakeSocket ----

void FakeSocket::Send(std::string text) noexcept {
  std::lock_guard hold(mutex_);
  if (closed_) {
    ++sentAfterClose_;
    return;
  }
  frames_.push_back(std::move(text));
  changed_.notify_all();
}

void FakeSocket::Close(CloseCode code, std::string) noexcept {
  std::lock_guard hold(mutex_);
  if (!closed_) closed_ = code;
  changed_.notify_all();
}

std::vector<json::object> FakeSocket::Frames() const {
  std::lock_guard hold(mutex_);
  std::vector<json::object> parsed;
  for (const std::string& frame : frames_) parsed.push_back(json::parse(frame).as_object());
  return parsed;
}

std::optional<json::object> FakeSocket::WaitFor(std::string_view op, std::size_t from,
                                                std::chrono::milliseconds timeout) const {
  std::unique_lock hold(mutex_);
  std::optional<json::object> found;
  changed_.wait_for(hold, timeout, [&] {
    for (std::size_t i = from; i < frames_.size(); ++i) {
      json::object frame = json::parse(frames_[i]).as_object();
      if (frame["op"].is_string() && frame["op"].get_string() == op) {
        found = std::move(frame);
        return true;
      }
    }
    return false;
  });
  return found;
}

std::size_t FakeSocket::Count(std::string_view op) const {
  std::size_t count = 0;
  for (const json::object& frame : Frames()) count += frame.at("op").is_string() && frame.at("op").get_string() == op ? 1 : 0;
  return count;
}

std::optional<CloseCode> FakeSocket::closed() const {
  std::lock_guard hold(mutex_);
  return closed_;
}

std::size_t FakeSocket::sentAfterClose() const {
  std::lock_guard hold(mutex_);
  return sentAfterClose_;
}

// ---- FakeSite ----

void FakeSite::AttachRequested(std::shared_ptr<PageLink> link) noexcept {
  std::lock_guard hold(mutex_);
  attachRequests_.push_back(std::move(link));
}

void FakeSite::PageEnded(std::shared_ptr<PageLink> link) noexcept {
  std::lock_guard hold(mutex_);
  ended_.push_back(std::move(link));
}

std::size_t FakeSite::attachRequests() const {
  std::lock_guard hold(mutex_);
  return attachRequests_.size();
}

std::shared_ptr<PageLink> FakeSite::lastAttachRequest() const {
  std::lock_guard hold(mutex_);
  return attachRequests_.empty() ? nullptr : attachRequests_.back();
}

std::size_t FakeSite::ended() const {
  std::lock_guard hold(mutex_);
  return ended_.size();
}

// ---- MemoryLog ----

MemoryLog::MemoryLog()
    : log_(true, [this](std::string_view line) {
        std::lock_guard hold(mutex_);
        lines_.emplace_back(line);
      }) {}

std::vector<std::string> MemoryLog::Lines() const {
  std::lock_guard hold(mutex_);
  return lines_;
}

bool MemoryLog::Contains(std::string_view text) const {
  for (const std::string& line : Lines()) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

// ---- Calls ----

std::future<CallOutcome> CallAsync(IDispatch* object, std::wstring member, WORD flags,
                                   std::vector<VariantValue> args) {
  ComPtr<IDispatch> target(object);
  return std::async(std::launch::async, [target, member = std::move(member), flags, args = std::move(args)] {
    const HRESULT init = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CallOutcome outcome;
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(member.c_str())};
    outcome.hr = target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (SUCCEEDED(outcome.hr)) {
      // rgvarg holds the last argument first.
      std::vector<VARIANT> rgvarg;
      for (auto arg = args.rbegin(); arg != args.rend(); ++arg) rgvarg.push_back(arg->get());
      DISPID named = DISPID_PROPERTYPUT;
      const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
      DISPPARAMS params{rgvarg.empty() ? nullptr : rgvarg.data(), put ? &named : nullptr,
                        static_cast<UINT>(rgvarg.size()), put ? 1u : 0u};
      EXCEPINFO exception{};
      ::SetErrorInfo(0, nullptr);
      outcome.hr = target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, outcome.result.put(),
                                  &exception, &outcome.argError);
      if (outcome.hr == DISP_E_EXCEPTION) {
        if (exception.bstrDescription) outcome.description = exception.bstrDescription;
        if (exception.bstrSource) outcome.source = exception.bstrSource;
        ::SysFreeString(exception.bstrDescription);
        ::SysFreeString(exception.bstrSource);
        ::SysFreeString(exception.bstrHelpFile);
      } else if (FAILED(outcome.hr)) {
        ComPtr<IErrorInfo> info;
        if (::GetErrorInfo(0, &info) == S_OK) {
          BSTR text = nullptr;
          if (SUCCEEDED(info->GetDescription(&text)) && text) outcome.description = text;
          ::SysFreeString(text);
          if (SUCCEEDED(info->GetSource(&text)) && text) outcome.source = text;
          ::SysFreeString(text);
        }
      }
    }
    if (SUCCEEDED(init)) ::CoUninitialize();
    return outcome;
  });
}

// ---- LinkHarness ----

LinkHarness::LinkHarness(std::chrono::milliseconds callTimeout) {
  link = std::make_shared<PageLink>(socket, site, log.log(), PageLink::Settings{callTimeout}, 1,
                                    "http://127.0.0.1:8080");
}

LinkHarness::~LinkHarness() {
  // The link holds the page's application object, which holds the link: the end breaks that circle.
  link->SocketClosed("the test is over");
}

ComPtr<IDispatch> LinkHarness::Hello(std::uint64_t id) {
  Frame(json::object{{"op", "hello"}, {"v", 1}, {"app", {{"$", "ref"}, {"id", id}}}});
  EXPECT_TRUE(link->ReportAttached());
  ComPtr<IDispatch> application = link->Application();
  EXPECT_TRUE(application);
  return application;
}

json::object LinkHarness::NextCall(std::size_t from) {
  std::optional<json::object> call = socket->WaitFor("call", from);
  EXPECT_TRUE(call.has_value()) << "no call reached the page";
  return call.value_or(json::object{});
}

void LinkHarness::Reply(std::uint64_t rid, const std::string& valueJson) {
  Frame(R"({"op":"reply","rid":)" + std::to_string(rid) + R"(,"value":)" + valueJson + "}");
}

void LinkHarness::ReplyError(std::uint64_t rid, const std::string& kind, const std::string& message) {
  Frame(json::object{{"op", "reply"}, {"rid", rid}, {"error", {{"kind", kind}, {"message", message}}}});
}

std::uint64_t Rid(const json::object& frame) {
  const json::value* rid = frame.if_contains("rid");
  return rid != nullptr && rid->is_int64() ? static_cast<std::uint64_t>(rid->get_int64()) : 0;
}

}  // namespace vaduna::connector::test
