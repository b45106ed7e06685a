// Which sites are offered to the user, and what the store decides from the
// administrator's origins, the user's remembered answers and the policy.
#include "connector/desktop/site_store.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "connector/desktop/site_commands.h"
#include "tests/unit/connector/desktop/desktop_test_support.h"

namespace vaduna::connector::desktop {
namespace {

using test::ScratchRoots;

TEST(SiteOffer, OnlyHttpsAndTheLoopbacksOwnHttpOriginsAsBrowsersSendThem) {
  struct Case {
    std::string origin;
    bool offered;
  };
  const Case cases[] = {
      {"https://app.example.com", true},
      {"https://app.example.com:8443", true},
      {"https://192.168.1.5", true},
      {"http://127.0.0.1:8080", true},
      {"http://127.0.0.1", true},
      {"http://localhost:3000", true},
      {"http://[::1]:3000", true},
      {"http://example.com", false},  // plain http on a network: its script can be changed on the way
      {"http://192.168.1.5:8080", false},
      {"http://127.0.0.2:8080", false},
      {"http://localhost.example.com", false},
      {"http://sub.localhost", false},
      {"null", false},
      {"file://", false},
      {"ws://127.0.0.1", false},
      {"chrome-extension://abcdef", false},
      {"https://App.Example.com", false},  // browsers send lower case: not a real page's origin
      {"https://example.com:443", false},
      {"https://example.com/", false},
      {"https://" + std::string(292, 'a'), true},  // 300 characters
      {"https://" + std::string(293, 'a'), false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.offered, MayBeOffered(c.origin)) << c.origin;
}

class SiteStoreTest : public ::testing::Test {
 protected:
  SiteStoreTest()
      : scratch_(L"SiteStore"), store_({"http://intranet.example:8080", "https://admin.example"}, scratch_.roots()) {}

  ScratchRoots scratch_;
  SiteStore store_;
};

TEST_F(SiteStoreTest, DecidesFromTheAdministratorTheUserAndThePolicy) {
  ASSERT_EQ(S_OK, store_.Remember("https://allowed.example", true));
  ASSERT_EQ(S_OK, store_.Remember("https://denied.example", false));
  struct Case {
    const char* origin;
    SiteDecision withDialogs;
    SiteDecision withPolicyOff;
  };
  constexpr Case cases[] = {
      {"http://intranet.example:8080", SiteDecision::kAllowedByAdministrator, SiteDecision::kAllowedByAdministrator},
      {"https://admin.example", SiteDecision::kAllowedByAdministrator, SiteDecision::kAllowedByAdministrator},
      {"https://allowed.example", SiteDecision::kAllowedByUser, SiteDecision::kRefuse},
      {"https://denied.example", SiteDecision::kDeniedByUser, SiteDecision::kRefuse},
      {"https://new.example", SiteDecision::kAsk, SiteDecision::kRefuse},
      {"http://127.0.0.1:9000", SiteDecision::kAsk, SiteDecision::kRefuse},
      {"http://new.example", SiteDecision::kRefuse, SiteDecision::kRefuse},
      {"null", SiteDecision::kRefuse, SiteDecision::kRefuse},
  };
  scratch_.SetPromptPolicy(2);  // any value but 0 allows the dialog
  for (const Case& c : cases) EXPECT_EQ(c.withDialogs, store_.Decide(c.origin)) << c.origin;
  EXPECT_TRUE(store_.PromptsAllowed());

  scratch_.SetPromptPolicy(0);
  EXPECT_FALSE(store_.PromptsAllowed());
  for (const Case& c : cases) EXPECT_EQ(c.withPolicyOff, store_.Decide(c.origin)) << c.origin << ", policy 0";
}

TEST_F(SiteStoreTest, RemembersForgetsAndListsOnlyOfferedOriginsWithOurAnswers) {
  EXPECT_EQ(E_INVALIDARG, store_.Remember("http://new.example", true));
  EXPECT_EQ(S_FALSE, store_.Forget("https://b.example"));  // nothing kept yet, not even the key
  ASSERT_EQ(S_OK, store_.Remember("https://b.example", true));
  ASSERT_EQ(S_OK, store_.Remember("https://a.example", false));
  ASSERT_EQ(S_OK, store_.Remember("https://a.example", true));  // a new answer replaces the old one
  ASSERT_EQ(S_OK, store_.Remember("https://c.example", false));
  // A value that is not one of our answers is neither an Allow nor listed.
  const std::wstring sitesPath = std::wstring(contract::kSettingsKey) + L"\\" + contract::kSitesSubkey;
  ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(scratch_.roots().user, sitesPath.c_str(), L"https://maybe.example",
                                             REG_SZ, L"maybe", sizeof L"maybe"));
  EXPECT_EQ(SiteDecision::kAsk, store_.Decide("https://maybe.example"));

  std::string listed;
  for (const RememberedSite& site : store_.List()) listed += (site.allowed ? "+" : "-") + site.origin + " ";
  EXPECT_EQ("+https://a.example +https://b.example -https://c.example ", listed);

  bool allowed = false;
  EXPECT_EQ(S_OK, store_.Forget("https://b.example", &allowed));
  EXPECT_TRUE(allowed);
  EXPECT_EQ(S_FALSE, store_.Forget("https://b.example"));
  EXPECT_EQ(SiteDecision::kAsk, store_.Decide("https://b.example"));
}

std::string Output(const std::function<int(std::FILE*)>& command, int& exitCode) {
  std::FILE* file = std::tmpfile();
  EXPECT_NE(nullptr, file);
  if (file == nullptr) return {};
  exitCode = command(file);
  std::rewind(file);
  std::string text;
  char buffer[512];
  while (const std::size_t read = std::fread(buffer, 1, sizeof buffer, file)) text.append(buffer, read);
  std::fclose(file);
  return text;
}

TEST_F(SiteStoreTest, CommandLineListsAndForgetsWithTheOriginNormalised) {
  ASSERT_EQ(S_OK, store_.Remember("https://allowed.example", true));
  ASSERT_EQ(S_OK, store_.Remember("https://denied.example", false));
  int exitCode = -1;
  const std::string listed = Output([&](std::FILE* out) { return ListSites(store_, out); }, exitCode);
  EXPECT_EQ(0, exitCode);
  EXPECT_EQ("Allowed by the administrator:\n  http://intranet.example:8080\n  https://admin.example\n"
            "Remembered answers of this user:\n  allow https://allowed.example\n  deny  https://denied.example\n"
            "A site that is not listed is asked about when its page connects.\n",
            listed);

  EXPECT_EQ("forgot https://allowed.example (it was allowed): its next page is asked about again\n",
            Output([&](std::FILE* out) { return ForgetSite(store_, "HTTPS://Allowed.Example:443", out); }, exitCode));
  EXPECT_EQ(0, exitCode);
  EXPECT_EQ("no answer was remembered for https://allowed.example\n",
            Output([&](std::FILE* out) { return ForgetSite(store_, "https://allowed.example", out); }, exitCode));
  EXPECT_EQ(0, exitCode);
  Output([&](std::FILE* out) { return ForgetSite(store_, "allowed.example", out); }, exitCode);
  EXPECT_EQ(2, exitCode);
}

}  // namespace
}  // namespace vaduna::connector::desktop
