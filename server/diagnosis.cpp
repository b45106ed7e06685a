#include "server/diagnosis.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/hresult.h"
#include "base/platform.h"
#include "base/unique_resource.h"
#include "server/connector_report.h"
#include "vaduna_contract.h"

namespace vaduna {
namespace {

struct ProgIdEntry {
  const wchar_t* progId;
  const wchar_t* role;
};

// Every ProgID the registration writes, the application's first: a client
// starts there, so it decides whether the server can be reached.
constexpr ProgIdEntry kProgIds[] = {
    {contract::kApplicationProgId, L"application"},
    {contract::kApplicationProgIdVersioned, L"application"},
    {contract::kPropertySetProgId, L"property set"},
    {contract::kPropertySetProgIdVersioned, L"property set"},
    {contract::kServiceProgId, L"service"},
    {contract::kServiceProgIdVersioned, L"service"},
};

struct Scope {
  HKEY root;
  const wchar_t* name;
  const wchar_t* path;  // the classes key below root
};

const Scope kScopes[] = {
    {HKEY_LOCAL_MACHINE, L"machine", L"HKEY_LOCAL_MACHINE\\Software\\Classes"},
    {HKEY_CURRENT_USER, L"current user", L"HKEY_CURRENT_USER\\Software\\Classes"},
};

struct View {
  REGSAM flag;
  const wchar_t* name;
};

constexpr View kViews[] = {{KEY_WOW64_64KEY, L"64-bit"}, {KEY_WOW64_32KEY, L"32-bit"}};

// The default value of root\Software\Classes\subkey in view; empty when the
// key or value is absent.
std::wstring ClassesValue(HKEY root, REGSAM view, const std::wstring& subkey) {
  UniqueHkey key;
  const std::wstring path = L"Software\\Classes\\" + subkey;
  if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) return {};
  DWORD type = 0;
  DWORD bytes = 0;
  if (::RegQueryValueExW(key.get(), nullptr, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) return {};
  if ((type != REG_SZ && type != REG_EXPAND_SZ) || bytes == 0) return {};
  std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
  if (::RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &bytes) !=
      ERROR_SUCCESS) {
    return {};
  }
  value.resize(bytes / sizeof(wchar_t));
  while (!value.empty() && value.back() == L'\0') value.pop_back();
  return value;
}

bool FileExists(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The program of a LocalServer32 command line: the quoted part, or the
// whole line (then up to its first blank when that names no file).
std::wstring ServerProgram(const std::wstring& command) {
  if (!command.empty() && command.front() == L'"') {
    const size_t close = command.find(L'"', 1);
    return command.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
  }
  if (FileExists(command)) return command;
  return command.substr(0, command.find(L' '));
}

std::wstring Presence(const std::wstring& path) { return FileExists(path) ? L"file present" : L"FILE MISSING"; }

// One scope and view: a line per ProgID and for the type library. True when
// the application's ProgID leads to an existing server file; *named tells
// whether it leads to a server path at all.
bool ReportRegistration(const Scope& scope, const View& view, std::wstring& out, bool* named) {
  bool applicationFound = false;
  for (const ProgIdEntry& entry : kProgIds) {
    const std::wstring clsid = ClassesValue(scope.root, view.flag, std::wstring(entry.progId) + L"\\CLSID");
    out += L"    ";
    out += entry.progId;
    if (clsid.empty()) {
      out += L": not registered\r\n";
      continue;
    }
    out += L" -> class " + clsid;
    const std::wstring command = ClassesValue(scope.root, view.flag, L"CLSID\\" + clsid + L"\\LocalServer32");
    if (command.empty()) {
      out += L" -> no server path\r\n";
      continue;
    }
    const std::wstring program = ServerProgram(command);
    out += L" -> " + program + L" (" + Presence(program) + L")\r\n";
    if (entry.progId == kProgIds[0].progId) *named = true;
    if (entry.progId == kProgIds[0].progId && FileExists(program)) applicationFound = true;
  }
  for (const wchar_t* platform : {L"win64", L"win32"}) {
    const std::wstring path = ClassesValue(scope.root, view.flag,
                                           std::wstring(L"TypeLib\\") + contract::kLibId + L"\\1.0\\409\\" + platform);
    out += L"    type library ";
    out += contract::kLibId;
    out += L" 1.0 (";
    out += platform;
    out += L"): ";
    out += path.empty() ? L"not registered" : path + L" (" + Presence(path) + L")";
    out += L"\r\n";
  }
  return applicationFound;
}

std::vector<DWORD> ServerProcesses() {
  std::vector<DWORD> found;
  UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot || snapshot.get() == INVALID_HANDLE_VALUE) {
    snapshot.release();
    return found;
  }
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ProcessID != ::GetCurrentProcessId() && ::lstrcmpiW(entry.szExeFile, contract::kServerFile) == 0) {
      found.push_back(entry.th32ProcessID);
    }
  }
  return found;
}

