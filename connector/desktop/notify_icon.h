// The connector's icon in the notification area, on a thread of its own with
// a hidden window. Its tooltip shows the state (the port it listens on; the
// attached page's origin and since when; calls served; the last error), and
// its menu the same state, the sites (each remembered one can be removed),
// "Open the log" and "Quit".
//
// Where there is no notification area (a service session, Wine without a
// display) the icon says so through its note and the connector runs on; on
// Windows the icon is added when the taskbar starts (or restarts) later.
//
// The menu's commands are the window's WM_COMMAND ids; kPrepareMenu builds the
// menu that the icon shows (tests read it and send the commands themselves).
// The window also hears the end of the user's session (WM_ENDSESSION).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "connector/desktop/site_store.h"

namespace vaduna::connector::desktop {

class NotifyIcon {
 public:
  struct Actions {
    std::function<void()> quit;                            // asks the connector to stop; must not block
    std::function<void(const std::wstring& file)> open;    // opens the log; default: the shell's "open"
    std::function<void(const std::string& line)> note;     // for the log
    // The user logs off or the system shuts down: stop the connector and return once it has ended (bounded).
    // A program without a console hears of it only here.
    std::function<void()> sessionEnding;
  };

  // Window messages.
  static constexpr UINT kCallbackMessage = WM_APP + 1;  // from the notification area
  // Builds the menu the icon shows and returns it (an HMENU the icon owns, valid until the next one).
  static constexpr UINT kPrepareMenu = WM_APP + 2;
  static constexpr UINT kStopMessage = WM_APP + 3;
  // WM_COMMAND ids: the menu's commands.
  static constexpr UINT kOpenLogCommand = 100;
  static constexpr UINT kQuitCommand = 101;
  static constexpr UINT kForgetSiteCommand = 200;  // + the site's place in the menu

  // Starts the thread and returns once its window exists (window() is null if it could not be made) and the
  // notification area took the icon or refused it.
  NotifyIcon(SiteStore& store, std::wstring logFile, Actions actions);
  NotifyIcon(const NotifyIcon&) = delete;
  NotifyIcon& operator=(const NotifyIcon&) = delete;
  // Removes the icon and ends the thread.
  ~NotifyIcon();

  HWND window() const noexcept { return window_; }
  // Whether the notification area holds the icon now.
  bool shown() const noexcept { return shown_.load(); }

  // ---- The state, from any thread ----
  void SetListening(std::uint16_t port);
  void SetAttached(const std::string& origin);  // since now
  void SetDetached();
  void CountCall() noexcept;
  void SetLastError(const std::string& text);

  // The state in lines ("\n" between them): the menu's top and the tooltip.
  std::wstring StateText() const;

 private:
  void Run(HANDLE ready);
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void AddIcon();
  void UpdateTooltip();
  HMENU PrepareMenu();
  void ShowMenu();
  void Command(UINT id);
  void Note(const std::string& line) const;

  SiteStore& store_;
  const std::wstring logFile_;
  const Actions actions_;
  UINT taskbarCreated_ = 0;

  mutable std::mutex lock_;  // guards the state below
  std::uint16_t port_ = 0;
  std::string attachedOrigin_;
  std::wstring attachedSince_;
  std::string lastError_;
  std::atomic<std::uint64_t> calls_{0};
  std::atomic<bool> changed_{true};

  // The window's thread only:
  HMENU menu_ = nullptr;
  std::vector<std::string> menuSites_;  // what kForgetSiteCommand + i forgets
  bool noAreaSaid_ = false;

  std::atomic<bool> shown_{false};
  HWND window_ = nullptr;  // set before the constructor returns
  std::thread thread_;
};

}  // namespace vaduna::connector::desktop
