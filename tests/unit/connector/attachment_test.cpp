// The page side of the readiness contract against fake server application
// objects: AttachAppObject with the page's object and the event set, detach
// with the event reset and OnUnload, a second page replacing the first (or
// failing to, which changes nothing), a server that cannot be started, one
// that dies under an attached page, and the shutdown.
#include "connector/attachment.h"

#include <wrl/client.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tests/unit/connector/connector_fakes.h"

namespace vaduna::connector::test {
namespace {

namespace json = boost::json;
using Microsoft::WRL::ComPtr;
using vaduna::test::FakeScriptObject;

// Server application objects that record, in one list for all of them, which of them was called for what.
class FakeServer final : public ServerConnection {
 public:
  HRESULT CreateApplication(ComPtr<IDispatch>& application) noexcept override {
    if (FAILED(createResult)) return createResult;
    ComPtr<FakeScriptObject> made = FakeScriptObject::Create(false);
    const std::size_t number = made_.size() + 1;
    made->SetMethod(L"AttachAppObject", [this, number](const std::vector<VariantValue>& args, VARIANT*) {
      Record("attach " + std::to_string(number));
      attachedObjects.push_back(args.at(0));
      if (duringAttach) duringAttach();
      return attachResult;
    });
    made->SetMethod(L"OnUnload", [this, number](const std::vector<VariantValue>&, VARIANT*) {
      Record("unload " + std::to_string(number));
      return S_OK;
    });
    made_.push_back(made);
    application = made;
    return S_OK;
  }

  // The objects up to number failingUpTo answer probeResult; the others S_OK.
  HRESULT Probe(IDispatch* application) noexcept override {
    for (std::size_t i = 0; i < made_.size() && i < failingUpTo; ++i) {
      if (static_cast<IDispatch*>(made_[i].Get()) == application) return probeResult;
    }
    return S_OK;
  }

  void Record(std::string what) {
    std::lock_guard hold(mutex_);
    calls.push_back(std::move(what));
  }
  std::vector<std::string> Calls() {
    std::lock_guard hold(mutex_);
    return calls;
  }
  FakeScriptObject& Made(std::size_t number) { return *made_.at(number - 1).Get(); }

  HRESULT createResult = S_OK;
  HRESULT attachResult = S_OK;
  std::function<void()> duringAttach;
  std::atomic<std::size_t> failingUpTo{0};
  std::atomic<HRESULT> probeResult{S_OK};
  std::vector<VariantValue> attachedObjects;

 private:
  std::mutex mutex_;
  std::vector<std::string> calls;
  std::vector<ComPtr<FakeScriptObject>> made_;
};

class AttachmentTest : public ::testing::Test {
 protected:
  struct Page {
    std::shared_ptr<FakeSocket> socket = std::make_shared<FakeSocket>();
    std::shared_ptr<PageLink> link;
  };

  // A page that connected (and met beforeHello) and said hello; the attachment has run its turn.
  Page Connect(std::uint64_t number, const std::function<void(Page&)>& beforeHello = {}) {
    Page page;
    page.link = std::make_shared<PageLink>(page.socket, attachment_, log_.log(), PageLink::Settings{}, number,
                                           "http://127.0.0.1:8080");
    if (beforeHello) beforeHello(page);
    page.link->ReceiveFrame(R"({"op":"hello","v":1,"app":{"$":"ref","id":1}})");
    attachment_.Flush();
    return page;
  }

  // The event's state: 1 set, 0 reset.
  int EventState() { return ::WaitForSingleObject(event_.get(), 0) == WAIT_OBJECT_0 ? 1 : 0; }

  void TearDown() override { attachment_.Flush(); }

