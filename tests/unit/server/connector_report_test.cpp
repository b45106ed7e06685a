// /Diagnose's reading of a port's answer to GET /status: whose connector it
// is, from answers as a connector of this user, of another user, and other
// programs on the port give them.
#include "server/connector_report.h"

#include <gtest/gtest.h>

#include <string>

#include "vaduna_contract.h"

namespace vaduna {
namespace {

std::string Answer(const char* head, const std::string& body) {
  return std::string(head) + "\r\nContent-Type: application/json\r\n\r\n" + body;
}

std::string Service() { return std::string("\"service\":\"") + contract::kStatusService + "\""; }

TEST(ConnectorReportTest, TellsWhoseConnectorAnswers) {
  struct Case {
    const char* what;
    std::string answer;
    PortOwner owner;
    bool attached;
    const wchar_t* detail;
  };
  const Case cases[] = {
      {"this user's, attached",
       Answer("HTTP/1.1 200 OK", "{" + Service() + ",\"version\":\"1.0\",\"protocol\":1,\"attached\":true}"),
       PortOwner::kThisUser, true, L"HTTP 200"},
      {"this user's, spaced, idle",
       Answer("HTTP/1.0 200 OK", "{ " + Service() + ", \"protocol\": 1, \"attached\": false }"),
       PortOwner::kThisUser, false, L"HTTP 200"},
      {"another user's", Answer("HTTP/1.1 403 Forbidden", "{" + Service() + ",\"refused\":\"other-user\"}"),
       PortOwner::kOtherUser, false, L"HTTP 403"},
      {"another service's status", Answer("HTTP/1.1 200 OK", "{\"service\":\"print-spooler\",\"protocol\":1}"),
       PortOwner::kNotConnector, false, L"HTTP 200"},
      {"a web server", Answer("HTTP/1.1 404 Not Found", "<html>not found</html>"), PortOwner::kNotConnector, false,
       L"HTTP 404"},
      {"a refusal without the other-user reason", Answer("HTTP/1.1 403 Forbidden", "{" + Service() + "}"),
       PortOwner::kNotConnector, false, L"HTTP 403"},
      {"the status without a protocol", Answer("HTTP/1.1 200 OK", "{" + Service() + "}"), PortOwner::kNotConnector,
       false, L"HTTP 200"},
      {"no HTTP", "SSH-2.0-OpenSSH_9.2\r\n", PortOwner::kNotConnector, false, L"no HTTP answer"},
      {"silence", "", PortOwner::kNotConnector, false, L"no answer"},
  };
  for (const Case& c : cases) {
    const PortAnswer found = ClassifyStatusAnswer(c.answer);
    EXPECT_EQ(found.owner, c.owner) << c.what;
    EXPECT_EQ(found.attached, c.attached) << c.what;
    EXPECT_EQ(found.detail, c.detail) << c.what;
  }
}

}  // namespace
}  // namespace vaduna
