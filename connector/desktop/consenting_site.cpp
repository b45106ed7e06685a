#include "connector/desktop/consenting_site.h"

#include "connector/desktop/consent_prompt.h"
#include "connector/desktop/desktop_limits.h"
#include "connector/desktop/site_store.h"
#include "connector/page_link.h"

namespace vaduna::connector::desktop {
namespace {

// The page library's error codes.
constexpr const char* kDenied = "consent-denied";
constexpr const char* kRefused = "origin-refused";
constexpr const char* kTimedOut = "timeout";

void Refuse(PageLink& link, const std::string& message, const char* code) noexcept {
  link.Fail(message, CloseCode::kPolicy, code);
}

}  // namespace

ConsentingSite::ConsentingSite(PageSite& attachment, SiteStore& sites, ConsentPrompt* prompt, Log& log)
    : attachment_(attachment), sites_(sites), prompt_(prompt), log_(log) {}

void ConsentingSite::AttachRequested(std::shared_ptr<PageLink> link) noexcept {
  const std::string& origin = link->origin();
  SiteDecision decision = SiteDecision::kRefuse;
  try {
    decision = sites_.Decide(origin);
  } catch (...) {
    // Undecidable: refused.
  }
  switch (decision) {
    case SiteDecision::kAllowedByAdministrator:
    case SiteDecision::kAllowedByUser:
      Attach(link);
      return;
    case SiteDecision::kDeniedByUser:
      log_.Write("site_denied", {.page = link->number(), .origin = origin});
      Refuse(*link, "The desktop user denied this site", kDenied);
      return;
    case SiteDecision::kAsk:
      if (prompt_ != nullptr) {
        try {
          Ask(link);
          return;
        } catch (...) {
          break;
        }
      }
      break;
    case SiteDecision::kRefuse:
      break;
  }
  log_.Write("site_refused", {.page = link->number(), .origin = origin});
  Refuse(*link, "This site may not attach", kRefused);
}

void ConsentingSite::Ask(const std::shared_ptr<PageLink>& link) {
  log_.Write("asking_user", {.page = link->number(), .origin = link->origin()});
  link->ReportStatus("consent-pending");
  const std::chrono::milliseconds timeout = link->consentTimeout().value_or(kDefaultConsentTimeout);
  const std::weak_ptr<PageLink> weak = link;
  prompt_->Request(link->origin(), timeout, [this, weak](ConsentOutcome outcome) {
    const std::shared_ptr<PageLink> asking = weak.lock();
    if (!asking || asking->ended()) return;
    switch (outcome) {
      case ConsentOutcome::kAllowed:
        Attach(asking);
        return;
      case ConsentOutcome::kDenied:
        Refuse(*asking, "The desktop user denied this site", kDenied);
        return;
      case ConsentOutcome::kNoAnswer:
        Refuse(*asking, "The desktop user did not answer in time", kTimedOut);
        return;
      case ConsentOutcome::kUnavailable:
        Refuse(*asking, "This site may not attach: the desktop user cannot be asked", kRefused);
        return;
    }
  });
}

void ConsentingSite::Attach(const std::shared_ptr<PageLink>& link) noexcept { attachment_.AttachRequested(link); }

void ConsentingSite::PageEnded(std::shared_ptr<PageLink> link) noexcept { attachment_.PageEnded(std::move(link)); }

}  // namespace vaduna::connector::desktop
