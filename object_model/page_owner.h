// The object that attached a page, as the shared attachment sees it: enough
// to unload a page found dead without knowing the application object.
#pragma once

namespace vaduna {

class PageOwner {
 public:
  // A reference for the caller, refused (false) once the owner is being destroyed.
  virtual bool TryHoldPageOwner() noexcept = 0;
  // Gives back the reference TryHoldPageOwner took.
  virtual void ReleasePageOwner() noexcept = 0;
  // The page this owner attached is gone: OnUnload on its behalf, and the
  // dead page's remote references to the owner cut off.
  virtual void UnloadDeadPage() noexcept = 0;

 protected:
  ~PageOwner() = default;
};

}  // namespace vaduna
