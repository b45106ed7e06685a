// The real consent dialog and notification icon on a display, the dialog
// answered by the window driver as a user would. Run under a virtual X
// display (display_test.sh): without one, Wine makes no windows.
#include <windows.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "connector/desktop/consent_dialog.h"
#include "connector/desktop/consent_dialog_ids.h"
#include "connector/desktop/notify_icon.h"
#include "tests/unit/connector/desktop/desktop_test_support.h"
#include "vaduna_contract.h"

namespace vaduna::connector::desktop {
namespace {

using namespace std::chrono_literals;
using test::Program;

// The window driver, started before the dialog opens: it waits for the dialog by its title.
Program Driver(const std::wstring& options) {
  return Program(L"vaduna_window_driver.exe",
                 L"--title \"" + std::wstring(contract::kConsentDialogTitle) + L"\" " + options);
}

// A control as the driver prints it.
std::string Control(int id, const char* kind, const std::string& text) {
  return "{\"id\":" + std::to_string(id) + ",\"kind\":\"" + kind + "\",\"text\":\"" + text + "\"";
}

TEST(ConsentDialogOnADisplay, NamesTheOriginAndTakesTheUsersAnswer) {
  struct Case {
    std::wstring driver;
    const char* origin;
    ConsentOutcome outcome;
    bool remember;
  };
  const Case cases[] = {
      {L"--toggle " + std::to_wstring(VADUNA_CONSENT_REMEMBER) + L" --press " + std::to_wstring(IDYES),
       "http://127.0.0.1:8123", ConsentOutcome::kAllowed, false},
      {L"--press " + std::to_wstring(IDNO), "https://app.example.com", ConsentOutcome::kDenied, true},
  };
  for (const Case& c : cases) {
    Program driver = Driver(c.driver);
    ConsentDialog dialog;
    const AskedAnswer answer = dialog.Ask(c.origin, 30s);
    EXPECT_EQ(c.outcome, answer.outcome) << answer.problem;
    EXPECT_EQ(c.remember, answer.remember);
    DWORD exitCode = 0;
    const std::string seen = driver.Finish(exitCode);
    EXPECT_EQ(0u, exitCode) << seen;
    for (const std::string& part :
         {std::string("\"found\":true,\"count\":1,"), Control(VADUNA_CONSENT_ORIGIN, "static", c.origin) + "}",
          std::string("desktop programs will send this site their data and act on its answers"),
          Control(VADUNA_CONSENT_REMEMBER, "check", "Remember my decision") + ",\"checked\":true}",
          Control(IDYES, "button", "Allow") + "}", Control(IDNO, "button", "Deny") + "}"}) {
      EXPECT_NE(std::string::npos, seen.find(part)) << part << " in " << seen;
    }
  }
}

TEST(ConsentDialogOnADisplay, ClosesAsNoAnswerAtItsTimeOutOrWhenStopped) {
  ConsentDialog timed;
  EXPECT_EQ(ConsentOutcome::kNoAnswer, timed.Ask("https://a.example", 300ms).outcome);

  ConsentDialog stopped;
  std::thread stopper([&] {
    DWORD exitCode = 0;
    Driver(L"--wait-ms 20000").Finish(exitCode);  // ends once the dialog is open
    EXPECT_EQ(0u, exitCode);
    stopped.Stop();
  });
  EXPECT_EQ(ConsentOutcome::kNoAnswer, stopped.Ask("https://a.example", 60s).outcome);
  stopper.join();
  EXPECT_EQ(ConsentOutcome::kNoAnswer, stopped.Ask("https://a.example", 60s).outcome);  // stopped for good
}

TEST(ConsentDialogOnADisplay, TwoPagesOfOneOriginMakeOneDialogAndARememberedAllow) {
  test::ScratchRoots scratch(L"DialogOnADisplay");
  SiteStore store({}, scratch.roots());
  std::mutex lock;
  std::condition_variable changed;
  std::vector<ConsentOutcome> outcomes;
  {
    ConsentPrompt prompt(store, std::make_unique<ConsentDialog>());
    for (int page = 0; page < 2; ++page) {
      prompt.Request("http://localhost:8123", 30s, [&](ConsentOutcome outcome) {
        std::lock_guard hold(lock);
        outcomes.push_back(outcome);
        changed.notify_all();
      });
    }
    DWORD exitCode = 0;
    const std::string seen = Driver(L"--press " + std::to_wstring(IDYES)).Finish(exitCode);
    EXPECT_NE(std::string::npos, seen.find("\"count\":1,")) << seen;
    std::unique_lock hold(lock);
    EXPECT_TRUE(changed.wait_for(hold, 30s, [&] { return outcomes.size() == 2; }));
  }
  EXPECT_EQ((std::vector<ConsentOutcome>{ConsentOutcome::kAllowed, ConsentOutcome::kAllowed}), outcomes);
  EXPECT_EQ(SiteDecision::kAllowedByUser, store.Decide("http://localhost:8123"));
}

TEST(NotifyIconOnADisplay, TheNotificationAreaTakesTheIcon) {
  test::ScratchRoots scratch(L"IconOnADisplay");
  SiteStore store({}, scratch.roots());
  std::vector<std::string> notes;
  NotifyIcon icon(store, L"C:\\connector.log", {{}, {}, [&](const std::string& line) { notes.push_back(line); }});
  EXPECT_TRUE(icon.shown());
  EXPECT_TRUE(notes.empty()) << notes.front();
}

}  // namespace
}  // namespace vaduna::connector::desktop
