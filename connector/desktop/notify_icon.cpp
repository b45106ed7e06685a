#include "connector/desktop/notify_icon.h"

#include <objbase.h>
#include <shellapi.h>

#include <cwchar>
#include <mutex>

#include "base/unique_resource.h"
#include "connector/desktop/desktop_limits.h"
#include "connector/utf.h"

namespace vaduna::connector::desktop {

namespace {

constexpr wchar_t kWindowClass[] = L"VadunaConnectorNotifyIcon";
constexpr UINT kIconId = 1;
constexpr UINT_PTR kTooltipTimer = 1;
// How often a changed state reaches the tooltip: calls may be counted thousands of times a second.
constexpr UINT kTooltipRefreshMs = 1000;

std::wstring TimeOfDay() {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  wchar_t text[16];
  std::swprintf(text, 16, L"%02u:%02u:%02u", now.wHour, now.wMinute, now.wSecond);
  return text;
}

}  // namespace

NotifyIcon::NotifyIcon(SiteStore& store, std::wstring logFile, Actions actions)
    : store_(store), logFile_(std::move(logFile)), actions_(std::move(actions)) {
  const UniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  thread_ = std::thread([this, event = ready.get()] { Run(event); });
  ::WaitForSingleObject(ready.get(), INFINITE);
}

NotifyIcon::~NotifyIcon() {
  if (window_ != nullptr) ::PostMessageW(window_, kStopMessage, 0, 0);
  thread_.join();
}

void NotifyIcon::Note(const std::string& line) const {
  if (actions_.note) actions_.note(line);
}

void NotifyIcon::Run(HANDLE ready) {
  // The shell's "open" wants a single-threaded apartment on the calling thread.
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const HINSTANCE module = ::GetModuleHandleW(nullptr);
  static std::once_flag registered;
  std::call_once(registered, [module] {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &Procedure;
    windowClass.hInstance = module;
    windowClass.lpszClassName = kWindowClass;
    ::RegisterClassExW(&windowClass);
  });
  // A hidden top-level window hears the taskbar's restart; where none can be made (no desktop), a
  // message-only window still takes the commands.
  HWND window = ::CreateWindowExW(0, kWindowClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, module, this);
  if (window == nullptr) {
    window = ::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, module, this);
  }
  window_ = window;
  if (window == nullptr) {
    Note("the notification icon's window could not be made (error " + std::to_string(::GetLastError()) +
         "): the connector runs without its icon");
    ::SetEvent(ready);
  } else {
    taskbarCreated_ = ::RegisterWindowMessageW(L"TaskbarCreated");
    AddIcon();
    ::SetTimer(window, kTooltipTimer, kTooltipRefreshMs, nullptr);
    ::SetEvent(ready);
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
  }
  if (SUCCEEDED(com)) ::CoUninitialize();
}

LRESULT CALLBACK NotifyIcon::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* icon = reinterpret_cast<NotifyIcon*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (icon == nullptr || message == WM_NCCREATE) return ::DefWindowProcW(window, message, wParam, lParam);
  return icon->Handle(window, message, wParam, lParam);
}

