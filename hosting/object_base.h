// The anatomy shared by the application, service and property set objects:
// IServerObject, ISupportErrorInfo and the class's dual interface, one count,
// an interface table behind QueryInterface, creation alone or inside an
// aggregate, and destruction that gives the server lock back before clean-up.
#pragma once

#include <atomic>
#include <new>

#include "interface/interfaces.h"
#include "hosting/server_module.h"
#include "hosting/type_info_holder.h"

namespace vaduna {

// Written into a dying object's count: an AddRef/Release pair made during
// clean-up can never bring it to 0 again.
inline constexpr LONG kDestructionGuard = -1073741823;  // 0xC0000001

// Which of an object's interface pointers a table entry hands out.
enum class InterfaceSlot { ServerObject, SupportErrorInfo, Dual };

struct InterfaceEntry {
  const IID* iid;  // null ends the table
  InterfaceSlot slot;
};

class ObjectBase : public IServerObject, public ISupportErrorInfo {
 public:
  virtual ~ObjectBase() = default;
  ObjectBase(const ObjectBase&) = delete;
  ObjectBase& operator=(const ObjectBase&) = delete;

  // The start of the implementing object, not counted.
  void* STDMETHODCALLTYPE GetServerObject() override { return static_cast<ObjectBase*>(this); }
  static ObjectBase* FromServerObject(void* start) noexcept { return static_cast<ObjectBase*>(start); }

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

 protected:
  // Takes one server lock, held until destruction. outer is the controlling
  // object of an aggregate, or null for a plain object.
  explicit ObjectBase(IUnknown* outer) noexcept;

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
};

// Completes Base (an ObjectBase) with the dual interface Dual: one IUnknown
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
  explicit DualObject(IUnknown* outer) noexcept : Base(outer) {}
};

// An object of class T inside an aggregate: a non-delegating IUnknown with a
// count of its own, followed by the contained object, whose IUnknown goes to
// the controlling object.
template <class T>
class Aggregated final : public IUnknown {
 public:
  explicit Aggregated(IUnknown* outer) noexcept : contained_(outer) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (::IsEqualGUID(iid, IID_IUnknown)) {
      *out = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    return contained_.InnerQueryInterface(iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++count_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG count = --count_;
    if (count == 0) Destroy();
    return static_cast<ULONG>(count);
  }

  void Destroy() noexcept {
    count_ = kDestructionGuard;
    CleanUpInFlight inFlight(Module());
    contained_.DestroyContained();
    delete this;
  }
  // Read by the tests only, which pin the aggregate's count and its guard.
  LONG RefCount() const noexcept { return count_.load(); }

 private:
  std::atomic<LONG> count_{0};
  T contained_;
};

// A new plain object of class T with count 0, or null when out of memory.
template <class T>
T* NewPlainObject() noexcept {
  return new (std::nothrow) T(nullptr);
}

// The instance creator of class T: a plain object when outer is null, the
// non-delegating part of an aggregated one otherwise. A failed QueryInterface
// destroys the new object at once.
template <class T>
HRESULT CreateObjectInstance(IUnknown* outer, REFIID iid, void** out) noexcept {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (outer == nullptr) {
    T* object = NewPlainObject<T>();
    if (object == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = object->InnerQueryInterface(iid, out);
    if (hr != S_OK) object->DestroyPlain();
    return hr;
  }
  auto* aggregate = new (std::nothrow) Aggregated<T>(outer);
  if (aggregate == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = aggregate->QueryInterface(iid, out);
  if (hr != S_OK) aggregate->Destroy();
  return hr;
}

}  // namespace vaduna
