#include "base/pointer_guard.h"
#include "hosting/aggregatable_object.h"

namespace vaduna {
namespace {

// The same four entries for every class; IUnknown is answered by the first.
constexpr InterfaceEntry kInterfaceTable[] = {
    {nullptr, InterfaceSlot::Dual},  // the class's own dual interface, filled per object
    {&IID_IDispatch, InterfaceSlot::Dual},
    {&IID_ISupportErrorInfo, InterfaceSlot::SupportErrorInfo},
    {&IID_IServerObject, InterfaceSlot::ServerObject},
    {nullptr, InterfaceSlot::Dual},
};
constexpr size_t kEntryCount = sizeof(kInterfaceTable) / sizeof(kInterfaceTable[0]) - 1;

}  // namespace

AggregatableObject::AggregatableObject(IUnknown* outer, ServerModule& module) noexcept : outer_(outer), module_(module) {
  module_.Lock();
}

HRESULT AggregatableObject::InnerQueryInterface(REFIID iid, void** out) noexcept {
  VADUNA_RETURN_IF_NULL(out);
  *out = nullptr;

  auto pointerFor = [this](InterfaceSlot slot) -> IUnknown* {
    switch (slot) {
      case InterfaceSlot::ServerObject:
        return static_cast<IServerObject*>(this);
      case InterfaceSlot::SupportErrorInfo:
        return static_cast<ISupportErrorInfo*>(this);
      case InterfaceSlot::Dual:
        break;
    }
    return DualPointer();
  };

  IUnknown* found = nullptr;
  if (::IsEqualGUID(iid, IID_IUnknown) || ::IsEqualGUID(iid, DualIid())) {
    found = pointerFor(kInterfaceTable[0].slot);
  } else {
    for (size_t i = 1; i < kEntryCount; ++i) {
      if (::IsEqualGUID(iid, *kInterfaceTable[i].iid)) {
        found = pointerFor(kInterfaceTable[i].slot);
        break;
      }
    }
  }
  if (found == nullptr) return E_NOINTERFACE;
  found->AddRef();
  *out = found;
  return S_OK;
}

ULONG AggregatableObject::CountedAddRef() noexcept { return static_cast<ULONG>(++refCount_); }

ULONG AggregatableObject::CountedRelease() noexcept {
  const LONG count = --refCount_;
  if (count == 0) DestroyPlain();
  return static_cast<ULONG>(count);
}

void AggregatableObject::DestroyPlain() noexcept {
  refCount_ = kDestructionGuard;
  // Counted in before the lock goes back: the idle monitor never takes a
  // clean-up still under way for an idle server.
  CleanUpInFlight inFlight(module_);
  module_.Unlock();
  CleanUp();
  delete this;
}

void AggregatableObject::DestroyContained() noexcept {
  module_.Unlock();
  CleanUp();
}

}  // namespace vaduna
