#include "registration/classes_root_override.h"

#include "base/hresult.h"

#include <atomic>

namespace vaduna {
namespace {
std::atomic<bool> g_active{false};
}  // namespace

bool ClassesRootOverride::Active() noexcept { return g_active.load(); }

HRESULT ClassesRootOverride::RedirectToCurrentUser() noexcept {
  LONG status = ::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, userClasses_.put(), nullptr);
  if (status != ERROR_SUCCESS) return HresultFromStatus(status);
  status = ::RegOverridePredefKey(HKEY_CLASSES_ROOT, userClasses_.get());
  if (status != ERROR_SUCCESS) return HresultFromStatus(status);
  active_ = true;
  g_active.store(true);
  return S_OK;
}

ClassesRootOverride::~ClassesRootOverride() {
  if (!active_) return;
  g_active.store(false);
  ::RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
}

}  // namespace vaduna
