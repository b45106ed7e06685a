#include "connector/desktop/consent_prompt.h"

#include <algorithm>

namespace vaduna::connector::desktop {

const char* ToString(ConsentOutcome outcome) noexcept {
  switch (outcome) {
    case ConsentOutcome::kAllowed:
      return "allowed";
    case ConsentOutcome::kDenied:
      return "denied";
    case ConsentOutcome::kNoAnswer:
      return "no answer";
    case ConsentOutcome::kUnavailable:
      return "no dialog";
  }
  return "?";
}

ConsentPrompt::ConsentPrompt(SiteStore& store, std::unique_ptr<ConsentAsker> asker, Note note, Clock clock)
    : store_(store),
      asker_(std::move(asker)),
      note_(std::move(note)),
      clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })),
      thread_([this] { Run(); }) {}

ConsentPrompt::~ConsentPrompt() {
  {
    std::lock_guard hold(lock_);
    stopping_ = true;
  }
  work_.notify_all();
  asker_->Stop();
  thread_.join();
}

std::optional<ConsentOutcome> ConsentPrompt::KnownAnswer(const std::string& origin) {
  const auto denied = deniedUntil_.find(origin);
  if (denied != deniedUntil_.end()) {
    if (clock_() < denied->second) return ConsentOutcome::kDenied;
    deniedUntil_.erase(denied);
  }
  if (std::find(allowedUntilEnd_.begin(), allowedUntilEnd_.end(), origin) != allowedUntilEnd_.end()) {
    return ConsentOutcome::kAllowed;
  }
  // Read again here: a dialog answered since the caller decided to ask may have remembered it, and the
  // policy may have turned the dialog off.
  switch (store_.Decide(origin)) {
    case SiteDecision::kAllowedByAdministrator:
    case SiteDecision::kAllowedByUser:
      return ConsentOutcome::kAllowed;
    case SiteDecision::kDeniedByUser:
      return ConsentOutcome::kDenied;
    case SiteDecision::kRefuse:
      return ConsentOutcome::kUnavailable;
    case SiteDecision::kAsk:
      break;
  }
  return std::nullopt;
}

void ConsentPrompt::Request(const std::string& origin, std::chrono::milliseconds timeout, Done done) {
  timeout = std::clamp<std::chrono::milliseconds>(timeout, std::chrono::milliseconds(0), kMaxConsentTimeout);
  const std::optional<ConsentOutcome> now = Queue(origin, timeout, done);
  if (now) done(*now);
}

std::optional<ConsentOutcome> ConsentPrompt::Queue(const std::string& origin, std::chrono::milliseconds timeout,
                                                   Done& done) {
  std::lock_guard hold(lock_);
  if (stopping_) return ConsentOutcome::kUnavailable;
  if (const std::optional<ConsentOutcome> known = KnownAnswer(origin)) return known;
  const auto same = std::find_if(questions_.begin(), questions_.end(),
                                 [&](const std::shared_ptr<Question>& question) { return question->origin == origin; });
  if (same != questions_.end()) {
    (*same)->waiting.push_back(std::move(done));
    return std::nullopt;
  }
  if (questions_.size() >= kMaxWaitingOrigins) {
    if (note_) {
      note_("no dialog for " + origin + ": " + std::to_string(kMaxWaitingOrigins) +
            " sites are waiting for the user's answer already");
    }
    return ConsentOutcome::kUnavailable;
  }
  questions_.push_back(std::make_shared<Question>(Question{origin, clock_() + timeout, {}}));
  questions_.back()->waiting.push_back(std::move(done));
  work_.notify_one();
  return std::nullopt;
}

void ConsentPrompt::Record(const std::string& origin, const AskedAnswer& answer) {
  const bool allowed = answer.outcome == ConsentOutcome::kAllowed;
  if (!allowed && answer.outcome != ConsentOutcome::kDenied) return;
  if (answer.remember && SUCCEEDED(store_.Remember(origin, allowed))) {
    deniedUntil_.erase(origin);
    return;
  }
  if (allowed) {
    allowedUntilEnd_.push_back(origin);
  } else {
    deniedUntil_[origin] = clock_() + kQuietAfterDeny;
  }
}

void ConsentPrompt::Run() {
  for (;;) {
    std::shared_ptr<Question> question;
    {
      std::unique_lock hold(lock_);
      work_.wait(hold, [this] { return stopping_ || !questions_.empty(); });
      if (stopping_) break;
      question = questions_.front();
    }
    AskedAnswer answer;
    const auto now = clock_();
    if (now < question->deadline) {
      answer = asker_->Ask(question->origin,
                           std::chrono::duration_cast<std::chrono::milliseconds>(question->deadline - now));
    }
    std::vector<Done> waiting;
    {
      std::lock_guard hold(lock_);
      Record(question->origin, answer);
      questions_.pop_front();
      waiting.swap(question->waiting);  // no request joins it from here on
    }
    if (note_) {
      const bool kept = answer.remember && (answer.outcome == ConsentOutcome::kAllowed ||
                                            answer.outcome == ConsentOutcome::kDenied);
      note_("the user's answer for " + question->origin + ": " + ToString(answer.outcome) +
            (kept ? " (remembered)" : "") + (answer.problem.empty() ? "" : ": " + answer.problem));
    }
    for (Done& done : waiting) done(answer.outcome);
  }
  std::deque<std::shared_ptr<Question>> left;
  {
    std::lock_guard hold(lock_);
    left.swap(questions_);
  }
  for (const auto& question : left) {
    for (Done& done : question->waiting) done(ConsentOutcome::kUnavailable);
  }
}

}  // namespace vaduna::connector::desktop
