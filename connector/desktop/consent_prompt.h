// Puts the question "may this site attach?" to the desktop user, one dialog at
// a time, on a thread of its own (never the I/O thread: a request returns at
// once and its answer comes through a callback).
//
// - A request for an origin whose dialog is open or queued waits for that
//   same answer; at most kMaxWaitingOrigins origins wait at once.
// - Allow with "Remember my decision" is kept in the SiteStore, and so is
//   Deny; Allow without it holds until the connector ends; Deny without it
//   answers that origin's further requests at once for kQuietAfterDeny.
// - Closing the dialog (Esc, its close button) is a Deny that is not kept.
// - A request gives up at its time-out: its dialog closes as kNoAnswer, and a
//   queued one whose time has run out is never shown.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "connector/desktop/desktop_limits.h"
#include "connector/desktop/site_store.h"

namespace vaduna::connector::desktop {

enum class ConsentOutcome {
  kAllowed,
  kDenied,       // the user's answer now, or one they gave before
  kNoAnswer,     // the time-out ran out
  kUnavailable,  // no dialog can be shown (no desktop, too many waiting, stopping): refuse as without a dialog
};

const char* ToString(ConsentOutcome outcome) noexcept;

// What the user answered in one dialog.
struct AskedAnswer {
  ConsentOutcome outcome = ConsentOutcome::kNoAnswer;
  bool remember = false;  // "Remember my decision" (only with kAllowed or kDenied)
  std::string problem;    // with kUnavailable: why no dialog could be shown, for the log
};

// Shows the question; the real one is ConsentDialog, tests give a fake.
class ConsentAsker {
 public:
  virtual ~ConsentAsker() = default;
  // On the prompt's thread: asks about origin; returns the answer, kNoAnswer
  // once timeout has passed, kUnavailable when it cannot ask at all.
  virtual AskedAnswer Ask(const std::string& origin, std::chrono::milliseconds timeout) = 0;
  // From any thread: ends the question that is open, and every later one, as
  // kNoAnswer. Called once, when the prompt stops.
  virtual void Stop() noexcept = 0;
};

class ConsentPrompt {
 public:
  using Done = std::function<void(ConsentOutcome)>;
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  using Note = std::function<void(const std::string&)>;  // for the log

  // store keeps remembered answers; note, when given, hears each answer.
  ConsentPrompt(SiteStore& store, std::unique_ptr<ConsentAsker> asker, Note note = {}, Clock clock = {});
  ConsentPrompt(const ConsentPrompt&) = delete;
  ConsentPrompt& operator=(const ConsentPrompt&) = delete;
  // Stops the asker and answers every waiting request kUnavailable.
  ~ConsentPrompt();

  // From any thread; never blocks. done is called exactly once, on the
  // prompt's thread or, for an answer known at once, on the caller's. It must
  // not block. timeout is bounded by kMaxConsentTimeout.
  void Request(const std::string& origin, std::chrono::milliseconds timeout, Done done);

 private:
  struct Question {
    std::string origin;
    std::chrono::steady_clock::time_point deadline;
    std::vector<Done> waiting;
  };

  void Run();
  // The answer known at once, or nothing when done now waits in a question (then moved from).
  std::optional<ConsentOutcome> Queue(const std::string& origin, std::chrono::milliseconds timeout, Done& done);
  // The answer for origin known without a dialog, if any; with the lock held.
  std::optional<ConsentOutcome> KnownAnswer(const std::string& origin);
  void Record(const std::string& origin, const AskedAnswer& answer);

  SiteStore& store_;
  const std::unique_ptr<ConsentAsker> asker_;
  const Note note_;
  const Clock clock_;

  std::mutex lock_;  // guards everything below
  std::condition_variable work_;
  std::deque<std::shared_ptr<Question>> questions_;  // the front one is asked
  std::map<std::string, std::chrono::steady_clock::time_point> deniedUntil_;
  std::vector<std::string> allowedUntilEnd_;
  bool stopping_ = false;

  std::thread thread_;  // last: it starts once everything above is ready
};

}  // namespace vaduna::connector::desktop
