// Registration for the current user alone: for the life of an override, this
// process's HKEY_CLASSES_ROOT is the user's classes key
// (HKEY_CURRENT_USER\Software\Classes). Everything a registration run writes
// there (the registry scripts, the component categories, the type library)
// then lands under the user's root, key for key as the machine-wide run
// writes it, and needs no administrator.
#pragma once

#include <windows.h>

#include "base/unique_resource.h"

namespace vaduna {

class ClassesRootOverride {
 public:
  ClassesRootOverride() noexcept = default;
  ClassesRootOverride(const ClassesRootOverride&) = delete;
  ClassesRootOverride& operator=(const ClassesRootOverride&) = delete;
  // Puts HKEY_CLASSES_ROOT back.
  ~ClassesRootOverride();

  // Opens (creating) the user's classes key and redirects HKEY_CLASSES_ROOT
  // to it. The registry's failure as an HRESULT; nothing is redirected then.
  HRESULT RedirectToCurrentUser() noexcept;

  // Whether an override is in force in this process. What does not go
  // through HKEY_CLASSES_ROOT (Wine's component categories manager opens the
  // machine's classes itself) asks this and writes the user's keys directly.
  static bool Active() noexcept;

 private:
  UniqueHkey userClasses_;
  bool active_ = false;
};

}  // namespace vaduna
