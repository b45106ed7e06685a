#include "hosting/class_factory.h"

#include <new>

#include "base/hresult.h"
#include "base/scope_exit.h"
#include "hosting/aggregatable_object.h"
#include "hosting/server_module.h"

namespace vaduna {

HRESULT STDMETHODCALLTYPE ClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
  VADUNA_RETURN_IF_NULL(out);
  *out = nullptr;
  if (outer != nullptr && !::IsEqualGUID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  // The call holds a lock of its own while it creates: the idle monitor
  // cannot decide to stop under it, and a call after the decision makes nothing.
  ServerModule& module = Module();
  VADUNA_RETURN_IF_FAILED(module.LockUnlessStopping());
  const ScopeExit unlock([&module] { module.Unlock(); });  // a new object holds its own lock
  return creator_(outer, iid, out);
}

HRESULT STDMETHODCALLTYPE ClassFactory::LockServer(BOOL lock) {
  return lock ? Module().ClientLock() : Module().ClientUnlock();
}

HRESULT CreateClassObject(InstanceCreator creator, REFIID iid, void** out) noexcept {
  VADUNA_RETURN_IF_NULL(out);
  *out = nullptr;
  const Microsoft::WRL::ComPtr<ClassFactory> factory = MakeObject<ClassFactory>(creator);
  if (!factory) return E_OUTOFMEMORY;
  return factory->QueryInterface(iid, out);  // a factory not handed out goes with ours
}

}  // namespace vaduna
