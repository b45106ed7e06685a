// Registration of the rows of a class table, their categories, and the type
// library.
#include <windows.h>
#include <objbase.h>

#include "registration/module_registration.h"
#include "base/hresult.h"

namespace vaduna {
namespace {

bool Selected(const ClassEntry& row, const CLSID* onlyClass) noexcept {
  return onlyClass == nullptr || ::IsEqualCLSID(*row.clsid, *onlyClass);
}

const CategoryEntry* CategoriesOf(const ClassEntry& row) noexcept {
  return row.categoryMap != nullptr ? row.categoryMap() : nullptr;
}

HMODULE Executable() noexcept { return ::GetModuleHandleW(nullptr); }

}  // namespace

HRESULT RegisterAll(const ClassEntry* table, bool withTypeLibrary, const CLSID* onlyClass) noexcept {
  for (const ClassEntry* row = table; row != nullptr && row->clsid != nullptr; ++row) {
    if (!Selected(*row, onlyClass)) continue;
    VADUNA_RETURN_IF_FAILED(row->registryFunction(true));
    VADUNA_RETURN_IF_FAILED(UpdateClassCategories(*row->clsid, CategoriesOf(*row), true));
  }
  return withTypeLibrary ? InstallTypeLibrary(Executable()) : S_OK;
}

HRESULT UnregisterAll(const ClassEntry* table, bool withTypeLibrary, const CLSID* onlyClass) noexcept {
  for (const ClassEntry* row = table; row != nullptr && row->clsid != nullptr; ++row) {
    if (!Selected(*row, onlyClass)) continue;
    // Categories first: the class script then finds its CLSID key without
    // category subkeys and can delete it.
    VADUNA_RETURN_IF_FAILED(UpdateClassCategories(*row->clsid, CategoriesOf(*row), false));
    VADUNA_RETURN_IF_FAILED(row->registryFunction(false));
  }
  return withTypeLibrary ? RemoveTypeLibrary(Executable()) : S_OK;
}

}  // namespace vaduna
