#include "server/connector_report.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "base/unique_resource.h"
#include "interface/connector_instance_record.h"
#include "vaduna_contract.h"

namespace vaduna {
namespace {

void UnmapRecord(const InstanceRecordLayout* view) noexcept { ::UnmapViewOfFile(view); }
using RecordView = UniqueResource<const InstanceRecordLayout*, &UnmapRecord>;

// A string value of key\name, or empty.
std::wstring ReadString(HKEY root, const std::wstring& key, const wchar_t* name) {
  DWORD bytes = 0;
  if (::RegGetValueW(root, key.c_str(), name, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) != ERROR_SUCCESS) return {};
  std::wstring value(bytes / sizeof(wchar_t), L'\0');
  if (::RegGetValueW(root, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value.data(), &bytes) != ERROR_SUCCESS) {
    return {};
  }
  value.resize(bytes / sizeof(wchar_t));
  while (!value.empty() && value.back() == L'\0') value.pop_back();
  return value;
}

unsigned short ReportRunning(std::wstring& out) {
  out += L"  connector of this session: ";
  const UniqueHandle mapping(::OpenFileMappingW(FILE_MAP_READ, FALSE, contract::kInstanceRecord));
  const RecordView record(mapping ? static_cast<const InstanceRecordLayout*>(::MapViewOfFile(
                                        mapping.get(), FILE_MAP_READ, 0, 0, sizeof(InstanceRecordLayout)))
                                  : nullptr);
  if (!record || record.get()->size < sizeof(InstanceRecordLayout) ||
      record.get()->state == InstanceRecordLayout::kNone) {
    out += L"none running\r\n";
    return 0;
  }
  const InstanceRecordLayout& running = *record.get();
  out += L"process " + std::to_wstring(running.processId);
  if (running.state != InstanceRecordLayout::kListening) {
    out += L", starting\r\n";
    return 0;
  }
  out += L", port " + std::to_wstring(running.port);
  const std::wstring logFile(running.logFile, wcsnlen(running.logFile, MAX_PATH));
  out += logFile.empty() ? L", logging to its console" : L", log " + logFile;
  out += L"\r\n";
  return running.port;
}

void ReportSites(std::wstring& out) {
  const std::wstring settings = contract::kSettingsKey;
  for (const auto& [root, whose] : {std::pair{HKEY_LOCAL_MACHINE, L"machine-wide"}, std::pair{HKEY_CURRENT_USER,
                                                                                            L"this user's"}}) {
    const std::wstring origins = ReadString(root, settings, L"AllowedOrigins");
    out += L"  sites the administrator allowed (" + std::wstring(whose) + L" installation): ";
    out += origins.empty() ? L"none" : origins;
    out += L"\r\n";
  }

  out += L"  sites this user answered: ";
  UniqueHkey sites;
  const std::wstring sitesPath = settings + L"\\" + contract::kSitesSubkey;
  std::wstring listed;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, sitesPath.c_str(), 0, KEY_QUERY_VALUE, sites.put()) == ERROR_SUCCESS) {
    std::vector<wchar_t> name(16384);
    for (DWORD index = 0;; ++index) {
      DWORD length = static_cast<DWORD>(name.size());
      if (::RegEnumValueW(sites.get(), index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS) {
        break;
      }
      const std::wstring origin(name.data(), length);
      const std::wstring answer = ReadString(HKEY_CURRENT_USER, sitesPath, origin.c_str());
      listed += (listed.empty() ? L"" : L", ") + origin + L" (" + (answer.empty() ? L"?" : answer) + L")";
    }
  }
  out += listed.empty() ? L"none" : listed;
  out += L"\r\n";

  DWORD prompt = 1;
  DWORD bytes = sizeof(prompt);
  const bool set = ::RegGetValueW(HKEY_LOCAL_MACHINE, contract::kPolicyKey, contract::kPromptPolicyValue,
                                  RRF_RT_REG_DWORD, nullptr, &prompt, &bytes) == ERROR_SUCCESS;
  out += L"  asking the user about a new site: ";
  out += set && prompt == 0 ? L"turned off by the machine policy (only the administrator's sites attach)"
                            : L"allowed";
  out += L"\r\n";
}

void CloseSocketHandle(SOCKET socket) noexcept { ::closesocket(socket); }
using UniqueSocket = UniqueResource<SOCKET, &CloseSocketHandle, INVALID_SOCKET>;

constexpr DWORD kAnswerWaitMs = 1500;

// The answer of 127.0.0.1:port to GET /status, or nothing when no one listens.
std::optional<std::string> AskStatus(unsigned short port) {
  const UniqueSocket socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!socket) return std::nullopt;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const DWORD timeout = kAnswerWaitMs;
  ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
  if (::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return std::nullopt;
  // The connector answers only requests for its own host and port.
  const std::string request =
      "GET /status HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
  ::send(socket.get(), request.data(), static_cast<int>(request.size()), 0);
  std::string answer;
  char buffer[1024];
  for (int got; (got = ::recv(socket.get(), buffer, sizeof(buffer), 0)) > 0 && answer.size() < 16384;) {
    answer.append(buffer, static_cast<size_t>(got));
  }
  return answer;
}

std::wstring Describe(const PortAnswer& answer) {
  switch (answer.owner) {
    case PortOwner::kThisUser:
      return answer.attached ? L"this user's connector, a page attached" : L"this user's connector, no page attached";
    case PortOwner::kOtherUser:
      return L"another user's connector";
    case PortOwner::kNotConnector:
      break;
  }
  return L"not a connector (" + answer.detail + L")";
}

}  // namespace

