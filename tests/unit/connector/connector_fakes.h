// Stand-ins for the connector's surroundings in its tests: a page socket that
// records what the link sends, a site that records attach and detach
// requests, a log kept in memory, and a COM client's calls from threads of
// their own.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <boost/json.hpp>

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "connector/log.h"
#include "connector/page_link.h"
#include "connector/page_site.h"
#include "connector/page_socket.h"
#include "tests/support/fake_script_object.h"

namespace vaduna::connector::test {

using vaduna::test::VariantValue;
using namespace std::chrono_literals;

class FakeSocket final : public PageSocket {
 public:
  void Send(std::string text) noexcept override;
  void Close(CloseCode code, std::string reason) noexcept override;

  std::vector<boost::json::object> Frames() const;
  // The first frame of op from index `from` on, waiting for it at most timeout.
  std::optional<boost::json::object> WaitFor(std::string_view op, std::size_t from = 0,
                                             std::chrono::milliseconds timeout = 5s) const;
  std::size_t Count(std::string_view op) const;
  std::optional<CloseCode> closed() const;
  std::size_t sentAfterClose() const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> frames_;
  std::optional<CloseCode> closed_;
  std::size_t sentAfterClose_ = 0;
};

class FakeSite final : public PageSite {
 public:
  void AttachRequested(std::shared_ptr<PageLink> link) noexcept override;
  void PageEnded(std::shared_ptr<PageLink> link) noexcept override;

  std::size_t attachRequests() const;
  std::size_t ended() const;
  std::shared_ptr<PageLink> lastAttachRequest() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<PageLink>> attachRequests_;
  std::vector<std::shared_ptr<PageLink>> ended_;
};

// A log whose lines are kept for the test to read.
class MemoryLog {
 public:
  MemoryLog();
  Log& log() { return log_; }
  std::vector<std::string> Lines() const;
  bool Contains(std::string_view text) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  Log log_;
};

// What a client's call of a COM object came back with.
struct CallOutcome {
  HRESULT hr = E_UNEXPECTED;
  VariantValue result;
  std::wstring description;  // from EXCEPINFO for DISP_E_EXCEPTION, else from the thread's error record
  std::wstring source;
  UINT argError = 0xdeadbeef;
};

// Calls member of object on a thread of its own (in the multithreaded apartment): GetIDsOfNames, then
// Invoke with flags. args are in call order (first first); for a put, args holds the value alone.
std::future<CallOutcome> CallAsync(IDispatch* object, std::wstring member, WORD flags,
                                   std::vector<VariantValue> args = {});

// A page link with a fake socket and site, and its page attached through hello (application object 1).
struct LinkHarness {
  explicit LinkHarness(std::chrono::milliseconds callTimeout = 5s);
  ~LinkHarness();

  void Frame(const std::string& text) { link->ReceiveFrame(text); }
  void Frame(const boost::json::object& message) { link->ReceiveFrame(boost::json::serialize(message)); }
  // Says hello with application object id, and answers the attach as the attachment would.
  Microsoft::WRL::ComPtr<IDispatch> Hello(std::uint64_t id = 1);
  // Waits for the next call frame after the `from`-th frame and answers it with value (JSON text).
  boost::json::object NextCall(std::size_t from = 0);
  void Reply(std::uint64_t rid, const std::string& valueJson);
  void ReplyError(std::uint64_t rid, const std::string& kind, const std::string& message);

  std::shared_ptr<FakeSocket> socket = std::make_shared<FakeSocket>();
  FakeSite site;
  MemoryLog log;
  std::shared_ptr<PageLink> link;
};

std::uint64_t Rid(const boost::json::object& frame);

}  // namespace vaduna::connector::test
