// The connector's sessions over Beast's in-memory test stream (no network):
// the status and preflight answers with their CORS headers, the refusal of a
// handshake from an origin that is not allowed (403, before the upgrade), the
// Host check, the limits on connections and on the wait for a hello, and the
// close codes a page's frames earn on the wire.
#include "connector/http_session.h"

#include <boost/beast/_experimental/test/stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <gtest/gtest.h>

#include <thread>

#include "tests/unit/connector/connector_fakes.h"

namespace vaduna::connector::test {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using TestStream = beast::test::stream;

constexpr char kAllowed[] = "http://127.0.0.1:8080";
constexpr std::uint16_t kPort = 8765;
constexpr char kHost[] = "127.0.0.1:8765";

class Sessions : public ::testing::Test {
 protected:
  Sessions() : runner_([this] { io_.run(); }) {}

  ~Sessions() override {
    // Every page's socket closes first, so that its link ends; then the I/O thread stops.
    for (int waited = 0; connections_.open() != 0 && waited < 500; ++waited) ::Sleep(10);
    EXPECT_EQ(0u, connections_.open());
    work_.reset();
    io_.stop();
    runner_.join();
  }

  // The client's end of a new connection to the connector.
  TestStream Connect(SessionContext& context) {
    TestStream server(io_), client(io_);
    server.connect(client);
    std::make_shared<HttpSession<TestStream>>(std::move(server), context)->Run();
    return client;
  }
  TestStream Connect() { return Connect(context_); }

  http::response<http::string_body> Request(TestStream& client, http::verb method, const char* target,
                                            std::vector<std::pair<const char*, const char*>> fields = {}) {
    http::request<http::empty_body> request{method, target, 11};
    request.set(http::field::host, kHost);
    for (const auto& [name, value] : fields) request.set(name, value);
    http::write(client, request);
    http::response<http::string_body> response;
    beast::flat_buffer buffer;
    http::read(client, buffer, response);
    return response;
  }

  // A WebSocket client whose handshake carries origin (none when null); the handshake's answer in response.
  std::unique_ptr<websocket::stream<TestStream>> Page(const char* origin, websocket::response_type& response,
                                                      beast::error_code& error, SessionContext* context = nullptr) {
    auto page = std::make_unique<websocket::stream<TestStream>>(Connect(context ? *context : context_));
    page->set_option(websocket::stream_base::decorator([origin](websocket::request_type& request) {
      if (origin != nullptr) request.set(http::field::origin, origin);
    }));
    page->handshake(response, kHost, "/", error);
    return page;
  }
  std::unique_ptr<websocket::stream<TestStream>> Page() {
    websocket::response_type response;
    beast::error_code error;
    auto page = Page(kAllowed, response, error);
    EXPECT_FALSE(error) << error.message();
    return page;
  }

  // Reads until the connector closes; the close code it sent.
  std::uint16_t ClosedWith(websocket::stream<TestStream>& page) {
    beast::flat_buffer buffer;
    beast::error_code error;
    while (!error) page.read(buffer, error);
    EXPECT_EQ(websocket::error::closed, error) << error.message();
    return page.reason().code;
  }

  net::io_context io_;
  net::executor_work_guard<net::io_context::executor_type> work_ = net::make_work_guard(io_);
  MemoryLog log_;
  FakeSite site_;
  Connections connections_;
  const OriginPolicy origins_{{kAllowed}};
  const OriginPolicy none_{{}};
  // A hello time-out longer than the 16 MiB frame takes to arrive under Wine on a busy machine.
  const PageLink::Settings patient_{std::chrono::seconds(kDefaultCallTimeoutSeconds), 120s};
  SessionContext context_{origins_, site_, log_.log(), connections_, patient_, [] { return false; }, kPort};
  SessionContext closedContext_{none_, site_, log_.log(), connections_, patient_, [] { return false; }, kPort};
  SessionContext quickHelloContext_{origins_, site_, log_.log(), connections_, PageLink::Settings{5s, 100ms},
                                    [] { return false; }, kPort};
  std::thread runner_;
};

TEST_F(Sessions, StatusAnswersCarryCorsHeadersForAllowedOriginsOnly) {
  TestStream client = Connect();  // one connection, kept alive across the requests
  auto status = Request(client, http::verb::get, "/status", {{"Origin", kAllowed}});
  EXPECT_EQ(200, status.result_int());
  EXPECT_EQ(std::string(R"({"service":")") + vaduna::contract::kStatusService + R"(","version":")" +
                vaduna::contract::kProductVersion + R"(","protocol":)" +
                std::to_string(vaduna::contract::kProtocolVersion) + R"(,"attached":false})",
            status.body());
  EXPECT_EQ(kAllowed, status[http::field::access_control_allow_origin]);
  EXPECT_EQ("Origin", status[http::field::vary]);

