// The notification icon's menu and commands, sent as its window's messages,
// and its state text.
#include "connector/desktop/notify_icon.h"

#include <gtest/gtest.h>

#include <regex>

#include "connector/utf.h"
#include "tests/unit/connector/desktop/desktop_test_support.h"

namespace vaduna::connector::desktop {
namespace {

using test::ScratchRoots;

struct MenuItem {
  std::string text;
  UINT id = 0;
  bool grayed = false;
  HMENU submenu = nullptr;
};

std::vector<MenuItem> Items(HMENU menu) {
  std::vector<MenuItem> items;
  for (int i = 0; i < ::GetMenuItemCount(menu); ++i) {
    wchar_t text[256] = {};
    ::GetMenuStringW(menu, i, text, 256, MF_BYPOSITION);
    const UINT state = ::GetMenuState(menu, i, MF_BYPOSITION);
    items.push_back({ToUtf8(text), ::GetMenuItemID(menu, i), (state & MF_GRAYED) != 0, ::GetSubMenu(menu, i)});
  }
  return items;
}

class NotifyIconTest : public ::testing::Test {
 protected:
  NotifyIconTest() : scratch_(L"NotifyIcon"), store_({"https://admin.example"}, scratch_.roots()) {}

  NotifyIcon::Actions Actions() {
    return {[this] { ++quits_; }, [this](const std::wstring& file) { opened_.push_back(file); },
            [this](const std::string& line) {
              std::lock_guard hold(notesLock_);
              notes_.push_back(line);
            },
            [this] { ++sessionEnds_; }};
  }

  ScratchRoots scratch_;
  SiteStore store_;
  int quits_ = 0;  // the icon's thread, while the test waits in SendMessage
  int sessionEnds_ = 0;
  std::vector<std::wstring> opened_;
  std::mutex notesLock_;
  std::vector<std::string> notes_;
};

TEST_F(NotifyIconTest, TheMenuAndTheWindowsMessagesForgetASiteOpenTheLogQuitAndEndWithTheSession) {
  ASSERT_EQ(S_OK, store_.Remember("https://a.example", true));
  ASSERT_EQ(S_OK, store_.Remember("https://b.example", false));
  NotifyIcon icon(store_, L"C:\\logs\\connector.log", Actions());
  const HWND window = icon.window();
  ASSERT_NE(nullptr, window);
  if (!icon.shown()) {
    // No notification area (Wine without a display): said once, and the commands work all the same.
    std::lock_guard hold(notesLock_);
    EXPECT_EQ(
        (std::vector<std::string>{"no notification area in this session (yet): the connector runs without its icon"}),
        notes_);
  }

  const auto menu = reinterpret_cast<HMENU>(::SendMessageW(window, NotifyIcon::kPrepareMenu, 0, 0));
  ASSERT_NE(nullptr, menu);
  const std::vector<MenuItem> items = Items(menu);
  ASSERT_EQ(7u, items.size());  // three lines of state, a separator, the sites, the log, quit
  EXPECT_EQ("Not listening", items[0].text);
  EXPECT_TRUE(items[0].grayed);
  EXPECT_EQ("Allowed sites", items[4].text);
  EXPECT_EQ(NotifyIcon::kOpenLogCommand, items[5].id);
  EXPECT_EQ("Open the log", items[5].text);
  EXPECT_EQ(NotifyIcon::kQuitCommand, items[6].id);
  EXPECT_EQ("Quit", items[6].text);
  const std::vector<MenuItem> sites = Items(items[4].submenu);
  ASSERT_EQ(3u, sites.size());
  EXPECT_EQ("https://admin.example (set by the administrator)", sites[0].text);
  EXPECT_TRUE(sites[0].grayed);
  EXPECT_EQ("Remove https://a.example", sites[1].text);
  EXPECT_EQ(NotifyIcon::kForgetSiteCommand, sites[1].id);
  EXPECT_EQ("Remove https://b.example (denied)", sites[2].text);
  EXPECT_EQ(NotifyIcon::kForgetSiteCommand + 1, sites[2].id);

  ::SendMessageW(window, WM_COMMAND, NotifyIcon::kForgetSiteCommand + 1, 0);
  EXPECT_EQ(SiteDecision::kAsk, store_.Decide("https://b.example"));
  EXPECT_EQ(SiteDecision::kAllowedByUser, store_.Decide("https://a.example"));
  ::SendMessageW(window, WM_COMMAND, NotifyIcon::kForgetSiteCommand + 2, 0);  // no such item: nothing happens
  EXPECT_EQ(SiteDecision::kAllowedByUser, store_.Decide("https://a.example"));
  EXPECT_TRUE(opened_.empty());
  ::SendMessageW(window, WM_COMMAND, NotifyIcon::kOpenLogCommand, 0);
  EXPECT_EQ((std::vector<std::wstring>{L"C:\\logs\\connector.log"}), opened_);
  EXPECT_EQ(0, quits_);
  ::SendMessageW(window, WM_COMMAND, NotifyIcon::kQuitCommand, 0);
  EXPECT_EQ(1, quits_);
  ::SendMessageW(window, WM_ENDSESSION, FALSE, 0);  // the logoff was cancelled
  EXPECT_EQ(0, sessionEnds_);
  ::SendMessageW(window, WM_ENDSESSION, TRUE, 0);
  EXPECT_EQ(1, sessionEnds_);

  // A menu made again lists what is left.
  const auto again = reinterpret_cast<HMENU>(::SendMessageW(window, NotifyIcon::kPrepareMenu, 0, 0));
  EXPECT_EQ(2u, Items(Items(again).at(4).submenu).size());
}

TEST_F(NotifyIconTest, TheStateTextTellsThePortThePageSinceWhenTheCallsAndTheLastError) {
  NotifyIcon icon(store_, L"C:\\logs\\connector.log", Actions());
  EXPECT_EQ(L"Not listening\nNo page attached\nCalls served: 0", icon.StateText());
  icon.SetListening(12345);
  icon.SetAttached("https://a.example");
  for (int i = 0; i < 3; ++i) icon.CountCall();
  icon.SetLastError("the server could not be reached");
  EXPECT_TRUE(std::regex_match(ToUtf8(icon.StateText()),
                               std::regex("Listening on 127\\.0\\.0\\.1:12345\n"
                                          "Page attached from https://a\\.example "
                                          "since [0-2][0-9]:[0-5][0-9]:[0-5][0-9]\n"
                                          "Calls served: 3\n"
                                          "Last error: the server could not be reached")))
      << ToUtf8(icon.StateText());
  icon.SetDetached();
  EXPECT_TRUE(ToUtf8(icon.StateText()).starts_with("Listening on 127.0.0.1:12345\nNo page attached\n"));
  // The menu's first lines are the state.
  const std::vector<MenuItem> items =
      Items(reinterpret_cast<HMENU>(::SendMessageW(icon.window(), NotifyIcon::kPrepareMenu, 0, 0)));
  EXPECT_EQ("Listening on 127.0.0.1:12345", items.at(0).text);
  EXPECT_EQ("Last error: the server could not be reached", items.at(3).text);
}

}  // namespace
}  // namespace vaduna::connector::desktop