PortAnswer ClassifyStatusAnswer(std::string_view answer) {
  PortAnswer result;
  if (answer.empty()) {
    result.detail = L"no answer";
    return result;
  }
  if (answer.substr(0, 5) != "HTTP/" || answer.find(' ') == std::string_view::npos) {
    result.detail = L"no HTTP answer";
    return result;
  }
  const std::string_view code = answer.substr(answer.find(' ') + 1, 3);
  result.detail = L"HTTP " + std::wstring(code.begin(), code.end());
  const size_t bodyAt = answer.find("\r\n\r\n");
  if (bodyAt == std::string_view::npos) return result;
  // The body's names and values have no blanks: without them, one spelling.
  std::string body(answer.substr(bodyAt + 4));
  std::erase_if(body, [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
  const std::string service = std::string("\"service\":\"") + contract::kStatusService + "\"";
  if (body.find(service) == std::string::npos) return result;
  if (code == "403" && body.find("\"refused\":\"other-user\"") != std::string::npos) {
    result.owner = PortOwner::kOtherUser;
  } else if (code == "200" && body.find("\"protocol\":") != std::string::npos) {
    result.owner = PortOwner::kThisUser;
    result.attached = body.find("\"attached\":true") != std::string::npos;
  }
  return result;
}

void ReportConnectorPorts(std::wstring& out, unsigned short published) {
  const unsigned first = contract::kConnectorDefaultPort;
  const unsigned last = first + contract::kConnectorPortCount - 1;
  std::vector<unsigned short> ports;
  for (unsigned port = first; port <= last; ++port) ports.push_back(static_cast<unsigned short>(port));
  if (published != 0 && (published < first || published > last)) ports.push_back(published);

  WSADATA data;
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    out += L"  connector ports: unknown (no network stack)\r\n";
    return;
  }
  out += L"  connector ports " + std::to_wstring(first) + L"-" + std::to_wstring(last) + L" on 127.0.0.1:";
  size_t answered = 0;
  for (const unsigned short port : ports) {
    const std::optional<std::string> answer = AskStatus(port);
    if (!answer) continue;
    out += (answered++ == 0 ? L"\r\n" : L"") + std::wstring(L"    ") + std::to_wstring(port) + L": " +
           Describe(ClassifyStatusAnswer(*answer)) + L"\r\n";
  }
  if (answered == 0) out += L" nothing listens\r\n";
  else if (answered < ports.size()) out += L"    nothing listens on the others\r\n";
  ::WSACleanup();
}

unsigned short ReportDesktopConnector(std::wstring& out) {
  const unsigned short port = ReportRunning(out);
  ReportSites(out);
  return port;
}

}  // namespace vaduna