  status = Request(client, http::verb::get, "/status?probe=1", {{"Origin", "http://evil.example"}});
  EXPECT_EQ(200, status.result_int());
  EXPECT_EQ(0u, status.count(http::field::access_control_allow_origin));
  EXPECT_TRUE(log_.Contains("--allow-origin http://evil.example")) << "the log says how to allow it";
  EXPECT_EQ(0u, Request(client, http::verb::get, "/status").count(http::field::access_control_allow_origin));

  auto preflight = Request(client, http::verb::options, "/status",
                           {{"Origin", kAllowed}, {"Access-Control-Request-Private-Network", "true"}});
  EXPECT_EQ(204, preflight.result_int());
  EXPECT_EQ(kAllowed, preflight[http::field::access_control_allow_origin]);
  EXPECT_EQ("true", preflight["Access-Control-Allow-Private-Network"]);
  preflight = Request(client, http::verb::options, "/status", {{"Origin", kAllowed}});
  EXPECT_EQ(0u, preflight.count("Access-Control-Allow-Private-Network")) << "only when asked for";
  preflight = Request(client, http::verb::options, "/status",
                      {{"Origin", "http://evil.example"}, {"Access-Control-Request-Private-Network", "true"}});
  EXPECT_EQ(0u, preflight.count(http::field::access_control_allow_origin));
  EXPECT_EQ(0u, preflight.count("Access-Control-Allow-Private-Network"));

  auto wrongMethod = Request(client, http::verb::post, "/status", {{"Origin", kAllowed}});
  EXPECT_EQ(405, wrongMethod.result_int());
  EXPECT_EQ("GET, OPTIONS", wrongMethod[http::field::allow]);
  EXPECT_EQ(404, Request(client, http::verb::get, "/other").result_int());
  EXPECT_EQ(404, Request(client, http::verb::get, "/").result_int());
}

TEST_F(Sessions, HandshakesWithoutAnAllowedOriginAreRefusedBeforeTheUpgrade) {
  for (const char* origin : {static_cast<const char*>(nullptr), "http://evil.example", "http://127.0.0.1:8081",
                             "null", "HTTP://127.0.0.1:8080"}) {
    websocket::response_type response;
    beast::error_code error;
    Page(origin, response, error);
    EXPECT_EQ(websocket::error::upgrade_declined, error) << (origin ? origin : "(none)");
    EXPECT_EQ(403, response.result_int()) << (origin ? origin : "(none)");
  }
  EXPECT_TRUE(log_.Contains("refused a WebSocket handshake without an Origin"));
  EXPECT_TRUE(log_.Contains("refused a page from http://evil.example, which is not allowed; start the connector "
                            "with --allow-origin http://evil.example"));
  // --allow-origin refuses "null", and no allowed value matches an origin in upper case: no advice to try.
  EXPECT_TRUE(log_.Contains("refused a page from null, which is not allowed; no --allow-origin admits this "
                            "origin"));
  EXPECT_FALSE(log_.Contains("--allow-origin null"));
  EXPECT_TRUE(log_.Contains("refused a page from HTTP://127.0.0.1:8080, which is not allowed; no --allow-origin"));
  EXPECT_EQ(0u, site_.attachRequests());
}

TEST_F(Sessions, WithNoAllowedOriginEveryPageIsRefused) {
  websocket::response_type response;
  beast::error_code error;
  Page(kAllowed, response, error, &closedContext_);
  EXPECT_EQ(403, response.result_int());
}

TEST(HostCheck, OnlyTheLoopbackNamesWithTheConnectorsPortAreAnswered) {
  struct Case {
    const char* host;
    std::uint16_t port;
    bool allowed;
  };
  for (const Case& host : {Case{"127.0.0.1:8765", 8765, true}, {"localhost:8765", 8765, true},
                           {"LocalHost:8765", 8765, true}, {"127.0.0.1", 80, true}, {"127.0.0.1", 8765, false},
                           {"127.0.0.1:80", 8765, false}, {"127.0.0.1:", 80, false}, {"localhost.:8765", 8765, false},
                           {"evil.example:8765", 8765, false}, {"127.0.0.2:8765", 8765, false},
                           {"127.1:8765", 8765, false}, {"[::1]:8765", 8765, false}, {"", 8765, false},
                           {"127.0.0.1:08765", 8765, false}, {"127.0.0.1:8765:8765", 8765, false}}) {
    EXPECT_EQ(host.allowed, HostAllowed(host.host, host.port)) << host.host << " on " << host.port;
  }
}

TEST_F(Sessions, ARequestForAnotherHostIsRefusedBeforeItIsAnswered) {
  TestStream client = Connect();
  auto status = Request(client, http::verb::get, "/status", {{"Origin", kAllowed}, {"Host", "rebound.example:8765"}});
  EXPECT_EQ(403, status.result_int());
  EXPECT_EQ(std::string::npos, status.body().find("attached"));
  EXPECT_EQ(0u, status.count(http::field::access_control_allow_origin));
  EXPECT_TRUE(log_.Contains("refused a request for host \"rebound.example:8765\""));

  auto page = std::make_unique<websocket::stream<TestStream>>(Connect());
  page->set_option(websocket::stream_base::decorator(
      [](websocket::request_type& request) { request.set(http::field::origin, kAllowed); }));
  websocket::response_type response;
  beast::error_code error;
  page->handshake(response, "rebound.example:8765", "/", error);
  EXPECT_EQ(403, response.result_int());
  EXPECT_EQ(0u, connections_.open());
}

