// A page's hello on a desktop: the administrator's and remembered sites attach
// without a question, a new site waits for the user's answer (told
// consent-pending), and each refusal reaches the page with its error code.
#include "connector/desktop/consenting_site.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>

#include "connector/desktop/consent_prompt.h"
#include "connector/desktop/site_store.h"
#include "connector/page_link.h"
#include "tests/unit/connector/connector_fakes.h"
#include "tests/unit/connector/desktop/desktop_test_support.h"

namespace vaduna::connector::desktop {
namespace {

using connector::test::FakeSite;
using connector::test::FakeSocket;
using connector::test::MemoryLog;
using namespace std::chrono_literals;

class FixedAsker final : public ConsentAsker {
 public:
  FixedAsker(ConsentOutcome outcome, std::atomic<int>& asked) : outcome_(outcome), asked_(asked) {}
  AskedAnswer Ask(const std::string&, std::chrono::milliseconds) override {
    ++asked_;
    return AskedAnswer{outcome_, false, "no desktop in this test"};
  }
  void Stop() noexcept override {}

 private:
  const ConsentOutcome outcome_;
  std::atomic<int>& asked_;
};

struct Case {
  const char* name;
  const char* origin;
  bool administrators = false;        // the origin is given with --allow-origin
  std::optional<bool> remembered;     // the user's kept answer
  bool prompt = true;                 // somebody may be asked (the windowless connector)
  ConsentOutcome answer = ConsentOutcome::kAllowed;
  const char* errorCode = nullptr;    // nullptr: the page goes to the attachment
  int asked = 0;
};

constexpr const char* kNew = "https://new.example.com";

const Case kCases[] = {
    {"TheAdministratorsSite", kNew, true, std::nullopt, true, ConsentOutcome::kDenied, nullptr, 0},
    {"ARememberedAllow", kNew, false, true, true, ConsentOutcome::kDenied, nullptr, 0},
    {"ARememberedDeny", kNew, false, false, true, ConsentOutcome::kAllowed, "consent-denied", 0},
    {"ANewSiteAllowed", kNew, false, std::nullopt, true, ConsentOutcome::kAllowed, nullptr, 1},
    {"ANewSiteDenied", kNew, false, std::nullopt, true, ConsentOutcome::kDenied, "consent-denied", 1},
    {"ANewSiteNotAnswered", kNew, false, std::nullopt, true, ConsentOutcome::kNoAnswer, "timeout", 1},
    {"NoDesktopToAsk", kNew, false, std::nullopt, true, ConsentOutcome::kUnavailable, "origin-refused", 1},
    {"NobodyToAsk", kNew, false, std::nullopt, false, ConsentOutcome::kAllowed, "origin-refused", 0},
    {"APlainHttpSiteIsNeverOffered", "http://new.example.com", false, std::nullopt, true, ConsentOutcome::kAllowed,
     "origin-refused", 0},
};

class ConsentingSiteCase : public ::testing::TestWithParam<Case> {};

TEST_P(ConsentingSiteCase, HelloEndsAsTheSitesAndTheUserSay) {
  const Case& c = GetParam();
  test::ScratchRoots scratch(std::wstring(L"consenting.") + std::wstring(c.name, c.name + strlen(c.name)));
  SiteStore sites(c.administrators ? std::vector<std::string>{c.origin} : std::vector<std::string>{},
                  scratch.roots());
  if (c.remembered) {
    ASSERT_EQ(S_OK, sites.Remember(c.origin, *c.remembered));
  }
  // The log and the attachment outlive the link, which the attachment keeps after the page ended.
  MemoryLog log;
  FakeSite attachment;
  std::atomic<int> asked{0};
  auto prompt = std::make_unique<ConsentPrompt>(sites, std::make_unique<FixedAsker>(c.answer, asked));
  ConsentingSite site(attachment, sites, c.prompt ? prompt.get() : nullptr, log.log());
  const auto socket = std::make_shared<FakeSocket>();
  const auto link = std::make_shared<PageLink>(socket, site, log.log(), PageLink::Settings{}, 1, c.origin);

  link->ReceiveFrame(R"({"op":"hello","v":1,"app":{"$":"ref","id":1},"consentTimeout":5000})");

  if (c.errorCode == nullptr) {
    for (int i = 0; i < 500 && attachment.attachRequests() == 0; ++i) ::Sleep(10);
    EXPECT_EQ(1u, attachment.attachRequests());
    EXPECT_FALSE(socket->closed());
  } else {
    const std::optional<boost::json::object> error = socket->WaitFor("error");
    ASSERT_TRUE(error);
    EXPECT_EQ(c.errorCode, std::string(error->at("code").as_string()));
    EXPECT_EQ(0u, attachment.attachRequests());
  }
  EXPECT_EQ(c.asked, asked.load());
  EXPECT_EQ(c.asked > 0 ? 1u : 0u, socket->Count("status")) << "consent-pending once, while the user is asked";
  link->SocketClosed("the test ends");
  // The prompt's thread may still be ending the link it answered: wait until the attachment heard of the end,
  // then join that thread before the site it calls goes.
  for (int i = 0; i < 500 && attachment.ended() == 0; ++i) ::Sleep(10);
  prompt.reset();
}

INSTANTIATE_TEST_SUITE_P(Hello, ConsentingSiteCase, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vaduna::connector::desktop
