// Which sites may attach pages: the administrator's origins (--allow-origin,
// the packages' ALLOWED_ORIGINS), the user's remembered answers (one value
// per origin under HKCU\<settings key>\<sites subkey>, "allow" or "deny"),
// and the machine policy (HKLM\<policy key>, the DWORD value named by
// contract::kPromptPolicyValue: 0 turns the dialog off). Only origins that
// MayBeOffered are ever put to the user; any other one that the
// administrator did not give is refused.
//
// Every decision reads the registry again, so an answer forgotten from the
// command line or a policy set by the administrator counts for the next page.
// Safe from any thread.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace vaduna::connector::desktop {

enum class SiteDecision {
  kAllowedByAdministrator,  // attach
  kAllowedByUser,           // attach: a remembered Allow
  kDeniedByUser,            // refuse as the user's answer (consent-denied): a remembered Deny
  kAsk,                     // put the question to the user
  kRefuse,                  // refuse as today (origin-refused), without a dialog
};

// https origins, and http ones of the loopback's own names (127.0.0.1,
// localhost, [::1]), written exactly as browsers send them (lower case, no
// default port); at most kMaxOfferedOriginLength characters.
bool MayBeOffered(std::string_view origin);

struct RememberedSite {
  std::string origin;
  bool allowed = false;
};

// Where a SiteStore reads the user's answers and the machine policy; tests give keys of their own.
struct SiteRoots {
  HKEY user = HKEY_CURRENT_USER;
  HKEY machine = HKEY_LOCAL_MACHINE;
};

class SiteStore {
 public:
  explicit SiteStore(std::vector<std::string> administratorOrigins, SiteRoots roots = {});

  // With the dialog turned off by policy, the user's remembered answers count
  // no more either: only the administrator's origins attach.
  SiteDecision Decide(std::string_view origin) const;

  // False when the machine policy turns the dialog off.
  bool PromptsAllowed() const;

  // Keeps the user's answer for origin. E_INVALIDARG for an origin that is never offered.
  HRESULT Remember(std::string_view origin, bool allowed);
  // S_OK when an answer was forgotten (allowed: whether it was Allow), S_FALSE when none was kept.
  HRESULT Forget(std::string_view origin, bool* allowed = nullptr);
  // Forgets every remembered answer (uninstalling does). S_FALSE when none was kept.
  HRESULT ForgetAll();
  // The remembered answers, by origin.
  std::vector<RememberedSite> List() const;

  const std::vector<std::string>& administratorOrigins() const noexcept { return administratorOrigins_; }

 private:
  const std::vector<std::string> administratorOrigins_;
  const SiteRoots roots_;
};

}  // namespace vaduna::connector::desktop