std::wstring EventState() {
  UniqueHandle event(::OpenEventW(SYNCHRONIZE, FALSE, contract::kReadyEventName));
  if (!event) return L"absent (no page has made it)";
  return ::WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0 ? L"exists and is set (a page is ready)"
                                                                  : L"exists, not set (no page is ready)";
}

std::wstring OwnPath() {
  std::wstring path(MAX_PATH, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return path;
}

// Standard output when it is open (a redirection, a terminal under Wine),
// else the console of the process that started this one.
void WriteReport(const std::wstring& report) {
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) {
    if (!::AttachConsole(ATTACH_PARENT_PROCESS)) return;
    out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  }
  DWORD mode = 0;
  if (::GetConsoleMode(out, &mode)) {
    DWORD written = 0;
    ::WriteConsoleW(out, report.data(), static_cast<DWORD>(report.size()), &written, nullptr);
    return;
  }
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, report.data(), static_cast<int>(report.size()), nullptr, 0,
                                          nullptr, nullptr);
  std::string text(static_cast<size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, report.data(), static_cast<int>(report.size()), text.data(), bytes, nullptr,
                        nullptr);
  DWORD written = 0;
  ::WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

Diagnosis Diagnose() {
  Diagnosis result;
  std::wstring& out = result.report;
  const bool wine = RunningUnderWine();
  const std::wstring self = OwnPath();
  out += L"VadunaHTML desktop integration server: what a client finds\r\n";
  out += L"  this program: " + self + L"\r\n";

  bool reachableFor[2] = {false, false};  // 64-bit, 32-bit clients
  bool named = false;                     // some registration names a server path
  for (const Scope& scope : kScopes) {
    // The user's classes count for activation on Windows; Wine reads the
    // machine's only.
    const bool counts = scope.root == HKEY_LOCAL_MACHINE || !wine;
    for (size_t v = 0; v < std::size(kViews); ++v) {
      out += L"\r\nRegistration for the ";
      out += scope.name;
      out += L" (";
      out += scope.path;
      out += L"), ";
      out += kViews[v].name;
      out += L" view";
      out += counts ? L":\r\n" : L" (Wine does not activate from here):\r\n";
      const bool found = ReportRegistration(scope, kViews[v], out, &named);
      if (!found || !counts) continue;
      if (v == 0) {
        // A 32-bit client finds a local server in the 64-bit view too.
        reachableFor[0] = reachableFor[1] = true;
      } else {
        reachableFor[1] = true;
      }
    }
  }

  out += L"\r\nNow:\r\n";
  const std::vector<DWORD> servers = ServerProcesses();
  out += L"  server process: ";
  if (servers.empty()) {
    out += L"not running (a client's first call starts it)";
  } else {
    out += L"running (process id";
    for (DWORD id : servers) out += L" " + std::to_wstring(id);
    out += L")";
  }
  out += L"\r\n  readiness event \"";
  out += contract::kReadyEventName;
  out += L"\": " + EventState() + L"\r\n";
  ReportConnectorPorts(out, ReportDesktopConnector(out));

  result.reachable = reachableFor[0] || reachableFor[1];
  out += L"\r\nVerdict: ";
  if (!result.reachable) {
    out += named ? L"no client can reach the server: the server file that the registration names is missing. "
                   L"Reinstall, or register the server again from where it is now (/RegServer, or "
                   L"/RegServerPerUser).\r\n"
                 : L"no client can reach the server: it is not registered. Register it from where it is installed "
                   L"(/RegServer, or /RegServerPerUser).\r\n";
    return result;
  }
  out += L"clients can reach the server (64-bit clients: ";
  out += reachableFor[0] ? L"yes" : L"no";
  out += L"; 32-bit clients: ";
  out += reachableFor[1] ? L"yes" : L"no";
  out += L").\r\n";
  return result;
}

HRESULT RunDiagnosis() noexcept {
  return HresultBoundary([]() -> HRESULT {
    const Diagnosis diagnosis = Diagnose();
    WriteReport(diagnosis.report);
    return diagnosis.reachable ? S_OK : S_FALSE;
  });
}

}  // namespace vaduna
