// The anatomy shared by the application, service and property set objects:
// IServerObject, ISupportErrorInfo and the class's dual interface, one count,
// an interface table behind QueryInterface, creation alone or inside an
// aggregate, and destruction that gives the server lock back before clean-up.
#pragma once

#include <atomic>
#include <new>
#include <utility>

#include "base/com_object.h"
#include "interface/interfaces.h"
#include "hosting/server_module.h"
#include "hosting/type_info_holder.h"

namespace vaduna {

// Which of an object's interface pointers a table entry hands out.
enum class InterfaceSlot { ServerObject, SupportErrorInfo, Dual };

struct InterfaceEntry {
  const IID* iid;  // null ends the table
  InterfaceSlot slot;
};

class AggregatableObject : public IServerObject, public ISupportErrorInfo {
 public:
  virtual ~AggregatableObject() = default;
  AggregatableObject(const AggregatableObject&) = delete;
  AggregatableObject& operator=(const AggregatableObject&) = delete;

  // The start of the implementing object, not counted.
  void* STDMETHODCALLTYPE GetServerObject() override { return static_cast<AggregatableObject*>(this); }
  static AggregatableObject* FromServerObject(void* start) noexcept { return static_cast<AggregatableObject*>(start); }

  // S_OK for the class's own dual interface, S_FALSE for any other.
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override {
    return ::IsEqualGUID(iid, DualIid()) ? S_OK : S_FALSE;
  }

  // The interface-table lookup, on this object, without forwarding to a
  // controlling object. IUnknown is answered with the first entry.
  HRESULT InnerQueryInterface(REFIID iid, void** out) noexcept;

  // The class's dual interface (interface pointer 3) and its IID.
  virtual IUnknown* DualPointer() noexcept = 0;
  virtual const IID& DualIid() const noexcept = 0;

  // True when this object is the contained part of an aggregate.
  bool IsAggregated() const noexcept { return outer_ != nullptr; }
  // The count of a plain object (the guard value once destruction began).
  // Read by the tests only, which pin the counts the owner rule fixes.
  LONG RefCount() const noexcept { return refCount_.load(); }

  // Destruction of a plain object whose count reached 0: guard, server lock
  // back, clean-up, memory freed; counted as a clean-up in flight throughout.
  void DestroyPlain() noexcept;
  // The same for the contained part of an aggregate, whose memory belongs to
  // the aggregate; the guard goes into the aggregate's own count, and the
  // aggregate counts the clean-up in flight.
  void DestroyContained() noexcept;

  // The module record whose lock this object holds.
  ServerModule& ModuleRecord() const noexcept { return module_; }

 protected:
  // Takes one lock on module, held until destruction. outer is the
  // controlling object of an aggregate, or null for a plain object.
  AggregatableObject(IUnknown* outer, ServerModule& module) noexcept;

  // IUnknown of all three tables: forwarded to the controlling object when
  // aggregated, otherwise the table lookup and this object's own count.
  HRESULT DelegatingQueryInterface(REFIID iid, void** out) noexcept {
    return outer_ ? outer_->QueryInterface(iid, out) : InnerQueryInterface(iid, out);
  }
  ULONG DelegatingAddRef() noexcept { return outer_ ? outer_->AddRef() : CountedAddRef(); }
  ULONG DelegatingRelease() noexcept { return outer_ ? outer_->Release() : CountedRelease(); }

  // The count of a plain object; a class with its own counting rule
  // overrides both. Reaching 0 calls DestroyPlain.
  virtual ULONG CountedAddRef() noexcept;
  virtual ULONG CountedRelease() noexcept;
  // Frees what the object holds; runs after the server lock was given back.
  virtual void CleanUp() noexcept {}

  std::atomic<LONG> refCount_{0};

 private:
  IUnknown* const outer_;
  ServerModule& module_;
};

// Completes Base (an AggregatableObject) with the dual interface Dual: one IUnknown
// for all three tables and the IDispatch half served from Dual's description
// in the type library Library (see TypeInfoFor). The concrete class derives
// from it and implements Dual's own methods.
template <class Base, class Dual, class Library>
class DualObject : public Base, public Dual {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return this->DelegatingQueryInterface(iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return this->DelegatingAddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return this->DelegatingRelease(); }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    return TypeInfoFor<Dual, Library>().GetTypeInfoCount(count);
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override {
    return TypeInfoFor<Dual, Library>().GetTypeInfo(index, locale, info);
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale,
                                          DISPID* ids) override {
    return TypeInfoFor<Dual, Library>().GetIDsOfNames(iid, names, count, locale, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* argError) override {
    return TypeInfoFor<Dual, Library>().Invoke(static_cast<Dual*>(this), id, iid, locale, flags, params, result,
                                      exception, argError);
  }

  IUnknown* DualPointer() noexcept override { return static_cast<Dual*>(this); }
  const IID& DualIid() const noexcept override { return __uuidof(Dual); }

 protected:
  template <class... Args>
  explicit DualObject(IUnknown* outer, Args&&... args) noexcept : Base(outer, std::forward<Args>(args)...) {}
};

// An object of class T inside an aggregate: a non-delegating IUnknown with a
// count of its own, followed by the contained object, whose IUnknown goes to
// the controlling object.
template <class T>
class Aggregated final : public ComObject<IUnknown> {
 public:
  template <class... Args>
  explicit Aggregated(IUnknown* outer, Args&&... args) noexcept : contained_(outer, std::forward<Args>(args)...) {}

 private:
  HRESULT QueryMore(REFIID iid, void** out) noexcept override { return contained_.InnerQueryInterface(iid, out); }
  void FinalRelease() noexcept override {
    CleanUpInFlight inFlight(contained_.ModuleRecord());
    contained_.DestroyContained();
    delete this;
  }

  T contained_;
};

// A new plain object of class T with count 0, or null when out of memory.
template <class T, class... Args>
T* NewPlainObject(Args&&... args) noexcept {
  return new (std::nothrow) T(nullptr, std::forward<Args>(args)...);
}

// The instance creator of class T: a plain object when outer is null, the
// non-delegating part of an aggregated one otherwise; args go to T's
// constructor after outer. A failed QueryInterface destroys the new object at once.
template <class T, class... Args>
HRESULT CreateObjectInstance(IUnknown* outer, REFIID iid, void** out, Args&&... args) noexcept {
  VADUNA_RETURN_IF_NULL(out);
  *out = nullptr;
  if (outer == nullptr) {
    T* object = NewPlainObject<T>(std::forward<Args>(args)...);
    if (object == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = object->InnerQueryInterface(iid, out);
    if (hr != S_OK) object->DestroyPlain();
    return hr;
  }
  const auto aggregate = MakeObject<Aggregated<T>>(outer, std::forward<Args>(args)...);
  if (!aggregate) return E_OUTOFMEMORY;
  return aggregate->QueryInterface(iid, out);  // an aggregate not handed out goes with ours
}

}  // namespace vaduna
