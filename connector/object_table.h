// The COM objects of one page, by page object id. One COM object per id while
// it has references, so the same page object always comes back as the same
// COM object (COM identity: the server compares IUnknown pointers). Each
// reference received for an id counts on that id's COM object; when its last
// reference goes, the count is what the release message tells the page.
//
// A reference that arrives while the id's COM object is losing its last
// reference gets a new COM object with a count of its own: the old one's
// release then carries only its own count, and nothing is lost on the page.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "connector/page_object.h"

namespace vaduna::connector {

class ObjectTable {
 public:
  // The COM object for id with one new reference for the caller, counting one received reference.
  // RPC_E_DISCONNECTED once the table is closed; E_OUTOFMEMORY.
  HRESULT Receive(const std::shared_ptr<PageObjectOwner>& owner, std::uint64_t id, PageObject** object) noexcept;

  // The id of a live COM object of this table; nothing for any other object.
  std::optional<std::uint64_t> IdOf(const PageObject& object) const noexcept;

  // For an object whose last reference went: forgets it and answers the count its release message
  // carries, or nothing when the table is closed (the page is gone: nothing more is sent).
  std::optional<std::uint64_t> Forget(PageObject& object) noexcept;

  // The page is gone: no object is made any more and no release is sent.
  void Close() noexcept;
  bool closed() const noexcept;

  // The live objects, one reference each, for the caller to disconnect from their remote clients.
  std::vector<Microsoft::WRL::ComPtr<PageObject>> Live() const;

  std::size_t size() const noexcept;

 private:
  mutable SRWLOCK lock_ = SRWLOCK_INIT;
  std::map<std::uint64_t, PageObject*> objects_;  // no reference held: an entry goes with its object
  bool closed_ = false;
};

}  // namespace vaduna::connector
