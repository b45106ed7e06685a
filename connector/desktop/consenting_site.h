// The site pages attach through on a desktop: before a page's application
// object goes to the server, its origin must be the administrator's, or one
// the user allowed, or the user is asked now (the page is told
// `consent-pending` meanwhile). A Deny ends the page's link with the error
// code `consent-denied`; no answer within the page's consent time-out ends it
// with `timeout`; an origin that may not be asked ends it with
// `origin-refused`.
#pragma once

#include <memory>
#include <string>

#include "connector/log.h"
#include "connector/page_site.h"

namespace vaduna::connector::desktop {

class ConsentPrompt;
class SiteStore;

class ConsentingSite final : public PageSite {
 public:
  // prompt null: nobody can be asked (origins not yet allowed are refused).
  ConsentingSite(PageSite& attachment, SiteStore& sites, ConsentPrompt* prompt, Log& log);

  void AttachRequested(std::shared_ptr<PageLink> link) noexcept override;
  void PageEnded(std::shared_ptr<PageLink> link) noexcept override;

 private:
  void Ask(const std::shared_ptr<PageLink>& link);
  void Attach(const std::shared_ptr<PageLink>& link) noexcept;

  PageSite& attachment_;
  SiteStore& sites_;
  ConsentPrompt* const prompt_;
  Log& log_;
};

}  // namespace vaduna::connector::desktop
