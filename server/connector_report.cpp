#include "server/connector_report.h"

#include <windows.h>

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

}  // namespace

unsigned short ReportDesktopConnector(std::wstring& out) {
  const unsigned short port = ReportRunning(out);
  ReportSites(out);
  return port;
}

}  // namespace vaduna
