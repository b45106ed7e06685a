// Finds a dialog by its title and answers it, for tests that need a user:
//
//   vaduna_window_driver --title TEXT [--wait-ms N] [--toggle ID] [--press ID]
//
// Waits up to N ms (default 10000) for a visible top-level window titled
// exactly TEXT, then prints one JSON object on standard output: how many such
// windows there are, and each child control's id, kind ("static", "check",
// "button" or "other"), text, and for a check box whether it is checked.
// --toggle clicks the check box ID first (the printed state is from before),
// --press then clicks the button ID (BM_CLICK). Exit code 0 when the window
// was found (and the clicks were sent), 1 when it was not (the JSON then says
// "found": false), 2 for a wrong command line.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

namespace {

// How long a message to the dialog may take: a dialog that hangs must not hang its test.
constexpr UINT kSendTimeoutMs = 5000;

struct Control {
  int id = 0;
  std::wstring kind;
  std::wstring text;
  std::optional<bool> checked;
};

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                          nullptr, nullptr);
  std::string out(bytes, '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), bytes, nullptr, nullptr);
  return out;
}

std::string Json(const std::wstring& text) {
  std::string out = "\"";
  for (const char c : Utf8(text)) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

LRESULT Send(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
  DWORD_PTR result = 0;
  ::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result);
  return static_cast<LRESULT>(result);
}

std::wstring TextOf(HWND window) {
  std::wstring text(static_cast<std::size_t>(Send(window, WM_GETTEXTLENGTH)) + 1, L'\0');
  const LRESULT length = Send(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

struct Search {
  const wchar_t* title;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM context) {
  auto& search = *reinterpret_cast<Search*>(context);
  wchar_t text[512] = {};
  ::GetWindowTextW(window, text, 512);
  if (::IsWindowVisible(window) && std::wcscmp(text, search.title) == 0) search.found.push_back(window);
  return TRUE;
}

BOOL CALLBACK CollectControl(HWND window, LPARAM context) {
  auto& controls = *reinterpret_cast<std::vector<Control>*>(context);
  wchar_t className[64] = {};
  ::GetClassNameW(window, className, 64);
  Control control;
  control.id = ::GetDlgCtrlID(window);
  control.text = TextOf(window);
  const LONG_PTR type = ::GetWindowLongPtrW(window, GWL_STYLE) & BS_TYPEMASK;
  if (_wcsicmp(className, L"Static") == 0) {
    control.kind = L"static";
  } else if (_wcsicmp(className, L"Button") != 0) {
    control.kind = L"other";
  } else if (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_3STATE || type == BS_AUTO3STATE) {
    control.kind = L"check";
    control.checked = Send(window, BM_GETCHECK) == BST_CHECKED;
  } else {
    control.kind = L"button";
  }
  controls.push_back(std::move(control));
  return TRUE;
}

bool Click(HWND dialog, int id) {
  const HWND control = ::GetDlgItem(dialog, id);
  if (control == nullptr) return false;
  Send(control, BM_CLICK);
  return true;
}

int Usage(const char* why) {
  std::fprintf(stderr,
               "vaduna_window_driver: %s\n"
               "usage: vaduna_window_driver --title TEXT [--wait-ms N] [--toggle ID] [--press ID]\n",
               why);
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const wchar_t* title = nullptr;
  unsigned long waitMs = 10000;
  std::optional<int> toggle;
  std::optional<int> press;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (i + 1 >= argc) return Usage("every option takes a value");
    const wchar_t* value = argv[++i];
    if (arg == L"--title") {
      title = value;
    } else if (arg == L"--wait-ms") {
      waitMs = std::wcstoul(value, nullptr, 10);
    } else if (arg == L"--toggle") {
      toggle = static_cast<int>(std::wcstol(value, nullptr, 10));
    } else if (arg == L"--press") {
      press = static_cast<int>(std::wcstol(value, nullptr, 10));
    } else {
      return Usage("unknown option");
    }
  }
  if (title == nullptr) return Usage("--title is needed");

  Search search{title, {}};
  const ULONGLONG deadline = ::GetTickCount64() + waitMs;
  for (;;) {
    search.found.clear();
    ::EnumWindows(&CollectWindow, reinterpret_cast<LPARAM>(&search));
    if (!search.found.empty() || ::GetTickCount64() >= deadline) break;
    ::Sleep(50);
  }
  if (search.found.empty()) {
    std::printf("{\"found\":false,\"count\":0}\n");
    return 1;
  }
  const HWND dialog = search.found.front();
  std::vector<Control> controls;
  ::EnumChildWindows(dialog, &CollectControl, reinterpret_cast<LPARAM>(&controls));
  std::string json = "{\"found\":true,\"count\":" + std::to_string(search.found.size()) + ",\"controls\":[";
  for (std::size_t i = 0; i < controls.size(); ++i) {
    const Control& control = controls[i];
    json += (i == 0 ? "" : ",") + std::string("{\"id\":") + std::to_string(control.id) + ",\"kind\":" +
            Json(control.kind) + ",\"text\":" + Json(control.text);
    if (control.checked) json += std::string(",\"checked\":") + (*control.checked ? "true" : "false");
    json += "}";
  }
  json += "]}";
  std::printf("%s\n", json.c_str());
  std::fflush(stdout);
  if (toggle && !Click(dialog, *toggle)) return 1;
  if (press && !Click(dialog, *press)) return 1;
  return 0;
}