LRESULT NotifyIcon::Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kCallbackMessage:
      if (LOWORD(lParam) == WM_RBUTTONUP || LOWORD(lParam) == WM_LBUTTONUP || LOWORD(lParam) == WM_CONTEXTMENU) {
        ShowMenu();
      }
      return 0;
    case kPrepareMenu:
      return reinterpret_cast<LRESULT>(PrepareMenu());
    case WM_COMMAND:
      Command(LOWORD(wParam));
      return 0;
    case WM_ENDSESSION:
      // The process ends as soon as this returns: the page is detached first.
      if (wParam != FALSE && actions_.sessionEnding) actions_.sessionEnding();
      return 0;
    case WM_TIMER:
      if (wParam == kTooltipTimer && changed_.exchange(false)) UpdateTooltip();
      return 0;
    case kStopMessage:
      ::EndMenu();
      ::DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      ::KillTimer(window, kTooltipTimer);
      if (shown_.exchange(false)) {
        NOTIFYICONDATAW data{};
        data.cbSize = sizeof data;
        data.hWnd = window;
        data.uID = kIconId;
        ::Shell_NotifyIconW(NIM_DELETE, &data);
      }
      if (menu_ != nullptr) ::DestroyMenu(menu_);
      menu_ = nullptr;
      ::PostQuitMessage(0);
      return 0;
  }
  if (message == taskbarCreated_ && taskbarCreated_ != 0) {
    // The taskbar started, or started again after a crash: it holds no icon of ours now.
    shown_ = false;
    AddIcon();
    return 0;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

void NotifyIcon::AddIcon() {
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = window_;
  data.uID = kIconId;
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.uCallbackMessage = kCallbackMessage;
  data.hIcon = ::LoadIconW(nullptr, IDI_APPLICATION);
  const std::wstring tip = StateText();
  std::wcsncpy(data.szTip, tip.c_str(), std::size(data.szTip) - 1);
  if (::Shell_NotifyIconW(NIM_ADD, &data)) {
    shown_ = true;
    return;
  }
  if (!noAreaSaid_) {
    noAreaSaid_ = true;
    Note("no notification area in this session (yet): the connector runs without its icon");
  }
}

void NotifyIcon::UpdateTooltip() {
  if (!shown_) return;
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = window_;
  data.uID = kIconId;
  data.uFlags = NIF_TIP;
  const std::wstring tip = StateText();
  std::wcsncpy(data.szTip, tip.c_str(), std::size(data.szTip) - 1);
  ::Shell_NotifyIconW(NIM_MODIFY, &data);
}

HMENU NotifyIcon::PrepareMenu() {
  if (menu_ != nullptr) ::DestroyMenu(menu_);  // with its submenu
  menuSites_.clear();
  menu_ = ::CreatePopupMenu();
  const HMENU sites = ::CreatePopupMenu();
  if (menu_ == nullptr || sites == nullptr) {
    if (sites != nullptr) ::DestroyMenu(sites);
    return menu_;
  }
  const std::wstring state = StateText();
  for (std::size_t start = 0; start <= state.size();) {
    const std::size_t end = std::min(state.find(L'\n', start), state.size());
    ::AppendMenuW(menu_, MF_STRING | MF_GRAYED, 0, state.substr(start, end - start).c_str());
    start = end + 1;
  }
  ::AppendMenuW(menu_, MF_SEPARATOR, 0, nullptr);

  for (const std::string& origin : store_.administratorOrigins()) {
    ::AppendMenuW(sites, MF_STRING | MF_GRAYED, 0, (FromUtf8(origin) + L" (set by the administrator)").c_str());
  }
  for (const RememberedSite& site : store_.List()) {
    if (menuSites_.size() == kMaxMenuSites) break;
    const std::wstring text = L"Remove " + FromUtf8(site.origin) + (site.allowed ? L"" : L" (denied)");
    ::AppendMenuW(sites, MF_STRING, kForgetSiteCommand + menuSites_.size(), text.c_str());
    menuSites_.push_back(site.origin);
  }
  if (::GetMenuItemCount(sites) == 0) ::AppendMenuW(sites, MF_STRING | MF_GRAYED, 0, L"No site is allowed");
  ::AppendMenuW(menu_, MF_POPUP, reinterpret_cast<UINT_PTR>(sites), L"Allowed sites");
  ::AppendMenuW(menu_, MF_STRING, kOpenLogCommand, L"Open the log");
  ::AppendMenuW(menu_, MF_STRING, kQuitCommand, L"Quit");
  return menu_;
}

void NotifyIcon::ShowMenu() {
  const HMENU menu = PrepareMenu();
  if (menu == nullptr) return;
  POINT at{};
  ::GetCursorPos(&at);
  // Without these two the menu would not close when the user clicks elsewhere.
  ::SetForegroundWindow(window_);
  ::TrackPopupMenuEx(menu, TPM_RIGHTBUTTON, at.x, at.y, window_, nullptr);
  ::PostMessageW(window_, WM_NULL, 0, 0);
}

void NotifyIcon::Command(UINT id) {
  if (id == kOpenLogCommand) {
    if (actions_.open) {
      actions_.open(logFile_);
    } else {
      ::ShellExecuteW(nullptr, L"open", logFile_.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    }
  } else if (id == kQuitCommand) {
    Note("quit from the notification icon's menu");
    if (actions_.quit) actions_.quit();
  } else if (id >= kForgetSiteCommand && id - kForgetSiteCommand < menuSites_.size()) {
    const std::string& origin = menuSites_[id - kForgetSiteCommand];
    const HRESULT forgotten = store_.Forget(origin);
    Note(forgotten == S_OK ? "forgot the user's answer for " + origin + " from the notification icon's menu"
                           : "the answer for " + origin + " was forgotten already");
    changed_ = true;
  }
}

void NotifyIcon::SetListening(std::uint16_t port) {
  std::lock_guard hold(lock_);
  port_ = port;
  changed_ = true;
}

void NotifyIcon::SetAttached(const std::string& origin) {
  std::lock_guard hold(lock_);
  attachedOrigin_ = origin;
  attachedSince_ = TimeOfDay();
  changed_ = true;
}

void NotifyIcon::SetDetached() {
  std::lock_guard hold(lock_);
  attachedOrigin_.clear();
  attachedSince_.clear();
  changed_ = true;
}

void NotifyIcon::CountCall() noexcept {
  ++calls_;
  changed_ = true;
}

void NotifyIcon::SetLastError(const std::string& text) {
  std::lock_guard hold(lock_);
  lastError_ = text;
  changed_ = true;
}

std::wstring NotifyIcon::StateText() const {
  std::lock_guard hold(lock_);
  std::wstring text = port_ == 0 ? L"Not listening" : L"Listening on 127.0.0.1:" + std::to_wstring(port_);
  text += attachedOrigin_.empty() ? L"\nNo page attached"
                                  : L"\nPage attached from " + FromUtf8(attachedOrigin_) + L" since " + attachedSince_;
  text += L"\nCalls served: " + std::to_wstring(calls_.load());
  if (!lastError_.empty()) text += L"\nLast error: " + FromUtf8(lastError_);
  return text;
}

}  // namespace vaduna::connector::desktop
