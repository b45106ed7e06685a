// The one way the server talks to the page's script objects: a member looked
// up by name on every call, then invoked as a method, a property get or a
// property put. Locale 0x0400, IID_NULL, no EXCEPINFO: a script failure
// reaches the server only as the HRESULT of the lookup or the invocation.
// Callers test for an empty ScriptRef first; an operation called on one, or
// with a null name, answers E_INVALIDARG without calling anything.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <wrl/client.h>

namespace vaduna {

// One counted reference to a script object's IDispatch, possibly empty.
class ScriptRef {
 public:
  ScriptRef() noexcept = default;
  explicit ScriptRef(IDispatch* object) noexcept : object_(object) {}  // adds a reference
  ScriptRef(const ScriptRef&) noexcept = default;
  ScriptRef& operator=(const ScriptRef&) noexcept = default;
  ScriptRef(ScriptRef&&) noexcept = default;
  // Leaves other empty. Written out: MinGW's ComPtr copies on move assignment.
  ScriptRef& operator=(ScriptRef&& other) noexcept {
    Microsoft::WRL::ComPtr<IDispatch> taken;
    taken.Swap(other.object_);
    object_.Swap(taken);  // what was held is released as taken goes
    return *this;
  }

  IDispatch* get() const noexcept { return object_.Get(); }
  bool empty() const noexcept { return object_ == nullptr; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Stores object with one added reference and releases what was held; the
  // new reference is taken first, so resetting to the object already held
  // never drops it to zero in between.
  void reset(IDispatch* object = nullptr) noexcept {
    Microsoft::WRL::ComPtr<IDispatch> held(object);
    object_.Swap(held);
  }

  // A method with no argument.
  HRESULT CallMember(const wchar_t* name, VARIANT* result) const noexcept;
  // A method with one argument, passed in place (not copied). A null
  // argument pointer gives E_INVALIDARG after the lookup, without invoking.
  HRESULT CallMember(const wchar_t* name, VARIANT* arg, VARIANT* result) const noexcept;
  // A method with two arguments, copied for the call and cleared after it;
  // first reaches the script as its first parameter. A null argument pointer
  // gives E_INVALIDARG after the lookup, without invoking.
  HRESULT CallMember(const wchar_t* name, const VARIANT* first, const VARIANT* second,
                     VARIANT* result) const noexcept;
  // A method with the caller's array, laid out last-first, passed in place.
  // A null array with a non-zero count gives E_INVALIDARG after the lookup.
  HRESULT CallMember(const wchar_t* name, VARIANT* args, UINT count, VARIANT* result) const noexcept;
  // A property get; a null result gives E_POINTER without invoking.
  HRESULT GetMember(const wchar_t* name, VARIANT* result) const noexcept;
  // A property put: by reference first for objects, arrays and references,
  // then by value if that failed. A null value gives E_POINTER (after the
  // lookup for PutMember, as it is the lookup followed by PutMemberById).
  HRESULT PutMember(const wchar_t* name, VARIANT* value) const noexcept;
  HRESULT PutMemberById(DISPID id, VARIANT* value) const noexcept;
  // Asks an IDispatchEx object to create the member; the outcome is not used.
  void EnsureMember(const wchar_t* name) const noexcept;

 private:
  Microsoft::WRL::ComPtr<IDispatch> object_;
};

}  // namespace vaduna
