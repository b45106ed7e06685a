#include "hosting/class_factory.h"

#include <new>

#include "base/hresult.h"
#include "hosting/object_base.h"
#include "hosting/server_module.h"

namespace vaduna {

HRESULT STDMETHODCALLTYPE ClassFactory::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  // One-entry interface table; IUnknown is answered by its first entry.
  if (!::IsEqualGUID(iid, IID_IUnknown) && !::IsEqualGUID(iid, IID_IClassFactory)) return E_NOINTERFACE;
  AddRef();
  *out = static_cast<IClassFactory*>(this);
  return S_OK;
}

ULONG STDMETHODCALLTYPE ClassFactory::AddRef() { return static_cast<ULONG>(++count_); }

ULONG STDMETHODCALLTYPE ClassFactory::Release() {
  const LONG count = --count_;
  if (count == 0) {
    count_ = kDestructionGuard;
    delete this;
  }
  return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE ClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (outer != nullptr && !::IsEqualGUID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  // The call holds a lock of its own while it creates: the idle monitor
  // cannot decide to stop under it, and a call after the decision makes nothing.
  ServerModule& module = Module();
  VADUNA_RETURN_IF_FAILED(module.LockUnlessStopping());
  const HRESULT hr = creator_(outer, iid, out);
  module.Unlock();  // a new object holds its own lock
  return hr;
}

HRESULT STDMETHODCALLTYPE ClassFactory::LockServer(BOOL lock) {
  return lock ? Module().ClientLock() : Module().ClientUnlock();
}

HRESULT CreateClassObject(InstanceCreator creator, REFIID iid, void** out) noexcept {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  auto* factory = new (std::nothrow) ClassFactory(creator);
  if (factory == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = factory->QueryInterface(iid, out);
  if (hr != S_OK) {
    // Never handed out: the count is still 0, and one pair destroys it.
    factory->AddRef();
    factory->Release();
  }
  return hr;
}

}  // namespace vaduna
