// Registration of the server's own class table, as installed in Module().
#include "registration/module_registration.h"
#include "server_host/server_module.h"

namespace vaduna {

HRESULT RegisterAll(bool withTypeLibrary, const CLSID* onlyClass) noexcept {
  return RegisterAll(Module().ClassTable(), withTypeLibrary, onlyClass);
}

HRESULT UnregisterAll(bool withTypeLibrary, const CLSID* onlyClass) noexcept {
  return UnregisterAll(Module().ClassTable(), withTypeLibrary, onlyClass);
}

}  // namespace vaduna