  // A name of this test process alone: tests run side by side.
  const std::wstring eventName_ = L"VadunaPageBridgeTest-" + std::to_wstring(::GetCurrentProcessId());
  // Held by the test to watch the event's state across the attachment's own handles.
  UniqueHandle event_{::CreateEventW(nullptr, TRUE, FALSE, eventName_.c_str())};
  MemoryLog log_;
  FakeServer server_;
  Attachment attachment_{server_, log_.log(), eventName_, 0};
};

TEST_F(AttachmentTest, AttachingHandsThePagesApplicationToTheServerAndSetsTheEvent) {
  ::SetEvent(event_.get());  // left set by someone else: reset until the page is attached
  std::vector<std::string> watched;  // what the notification icon hears
  attachment_.Watch([&watched](const std::string& origin) { watched.push_back(origin); });
  Page page = Connect(1);
  EXPECT_EQ(std::vector<std::string>{"http://127.0.0.1:8080"}, watched);
  EXPECT_EQ(std::vector<std::string>{"attach 1"}, server_.Calls());
  ASSERT_EQ(1u, server_.attachedObjects.size());
  EXPECT_EQ(VT_DISPATCH, server_.attachedObjects[0].vt());
  EXPECT_EQ(page.link->Application().Get(), server_.attachedObjects[0].get().pdispVal);
  EXPECT_EQ(1, EventState());
  EXPECT_TRUE(attachment_.attached());
  EXPECT_TRUE(page.socket->WaitFor("attached", 0, 0ms));
  EXPECT_TRUE(log_.Contains("page 1 attached to the server"));

  page.link->SocketClosed("closed (1001)");
  attachment_.Flush();
  EXPECT_EQ((std::vector<std::string>{"attach 1", "unload 1"}), server_.Calls());
  EXPECT_EQ(0, EventState());
  EXPECT_FALSE(attachment_.attached());
  EXPECT_EQ(1, server_.Made(1).RefCount()) << "the connector still holds the server's application object";
  EXPECT_EQ((std::vector<std::string>{"http://127.0.0.1:8080", ""}), watched);
  server_.attachedObjects.clear();
}

TEST_F(AttachmentTest, ASecondPageReplacesTheFirstOnceItIsAttached) {
  Page first = Connect(1);
  auto waiting = CallAsync(first.link->Application().Get(), L"Title", DISPATCH_PROPERTYGET);
  ASSERT_TRUE(first.socket->WaitFor("call"));
  Page second = Connect(2);
  EXPECT_EQ((std::vector<std::string>{"attach 1", "attach 2", "unload 1"}), server_.Calls());
  EXPECT_EQ(json::value(json::parse(R"({"op":"detached","reason":"replaced"})")),
            json::value(first.socket->Frames().back()));
  EXPECT_EQ(CloseCode::kNormal, first.socket->closed());
  EXPECT_EQ(RPC_E_DISCONNECTED, waiting.get().hr);
  EXPECT_TRUE(log_.Contains("page 1 was replaced with 1 calls of the server still waiting for it"));
  EXPECT_TRUE(second.socket->WaitFor("attached", 0, 0ms));
  EXPECT_EQ(1, EventState());
  EXPECT_TRUE(attachment_.attached());
  EXPECT_TRUE(log_.Contains("page 2 replaces page 1"));

  second.link->Detach(DetachReason::kClosed);  // the page asked to leave
  attachment_.Flush();
  EXPECT_EQ("unload 2", server_.Calls().back());
  EXPECT_EQ(0, EventState());
  server_.attachedObjects.clear();
}

TEST_F(AttachmentTest, ANewcomerThatCannotAttachLeavesTheAttachedPageAlone) {
  Page first = Connect(1);
  for (const HRESULT create : {REGDB_E_CLASSNOTREG, S_OK}) {
    server_.createResult = create;
    server_.attachResult = E_ACCESSDENIED;
    Page newcomer = Connect(2);
    EXPECT_EQ(CloseCode::kInternalError, newcomer.socket->closed());
    EXPECT_FALSE(first.link->ended());
    EXPECT_EQ(1u, first.socket->Frames().size()) << "told nothing after attached";
    EXPECT_EQ(1, EventState());
    EXPECT_TRUE(attachment_.attached());
  }
  EXPECT_TRUE(log_.Contains("page 2 could not replace page 1, which stays attached"));
  EXPECT_EQ((std::vector<std::string>{"attach 1", "attach 2"}), server_.Calls());
  server_.attachedObjects.clear();
}

TEST_F(AttachmentTest, ANewcomerThatGoesWhileTheServerTakesItLeavesTheAttachedPageAlone) {
  Page first = Connect(1);
  std::shared_ptr<PageLink> going;
  server_.duringAttach = [&going] {
    if (going) going->SocketClosed("closed (1000)");
  };
  Page newcomer = Connect(2, [&going](Page& page) { going = page.link; });
  server_.duringAttach = nullptr;
  EXPECT_EQ((std::vector<std::string>{"attach 1", "attach 2", "attach 1", "unload 2"}), server_.Calls());
  EXPECT_EQ(first.link->Application().Get(), server_.attachedObjects.back().get().pdispVal) << "handed back";
  EXPECT_FALSE(first.link->ended());
  EXPECT_EQ(1u, first.socket->Frames().size()) << "told nothing after attached";
  EXPECT_EQ(1, EventState());
  EXPECT_TRUE(attachment_.attached());
  EXPECT_TRUE(log_.Contains("page 2 could not replace page 1, which stays attached"));
  server_.attachedObjects.clear();
}

TEST_F(AttachmentTest, AServerThatDiesIsReplacedAndGivenTheSamePage) {
  Page page = Connect(1);
  server_.failingUpTo = 1;
  server_.probeResult = E_FAIL;  // a failing call, not a dead server
  attachment_.CheckServer();
  attachment_.Flush();
  EXPECT_EQ(1u, page.socket->Frames().size());

  server_.probeResult = RPC_E_SERVER_DIED;
  server_.createResult = CO_E_SERVER_EXEC_FAILURE;  // the first new server fails to start
  attachment_.CheckServer();
  attachment_.Flush();
  EXPECT_EQ(json::value(json::parse(R"({"op":"status","state":"server-lost"})")),
            json::value(page.socket->Frames().back()));
  EXPECT_EQ(0, EventState()) << "clients wait for the new server";
  EXPECT_FALSE(attachment_.attached());

  server_.createResult = S_OK;
  attachment_.CheckServer();
  attachment_.Flush();
  EXPECT_EQ((std::vector<std::string>{"attach 1", "attach 2"}), server_.Calls()) << "no OnUnload to a dead server";
  ASSERT_EQ(2u, server_.attachedObjects.size());
  EXPECT_EQ(server_.attachedObjects[0].get().pdispVal, server_.attachedObjects[1].get().pdispVal);
  EXPECT_EQ(json::value(json::parse(R"({"op":"status","state":"reattached"})")),
            json::value(page.socket->Frames().back()));
  EXPECT_EQ(1, EventState());
  EXPECT_TRUE(attachment_.attached());
  EXPECT_TRUE(log_.Contains("the server holding page 1 is gone (0x80010007)"));

  page.link->SocketClosed("closed (1001)");
  attachment_.Flush();
  EXPECT_EQ("unload 2", server_.Calls().back());
  server_.attachedObjects.clear();
}

TEST_F(AttachmentTest, APageTheServerCannotTakeIsToldWhyAndClosed) {
  server_.createResult = REGDB_E_CLASSNOTREG;
  Page page = Connect(1);
  const auto error = page.socket->WaitFor("error", 0, 0ms);
  ASSERT_TRUE(error);
  EXPECT_NE(std::string::npos, std::string(error->at("message").as_string()).find("0x80040154"));
  EXPECT_EQ(CloseCode::kInternalError, page.socket->closed());
  EXPECT_FALSE(attachment_.attached());
  EXPECT_EQ(0, EventState());

  server_.createResult = S_OK;
  server_.attachResult = E_ACCESSDENIED;
  Page refused = Connect(2);
  EXPECT_EQ(CloseCode::kInternalError, refused.socket->closed());
  EXPECT_EQ(std::vector<std::string>{"attach 1"}, server_.Calls()) << "no OnUnload for an attachment that failed";
  EXPECT_FALSE(attachment_.attached());
  server_.attachedObjects.clear();
}

TEST_F(AttachmentTest, TheShutdownDetachesThePageAndRefusesLaterOnes) {
  Page page = Connect(1);
  bool done = false;
  attachment_.Shutdown([&] { done = true; });
  attachment_.Flush();
  EXPECT_TRUE(done);
  EXPECT_EQ(json::value(json::parse(R"({"op":"detached","reason":"shutdown"})")),
            json::value(page.socket->Frames().back()));
  EXPECT_EQ((std::vector<std::string>{"attach 1", "unload 1"}), server_.Calls());
  EXPECT_EQ(0, EventState());

  Page late = Connect(2);
  EXPECT_EQ(json::value(json::parse(R"({"op":"detached","reason":"shutdown"})")),
            json::value(late.socket->Frames().back()));
  EXPECT_EQ(2u, server_.Calls().size());
  server_.attachedObjects.clear();
}

}  // namespace
}  // namespace vaduna::connector::test
