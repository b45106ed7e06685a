// What a page's link asks of the process: to be attached to the server, and
// to be detached from it once the link ends. Both only queue the work: COM
// calls into the server never run on the I/O thread.
#pragma once

#include <memory>

namespace vaduna::connector {

class PageLink;

class PageSite {
 public:
  // The page said hello: attach its application object (replacing any attached page).
  virtual void AttachRequested(std::shared_ptr<PageLink> link) noexcept = 0;
  // The link ended (for whatever reason): detach it if it is attached, and cut its objects' remote references.
  virtual void PageEnded(std::shared_ptr<PageLink> link) noexcept = 0;

 protected:
  ~PageSite() = default;
};

}  // namespace vaduna::connector
