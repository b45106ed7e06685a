// The prompt's queue and memory with a fake asker: one dialog at a time, one
// answer for every page of an origin, the quiet period after a Deny, the
// time-outs, and the end.
#include "connector/desktop/consent_prompt.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "tests/unit/connector/desktop/desktop_test_support.h"

namespace vaduna::connector::desktop {
namespace {

using namespace std::chrono_literals;
using test::ScratchRoots;

// The fake user's desk, shared by the test and the fake asker (which the prompt owns): the questions asked,
// the answers to give, the outcomes of the test's numbered requests and the prompt's notes.
struct Desk {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::string> asked;
  std::vector<std::chrono::milliseconds> timeouts;
  std::deque<AskedAnswer> answers;
  std::map<int, ConsentOutcome> outcomes;
  std::vector<std::string> notes;
  bool stopped = false;

  void Answer(AskedAnswer answer) {
    std::lock_guard hold(lock);
    answers.push_back(std::move(answer));
    changed.notify_all();
  }
  bool Until(const std::function<bool()>& done) {
    std::unique_lock hold(lock);
    return changed.wait_for(hold, 10s, done);
  }
  bool WaitAsked(std::size_t count) {
    return Until([&] { return asked.size() >= count; });
  }
  std::optional<ConsentOutcome> Outcome(int request) {
    if (!Until([&] { return outcomes.count(request) != 0; })) return std::nullopt;
    std::lock_guard hold(lock);
    return outcomes[request];
  }
};

class FakeAsker final : public ConsentAsker {
 public:
  explicit FakeAsker(std::shared_ptr<Desk> desk) : desk_(std::move(desk)) {}
  AskedAnswer Ask(const std::string& origin, std::chrono::milliseconds timeout) override {
    std::unique_lock hold(desk_->lock);
    desk_->asked.push_back(origin);
    desk_->timeouts.push_back(timeout);
    desk_->changed.notify_all();
    desk_->changed.wait(hold, [&] { return desk_->stopped || !desk_->answers.empty(); });
    if (desk_->answers.empty()) return {ConsentOutcome::kNoAnswer, false};
    const AskedAnswer answer = desk_->answers.front();
    desk_->answers.pop_front();
    return answer;
  }
  void Stop() noexcept override {
    std::lock_guard hold(desk_->lock);
    desk_->stopped = true;
    desk_->changed.notify_all();
  }

 private:
  std::shared_ptr<Desk> desk_;
};

class ConsentPromptTest : public ::testing::Test {
 protected:
  ConsentPromptTest()
      : scratch_(L"ConsentPrompt"),
        store_({"https://admin.example"}, scratch_.roots()),
        prompt_(std::make_unique<ConsentPrompt>(
            store_, std::make_unique<FakeAsker>(desk_),
            [desk = desk_](const std::string& line) {
              std::lock_guard hold(desk->lock);
              desk->notes.push_back(line);
            },
            [this] { return std::chrono::steady_clock::time_point(std::chrono::milliseconds(now_.load())); })) {}

  // Request number for origin; its outcome is desk_->Outcome(number).
  void Request(int number, const std::string& origin, std::chrono::milliseconds timeout = 60s) {
    prompt_->Request(origin, timeout, [desk = desk_, number](ConsentOutcome outcome) {
      std::lock_guard hold(desk->lock);
      EXPECT_TRUE(desk->outcomes.emplace(number, outcome).second) << "request " << number << " answered twice";
      desk->changed.notify_all();
    });
  }
  void Advance(std::chrono::milliseconds by) { now_ += by.count(); }

