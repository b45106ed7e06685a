// The call shapes shared by the service and property set methods: the
// bodies of the truth setters, string getters and count getters. Each body
// checks that the wrapper has a script object (message 202 otherwise), makes
// one script call and converts its answer; the caller has checked its
// pointer arguments.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "base/variant_builders.h"
#include "object_model/script_wrapper.h"

namespace vaduna {

// The owner of a wrapper, held for the duration of a call; null for a
// wrapper that has none (made by a client, or orphaned).
class OwnerRef {
 public:
  explicit OwnerRef(const ScriptWrapper& wrapper) noexcept;
  ~OwnerRef();
  OwnerRef(const OwnerRef&) = delete;
  OwnerRef& operator=(const OwnerRef&) = delete;
  ScriptWrapper* get() const noexcept { return owner_; }

 private:
  ScriptWrapper* owner_;
};

// Stores value in *out when out is given.
inline void StoreTruth(VARIANT_BOOL* out, VARIANT_BOOL value) noexcept {
  if (out != nullptr) *out = value;
}

// A call of wrapper's script whose answer is not looked at: a failed call
// gives VARIANT_FALSE and S_FALSE (or the failure of a page that is gone),
// any other VARIANT_TRUE and S_OK.
HRESULT TruthOfCall(ScriptWrapper& wrapper, HRESULT callResult, VARIANT_BOOL* out) noexcept;

// member(argument) answering a truth value (setter truth rule) into *out when
// given; S_FALSE and VARIANT_FALSE when the call fails. E_POINTER for a null
// argument.
HRESULT ForwardTruthSetter(ScriptWrapper& wrapper, const wchar_t* member, BSTR argument,
                           VARIANT_BOOL* out) noexcept;

// member(), or member(argument), answering a string that passes to *out
// (string rule). *out is not written when the call fails (S_FALSE).
// E_POINTER for a null out or argument.
HRESULT ForwardStringGetter(ScriptWrapper& wrapper, const wchar_t* member, BSTR* out) noexcept;
HRESULT ForwardStringGetter(ScriptWrapper& wrapper, const wchar_t* member, BSTR argument, BSTR* out) noexcept;

// member() answering a 32-bit count into *out. *out is not written when the
// call fails or the answer is no number (S_FALSE). E_POINTER for a null out.
HRESULT ForwardCountGetter(ScriptWrapper& wrapper, const wchar_t* member, long* out) noexcept;

// The script object of a property set that a client passed in, with a
// reference held for the call. E_INVALIDARG, and nothing taken, when the
// interface is not one of this server's property set objects or the set has
// no script object: such a set must never reach the script.
HRESULT ScriptOfPassedSet(IUnknown* set, ScriptRef* script) noexcept;

// This server's property set object behind a passed interface, not counted;
// null when the interface is a client's own object or another kind of ours.
ScriptWrapper* PassedPropertySet(IUnknown* set) noexcept;

// A set that a client passed to callee, whose call goes to page generation
// (0: not known), and that wraps an object of another page or of one that is
// no longer the current one: the call fails as a call on that set itself
// would (message 202 recorded on callee, its failure answered), and no page
// sees the set. S_OK for a null or unbound set, or one of that page while it
// is current.
HRESULT RefuseStaleSet(ScriptWrapper& callee, ULONG generation, const ScriptWrapper* set) noexcept;

}  // namespace vaduna
