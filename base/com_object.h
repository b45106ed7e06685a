// The one IUnknown of this code base: an object template with a compile-time
// interface list that writes QueryInterface, AddRef and Release once, and
// MakeObject, which hands a new object out in a ComPtr.
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <wrl/client.h>

#include <atomic>
#include <new>
#include <utility>

#include "base/pointer_guard.h"

namespace vaduna {

// Written into a dying object's count: an AddRef/Release pair made during
// clean-up can never bring it to 0 again.
inline constexpr LONG kDestructionGuard = -1073741823;  // 0xC0000001

// An interface-list entry that answers *kIid with the Via interface of the
// object (a base interface such as IDispatch, or a marker IID) without adding
// a base class.
template <const IID* kIid, class Via>
struct AlsoAnswers {};

namespace com_detail {

// A plain entry: the object derives from it and answers its IID.
template <class Entry>
struct EntryTraits {
  using Base = Entry;
  using Via = Entry;
  static const IID& Iid() noexcept { return __uuidof(Entry); }
};

template <const IID* kIid, class V>
struct EntryTraits<AlsoAnswers<kIid, V>> {
  struct Base {};  // nothing to derive from; one distinct type per entry
  using Via = V;
  static const IID& Iid() noexcept { return *kIid; }
};

template <class First, class... Rest>
struct FirstOf {
  using type = First;
};

}  // namespace com_detail

// Derive from ComObject<I1, I2, ...> and implement the interfaces' own
// methods. I1 answers IUnknown. The count starts at 0; reaching 0 writes the
// destruction guard and calls FinalRelease (delete by default).
template <class... Entries>
class ComObject : public com_detail::EntryTraits<Entries>::Base... {
  using FirstVia = typename com_detail::EntryTraits<typename com_detail::FirstOf<Entries...>::type>::Via;

 public:
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    VADUNA_RETURN_IF_NULL(out);
    *out = nullptr;
    if (Refuses(iid)) return E_NOINTERFACE;
    IUnknown* found = ::IsEqualGUID(iid, IID_IUnknown) ? Identity() : nullptr;
    if (found == nullptr) ((found = Match<Entries>(iid)) || ...);
    if (found == nullptr) return QueryMore(iid, out);
    found->AddRef();
    *out = found;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++count_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG count = --count_;
    if (count == 0) {
      count_ = kDestructionGuard;
      FinalRelease();
    }
    return static_cast<ULONG>(count);
  }

  // A reference for the caller, refused (false) once the count has reached 0.
  bool TryAddRef() noexcept {
    LONG count = count_.load();
    while (count > 0) {
      if (count_.compare_exchange_weak(count, count + 1)) return true;
    }
    return false;
  }
  // The count (the guard value once destruction began).
  LONG RefCount() const noexcept { return count_.load(); }

 protected:
  ComObject() noexcept = default;
  virtual ~ComObject() = default;

  // The object's IUnknown: its first interface.
  IUnknown* Identity() noexcept { return static_cast<FirstVia*>(this); }
  // Whether this object answers E_NOINTERFACE for an iid of its list.
  virtual bool Refuses(REFIID) noexcept { return false; }
  // An interface beyond the list, with the caller's reference in *out
  // (already null); E_NOINTERFACE by default.
  virtual HRESULT QueryMore(REFIID, void**) noexcept { return E_NOINTERFACE; }
  // Runs once the count reached 0 and the guard is written.
  virtual void FinalRelease() noexcept { delete this; }

 private:
  template <class Entry>
  IUnknown* Match(REFIID iid) noexcept {
    using Traits = com_detail::EntryTraits<Entry>;
    if (!::IsEqualGUID(iid, Traits::Iid())) return nullptr;
    return static_cast<typename Traits::Via*>(this);
  }

  std::atomic<LONG> count_{0};
};

// A new T(args...) held by the ComPtr (count 1); empty when out of memory.
template <class T, class... Args>
Microsoft::WRL::ComPtr<T> MakeObject(Args&&... args) noexcept {
  return Microsoft::WRL::ComPtr<T>(new (std::nothrow) T(std::forward<Args>(args)...));
}

}  // namespace vaduna
