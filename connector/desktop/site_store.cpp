#include "connector/desktop/site_store.h"

#include <algorithm>

#include "base/hresult.h"
#include "base/unique_resource.h"
#include "connector/desktop/desktop_limits.h"
#include "connector/options.h"
#include "connector/utf.h"
#include "vaduna_contract.h"

namespace vaduna::connector::desktop {

namespace {

constexpr wchar_t kAllowData[] = L"allow";
constexpr wchar_t kDenyData[] = L"deny";

std::wstring SitesPath() { return std::wstring(contract::kSettingsKey) + L"\\" + contract::kSitesSubkey; }

enum class Answer { kNone, kAllow, kDeny };

Answer ReadAnswer(HKEY sites, const std::wstring& origin) {
  wchar_t data[8] = {};
  DWORD type = 0;
  DWORD bytes = sizeof data - sizeof(wchar_t);
  if (::RegQueryValueExW(sites, origin.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data), &bytes) !=
          ERROR_SUCCESS ||
      type != REG_SZ) {
    return Answer::kNone;
  }
  const std::wstring_view text(data, wcsnlen(data, bytes / sizeof(wchar_t)));
  if (text == kAllowData) return Answer::kAllow;
  if (text == kDenyData) return Answer::kDeny;
  return Answer::kNone;  // not ours: neither answer
}

}  // namespace

bool MayBeOffered(std::string_view origin) {
  if (origin.size() > kMaxOfferedOriginLength) return false;
  const std::optional<std::string> normal = NormaliseOrigin(origin);
  if (!normal || *normal != origin) return false;
  if (origin.starts_with("https://")) return true;
  std::string_view host = origin.substr(std::string_view("http://").size());
  if (host.starts_with("[")) {
    host = host.substr(0, host.find(']') + 1);
  } else {
    host = host.substr(0, host.find(':'));
  }
  return host == "127.0.0.1" || host == "localhost" || host == "[::1]";
}

SiteStore::SiteStore(std::vector<std::string> administratorOrigins, SiteRoots roots)
    : administratorOrigins_(std::move(administratorOrigins)), roots_(roots) {}

bool SiteStore::PromptsAllowed() const {
  UniqueHkey policy;
  if (::RegOpenKeyExW(roots_.machine, contract::kPolicyKey, 0, KEY_QUERY_VALUE, policy.put()) != ERROR_SUCCESS) {
    return true;
  }
  DWORD value = 1;
  DWORD type = 0;
  DWORD bytes = sizeof value;
  if (::RegQueryValueExW(policy.get(), contract::kPromptPolicyValue, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                         &bytes) != ERROR_SUCCESS ||
      type != REG_DWORD) {
    return true;
  }
  return value != 0;
}

SiteDecision SiteStore::Decide(std::string_view origin) const {
  if (std::find(administratorOrigins_.begin(), administratorOrigins_.end(), origin) != administratorOrigins_.end()) {
    return SiteDecision::kAllowedByAdministrator;
  }
  if (!MayBeOffered(origin) || !PromptsAllowed()) return SiteDecision::kRefuse;
  UniqueHkey sites;
  if (::RegOpenKeyExW(roots_.user, SitesPath().c_str(), 0, KEY_QUERY_VALUE, sites.put()) != ERROR_SUCCESS) {
    return SiteDecision::kAsk;
  }
  switch (ReadAnswer(sites.get(), FromUtf8(origin))) {
    case Answer::kAllow:
      return SiteDecision::kAllowedByUser;
    case Answer::kDeny:
      return SiteDecision::kDeniedByUser;
    case Answer::kNone:
      break;
  }
  return SiteDecision::kAsk;
}

HRESULT SiteStore::Remember(std::string_view origin, bool allowed) {
  if (!MayBeOffered(origin)) return E_INVALIDARG;
  UniqueHkey sites;
  VADUNA_RETURN_IF_FAILED(HresultFromStatus(::RegCreateKeyExW(roots_.user, SitesPath().c_str(), 0, nullptr,
                                                              REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                                                              sites.put(), nullptr)));
  const std::wstring_view data = allowed ? kAllowData : kDenyData;
  return HresultFromStatus(::RegSetValueExW(sites.get(), FromUtf8(origin).c_str(), 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(data.data()),
                                            static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))));
}

HRESULT SiteStore::Forget(std::string_view origin, bool* allowed) {
  UniqueHkey sites;
  const LONG opened =
      ::RegOpenKeyExW(roots_.user, SitesPath().c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, sites.put());
  if (opened == ERROR_FILE_NOT_FOUND) return S_FALSE;
  VADUNA_RETURN_IF_FAILED(HresultFromStatus(opened));
  const std::wstring name = FromUtf8(origin);
  const Answer answer = ReadAnswer(sites.get(), name);
  const LONG deleted = ::RegDeleteValueW(sites.get(), name.c_str());
  if (deleted == ERROR_FILE_NOT_FOUND) return S_FALSE;
  VADUNA_RETURN_IF_FAILED(HresultFromStatus(deleted));
  if (allowed != nullptr) *allowed = answer == Answer::kAllow;
  return S_OK;
}

namespace {

// Deletes path below root when it holds neither values nor keys.
void DeleteIfEmpty(HKEY root, const std::wstring& path) {
  UniqueHkey key;
  if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return;
  DWORD keys = 0;
  DWORD values = 0;
  if (::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &keys, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS ||
      keys != 0 || values != 0) {
    return;
  }
  key.reset();
  ::RegDeleteKeyW(root, path.c_str());
}

}  // namespace

HRESULT SiteStore::ForgetAll() {
  const LONG deleted = ::RegDeleteTreeW(roots_.user, SitesPath().c_str());
  // What uninstalling leaves of the settings key once the sites are gone goes too, when nothing else is in it.
  const std::wstring settings = contract::kSettingsKey;
  DeleteIfEmpty(roots_.user, settings);
  const std::size_t vendor = settings.rfind(L'\\');
  if (vendor != std::wstring::npos) DeleteIfEmpty(roots_.user, settings.substr(0, vendor));
  if (deleted == ERROR_FILE_NOT_FOUND) return S_FALSE;
  return HresultFromStatus(deleted);
}

std::vector<RememberedSite> SiteStore::List() const {
  std::vector<RememberedSite> sites;
  UniqueHkey key;
  if (::RegOpenKeyExW(roots_.user, SitesPath().c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
    return sites;
  }
  DWORD longestName = 0;
  if (::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longestName,
                         nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    return sites;
  }
  std::wstring name(longestName + 1, L'\0');
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(name.size());
    const LONG status = ::RegEnumValueW(key.get(), index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) continue;  // a value added meanwhile with a longer name
    const std::wstring origin(name.data(), length);
    const Answer answer = ReadAnswer(key.get(), origin);
    std::string text = ToUtf8(origin);
    if (answer == Answer::kNone || !MayBeOffered(text)) continue;  // not one of ours
    sites.push_back({std::move(text), answer == Answer::kAllow});
  }
  std::sort(sites.begin(), sites.end(),
            [](const RememberedSite& a, const RememberedSite& b) { return a.origin < b.origin; });
  return sites;
}

}  // namespace vaduna::connector::desktop
