// Whose program may be answered: the same user's always, another user's never
// (with a 403 the page can read), an unnamed one only where the platform
// cannot name it (Wine), which is said once.
#include "connector/peer_user.h"

#include <winsock2.h>

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "tests/unit/connector/connector_fakes.h"
#include "vaduna_contract.h"

namespace vaduna::connector {
namespace {

TEST(PeerUserCheck, AdmitsTheSameUserOnlyAndAnUnnamedOneOnlyWhereThePlatformCannotName) {
  struct Case {
    PeerUser owner;
    bool unknownAllowed;
    bool admitted;
    const char* logged;  // nullptr: nothing
  } const cases[] = {
      {PeerUser::kSame, false, true, nullptr},
      {PeerUser::kOther, true, false, "a program of another user"},
      {PeerUser::kUnknown, false, false, "could not be named"},
      {PeerUser::kUnknown, true, true, "allowed without the same-user check"},
  };
  for (const Case& c : cases) {
    test::MemoryLog log;
    PeerUserCheck check(log.log(), [&](const LoopbackPair&) { return c.owner; }, c.unknownAllowed);
    EXPECT_EQ(c.admitted, check.Admits({50000, contract::kConnectorDefaultPort}));
    EXPECT_EQ(c.admitted, check.Admits({50001, contract::kConnectorDefaultPort}));
    if (c.logged == nullptr) {
      EXPECT_TRUE(log.Lines().empty());
    } else {
      EXPECT_TRUE(log.Contains(c.logged)) << c.logged;
      // An allowed unknown owner is said once, not per connection.
      EXPECT_EQ(c.admitted ? 1u : 2u, log.Lines().size());
    }
  }
}

TEST(PeerUserCheck, AnotherUsersPageReadsWhoseConnectorItFound) {
  HttpRequest request{boost::beast::http::verb::get, "/status", 11};
  request.set(boost::beast::http::field::origin, "https://app.example.com");
  const HttpResponse response = OtherUsersConnector(request);
  EXPECT_EQ(403u, response.result_int());
  EXPECT_EQ("https://app.example.com", response[boost::beast::http::field::access_control_allow_origin]);
  const boost::json::value body = boost::json::parse(response.body());
  EXPECT_EQ("other-user", body.at("refused").as_string());
  EXPECT_EQ(contract::kStatusService, body.at("service").as_string());
}

// A Windows program at the other end (this test itself) is named, and is the same user.
TEST(PeerUserCheck, TheSystemNamesAWindowsProgramAtTheOtherEndAsTheSameUserWhereThePlatformCan) {
  WSADATA data;
  ASSERT_EQ(0, ::WSAStartup(MAKEWORD(2, 2), &data));
  const SOCKET listening = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  const SOCKET client = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  ASSERT_EQ(0, ::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, ::listen(listening, 1));
  ASSERT_EQ(0, ::getsockname(listening, reinterpret_cast<sockaddr*>(&address), &length));
  ASSERT_EQ(0, ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address));
  const SOCKET accepted = ::accept(listening, nullptr, nullptr);
  sockaddr_in own{};
  length = sizeof own;
  ASSERT_EQ(0, ::getsockname(client, reinterpret_cast<sockaddr*>(&own), &length));

  // Wine's TCP table names no owner (it cannot tell which process holds a socket): unknown, not another user.
  const PeerUser expected = RunningUnderWine() ? PeerUser::kUnknown : PeerUser::kSame;
  EXPECT_EQ(expected, SystemPeerUser({ntohs(own.sin_port), ntohs(address.sin_port)}));
  EXPECT_EQ(PeerUser::kUnknown, SystemPeerUser({1, ntohs(address.sin_port)})) << "no such connection";

  ::closesocket(accepted);
  ::closesocket(client);
  ::closesocket(listening);
  ::WSACleanup();
}

}  // namespace
}  // namespace vaduna::connector