TEST_F(Sessions, PlainConnectionsAreBoundedAndAPageWithoutHelloIsClosed) {
  std::vector<TestStream> idle;
  for (std::size_t i = 0; i < kMaxHttpConnections; ++i) idle.push_back(Connect());
  TestStream refused = Connect();
  char byte = 0;
  beast::error_code error;
  refused.read_some(net::buffer(&byte, 1), error);
  EXPECT_TRUE(error) << "closed unread";
  EXPECT_TRUE(log_.Contains("16 HTTP connections are open already"));
  idle.clear();

  websocket::response_type response;
  auto page = Page(kAllowed, response, error, &quickHelloContext_);
  ASSERT_FALSE(error) << error.message();
  EXPECT_EQ(1008, ClosedWith(*page));
  EXPECT_TRUE(log_.Contains("refused a page that said no hello within 0.1 s (closing with 1008)"));
}

TEST_F(Sessions, AnAllowedPageSaysHelloAndIsToldItIsAttached) {
  auto page = Page();
  page->write(net::buffer(std::string(R"({"op":"hello","v":1,"app":{"$":"ref","id":1}})")));
  std::shared_ptr<PageLink> link;
  for (int waited = 0; !(link = site_.lastAttachRequest()) && waited < 500; ++waited) ::Sleep(10);
  ASSERT_TRUE(link);
  EXPECT_EQ(kAllowed, link->origin());
  ASSERT_TRUE(link->ReportAttached());
  beast::flat_buffer buffer;
  page->read(buffer);
  EXPECT_TRUE(page->got_text());
  EXPECT_EQ(R"({"op":"attached","v":1})", beast::buffers_to_string(buffer.data()));
  link->Detach(DetachReason::kClosed);
  EXPECT_EQ(1000, ClosedWith(*page));
  EXPECT_TRUE(log_.Contains("page 1 connected from http://127.0.0.1:8080"));
}

TEST_F(Sessions, NoMoreThanTheLimitOfPagesConnectAtOnce) {
  std::vector<std::unique_ptr<websocket::stream<TestStream>>> pages;
  for (std::size_t i = 0; i < kMaxPageConnections; ++i) pages.push_back(Page());
  websocket::response_type response;
  beast::error_code error;
  Page(kAllowed, response, error);
  EXPECT_EQ(503, response.result_int());
  pages.pop_back();
  for (int waited = 0; connections_.open() == kMaxPageConnections && waited < 500; ++waited) ::Sleep(10);
  pages.push_back(Page());  // a place became free
  EXPECT_TRUE(pages.back()->is_open());
}

// What the page sends, and the close code it earns.
struct Offence {
  const char* name;
  std::function<void(websocket::stream<TestStream>&)> send;
  std::uint16_t code;
};

void PrintTo(const Offence& offence, std::ostream* out) { *out << offence.name; }

class SessionCloseCodes : public Sessions, public ::testing::WithParamInterface<Offence> {};

TEST_P(SessionCloseCodes, OnlyTheOffendingConnectionCloses) {
  auto bystander = Page();
  auto page = Page();
  GetParam().send(*page);
  EXPECT_EQ(GetParam().code, ClosedWith(*page));
  // The other page is still served.
  bystander->write(net::buffer(std::string(R"({"op":"detach"})")));
  EXPECT_EQ(1000, ClosedWith(*bystander));
}

void SendText(websocket::stream<TestStream>& page, std::string text) {
  page.text(true);
  page.write(net::buffer(text));
}

INSTANTIATE_TEST_SUITE_P(
    Frames, SessionCloseCodes,
    ::testing::Values(
        Offence{"FrameOver16MiB", [](auto& page) { SendText(page, std::string(kMaxFrameBytes + 1, ' ')); }, 1009},
        Offence{"BinaryFrame", [](auto& page) {
                  page.binary(true);
                  page.write(net::buffer(std::string("{}")));
                }, 1003},
        Offence{"NotUtf8", [](auto& page) { SendText(page, "\"\xC3\x28\""); }, 1007},
        Offence{"NotJson", [](auto& page) { SendText(page, "{op: hello}"); }, 1007},
        Offence{"UnknownOp", [](auto& page) { SendText(page, R"({"op":"shell"})"); }, 1008},
        Offence{"ReplyToACallNeverMade", [](auto& page) { SendText(page, R"({"op":"reply","rid":1,"value":1})"); }, 1008},
        Offence{"NoOp", [](auto& page) { SendText(page, R"({"rid":1})"); }, 1002}),
    [](const ::testing::TestParamInfo<Offence>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vaduna::connector::test