  ScratchRoots scratch_;
  SiteStore store_;
  std::shared_ptr<Desk> desk_ = std::make_shared<Desk>();
  std::atomic<long long> now_{1'000'000};  // the prompt's clock, in ms
  std::unique_ptr<ConsentPrompt> prompt_;
};

TEST_F(ConsentPromptTest, OneDialogAtATimeAndOneAnswerForEveryPageOfAnOrigin) {
  Request(1, "https://a.example");
  ASSERT_TRUE(desk_->WaitAsked(1));
  Request(2, "https://a.example");  // a second page while the dialog is open
  Request(3, "https://b.example");
  Request(4, "https://b.example");
  EXPECT_EQ(0u, desk_->outcomes.size());
  desk_->Answer({ConsentOutcome::kAllowed, false});
  EXPECT_EQ(ConsentOutcome::kAllowed, desk_->Outcome(1));
  EXPECT_EQ(ConsentOutcome::kAllowed, desk_->Outcome(2));
  ASSERT_TRUE(desk_->WaitAsked(2));
  desk_->Answer({ConsentOutcome::kDenied, false});
  EXPECT_EQ(ConsentOutcome::kDenied, desk_->Outcome(3));
  EXPECT_EQ(ConsentOutcome::kDenied, desk_->Outcome(4));
  // b was asked only once a had its answer: one dialog at a time.
  EXPECT_EQ((std::vector<std::string>{"https://a.example", "https://b.example"}), desk_->asked);
}

TEST_F(ConsentPromptTest, AnswersAreKeptForTheRunOrInTheStoreAndADenyKeepsTheSiteQuiet) {
  // Allow without "remember": until the connector ends, not in the store.
  Request(1, "https://a.example");
  ASSERT_TRUE(desk_->WaitAsked(1));
  desk_->Answer({ConsentOutcome::kAllowed, false});
  ASSERT_EQ(ConsentOutcome::kAllowed, desk_->Outcome(1));
  Request(2, "https://a.example");
  EXPECT_EQ(ConsentOutcome::kAllowed, desk_->Outcome(2));
  EXPECT_EQ(SiteDecision::kAsk, store_.Decide("https://a.example"));

  // Deny without "remember": denied at once for 10 minutes, then asked again.
  Request(3, "https://b.example");
  ASSERT_TRUE(desk_->WaitAsked(2));
  desk_->Answer({ConsentOutcome::kDenied, false});
  ASSERT_EQ(ConsentOutcome::kDenied, desk_->Outcome(3));
  Advance(kQuietAfterDeny - 1ms);
  Request(4, "https://b.example");
  EXPECT_EQ(ConsentOutcome::kDenied, desk_->Outcome(4));
  Advance(1ms);
  Request(5, "https://b.example");
  ASSERT_TRUE(desk_->WaitAsked(3));

  // Answers with "remember" go to the store, where the next request finds them.
  desk_->Answer({ConsentOutcome::kDenied, true});
  ASSERT_EQ(ConsentOutcome::kDenied, desk_->Outcome(5));
  EXPECT_EQ(SiteDecision::kDeniedByUser, store_.Decide("https://b.example"));
  Request(6, "https://c.example");
  ASSERT_TRUE(desk_->WaitAsked(4));
  desk_->Answer({ConsentOutcome::kAllowed, true});
  ASSERT_EQ(ConsentOutcome::kAllowed, desk_->Outcome(6));
  EXPECT_EQ(SiteDecision::kAllowedByUser, store_.Decide("https://c.example"));

  // The store is read again at each request: an answer given elsewhere, or the policy, counts at once.
  ASSERT_EQ(S_OK, store_.Remember("https://d.example", true));
  Request(7, "https://d.example");
  EXPECT_EQ(ConsentOutcome::kAllowed, desk_->Outcome(7));
  scratch_.SetPromptPolicy(0);
  Request(8, "https://e.example");
  EXPECT_EQ(ConsentOutcome::kUnavailable, desk_->Outcome(8));
  EXPECT_EQ(4u, desk_->asked.size());
}

TEST_F(ConsentPromptTest, TimeOutsAndTheQueuesBound) {
  Request(1, "https://a.example", 1h);  // bounded
  ASSERT_TRUE(desk_->WaitAsked(1));
  EXPECT_EQ(std::chrono::milliseconds(kMaxConsentTimeout), desk_->timeouts[0]);
  Request(2, "https://b.example", 10s);
  for (int i = 3; i < 3 + static_cast<int>(kMaxWaitingOrigins) - 2; ++i) {
    Request(i, "https://q" + std::to_string(i) + ".example", 30s);
  }
  // The queue is full: one more origin gets no dialog, a page of a waiting origin still joins it.
  Request(100, "https://one-too-many.example");
  EXPECT_EQ(ConsentOutcome::kUnavailable, desk_->Outcome(100));
  Request(101, "https://b.example");

  // b's time runs out while a's dialog is open: it is never shown; the next one gets the time it has left.
  Advance(20s);
  desk_->Answer({ConsentOutcome::kDenied, false});
  EXPECT_EQ(ConsentOutcome::kNoAnswer, desk_->Outcome(2));
  EXPECT_EQ(ConsentOutcome::kNoAnswer, desk_->Outcome(101));
  ASSERT_TRUE(desk_->WaitAsked(2));
  EXPECT_EQ("https://q3.example", desk_->asked[1]);
  EXPECT_EQ(std::chrono::milliseconds(10s), desk_->timeouts[1]);
}

TEST_F(ConsentPromptTest, WithoutADesktopEveryWaitingPageIsRefusedAndTheNextOneTriesAgain) {
  Request(1, "https://a.example");
  Request(2, "https://a.example");
  ASSERT_TRUE(desk_->WaitAsked(1));
  desk_->Answer({ConsentOutcome::kUnavailable, false, "no desktop"});
  EXPECT_EQ(ConsentOutcome::kUnavailable, desk_->Outcome(1));
  EXPECT_EQ(ConsentOutcome::kUnavailable, desk_->Outcome(2));
  Request(3, "https://a.example");
  EXPECT_TRUE(desk_->WaitAsked(2));
  std::lock_guard hold(desk_->lock);
  EXPECT_EQ("the user's answer for https://a.example: no dialog: no desktop", desk_->notes.at(0));
}

TEST_F(ConsentPromptTest, StoppingClosesTheDialogAndAnswersEveryWaitingPage) {
  Request(1, "https://a.example");
  ASSERT_TRUE(desk_->WaitAsked(1));
  Request(2, "https://b.example");
  prompt_.reset();
  EXPECT_EQ(ConsentOutcome::kNoAnswer, desk_->Outcome(1));
  EXPECT_EQ(ConsentOutcome::kUnavailable, desk_->Outcome(2));
  EXPECT_TRUE(desk_->stopped);
  EXPECT_EQ(1u, desk_->asked.size());
}

}  // namespace
}  // namespace vaduna::connector::desktop
