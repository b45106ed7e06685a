// The common part of the application, service and property set objects:
// server context, owner link, script link, error state, count with the owner
// rule, and the list of wrappers an application object made. Also the
// wrapping operations that turn a script object into one of the server's
// own; new wrappers come from the context's maker.
#pragma once

#include <wrl/client.h>

#include <atomic>
#include <vector>

#include "hosting/aggregatable_object.h"
#include "object_model/errors/error_reporting.h"
#include "object_model/script/script_bridge.h"
#include "object_model/server_context.h"

namespace vaduna {

class ScriptWrapper : public AggregatableObject {
 public:
  // What this object shares with the other objects of its server.
  ServerContext& Context() const noexcept { return context_; }

  virtual ObjectKind Kind() const noexcept = 0;
  virtual const CLSID& ClassId() const noexcept = 0;

  // Error state (GetLastErrCode, GetLastErrText) and RecordError.
  ErrorState& Errors() noexcept { return errors_; }
  HRESULT RecordError(UINT messageId) noexcept { return errors_.Record(messageId, ClassId(), DualIid()); }

  // The wrapped script object, with a reference for the caller; empty when
  // the object has none.
  ScriptRef Script() const noexcept;
  // The COM identity of the wrapped script object, for comparison and the
  // wrap gate only (not counted); null without one.
  IUnknown* ScriptIdentity() const noexcept;
  // The opening of every call into the wrapped script object: *script holds
  // it for the call, or, when there is none, message 202 is recorded and its
  // failure (DISP_E_EXCEPTION) answered.
  HRESULT ScriptForCall(ScriptRef* script) noexcept;
  // A script call failed with callResult. When the failure says that the
  // page's process is gone, the page the script object came from is
  // unloaded (SharedAttachment::PageGone) and message 202 recorded and its
  // failure answered: later calls then meet no page rather than a dead one.
  // Any other failure answers S_FALSE and records nothing. A wrapper's page
  // is the one whose object it wraps (see BindScriptObject); the application
  // object passes the generation of the page it called.
  HRESULT FailedScriptCall(HRESULT callResult) noexcept { return FailedScriptCall(callResult, pageGeneration_.load()); }
  HRESULT FailedScriptCall(HRESULT callResult, ULONG generation) noexcept;
  // The generation of the page whose object this wrapper wraps; 0 when none.
  ULONG PageGeneration() const noexcept { return pageGeneration_.load(); }
  // Empties the script link (the cell stays): the object answers message 202.
  void DropScript() noexcept;

  // Binds script to this wrapper, writes its handle member, and links the
  // wrapper to owner (first binding only). handleValue is the wrapper's own
  // dual interface. generation is the page that answered with script, as the
  // caller saw it when that page answered (never the attachment's number at
  // bind time: a page replaced in between would lend the old page's object
  // the new page's number, and its failures would unload the live page).
  // E_POINTER when any argument is null; E_INVALIDARG, and nothing changed,
  // for one of this server's own objects; S_OK otherwise, whether or not the
  // handle could be written.
  HRESULT BindScriptObject(ScriptWrapper* owner, IUnknown* handleValue, IDispatch* script,
                           ULONG generation) noexcept;

  // A reference for the caller, refused (false) once the count has reached
  // 0, when the object is already being destroyed.
  bool TryAddRef() noexcept;

  // The owner (application object) of a wrapper with one reference for the
  // caller, taken while the owner link cannot change; null for an
  // application object, an orphan, or an owner already being destroyed. The
  // caller releases it through its dual interface.
  ScriptWrapper* AcquireOwner() const noexcept;

  // Drops the reference held on every listed wrapper and empties the list.
  void ReleaseOwnedWrappers() noexcept;

 protected:
  ScriptWrapper(IUnknown* outer, ServerContext& context) noexcept;

  // Owner rule: a wrapper holds its owner exactly while its count is 2 or more.
  ULONG CountedAddRef() noexcept override;
  ULONG CountedRelease() noexcept override;
  // Owned wrappers, script link (handle reset to 0), error text.
  void CleanUp() noexcept override;

 private:
  friend class WrapperAccess;  // implementation detail of the wrapping code

  // Links this wrapper to owner (first binding only) and enters it in the
  // owner's list with the list's reference.
  void LinkOwner(ScriptWrapper* owner) noexcept;
  // Cuts the owner link when it names expectedOwner; returns the owner whose
  // reference the caller must now give back, or null.
  ScriptWrapper* CutOwnerLink(ScriptWrapper* expectedOwner) noexcept;
  // Appends to ownedWrappers without touching counts; false when it cannot grow.
  bool AppendOwnedWrapper(ScriptWrapper* wrapper) noexcept;
  // This wrapper's id in the table of live wrappers, entered on first use; 0
  // when it has none (an aggregated object, or a full table).
  LONG EnsureWrapperId() noexcept;

  // Guards the owner link and every count transition that may touch it, the
  // script link and ownedWrappers. Never held while calling into a script
  // object or releasing a reference.
  ServerContext& context_;
  mutable SRWLOCK lock_ = SRWLOCK_INIT;
  ScriptWrapper* owner_ = nullptr;  // an application object
  bool holdsOwner_ = false;            // one reference on owner_ is ours
  ScriptRef script_;                   // the script link; empty when no script object
  IUnknown* scriptIdentity_ = nullptr;  // script_'s IUnknown, for comparison only (not counted)
  // ownedWrappers: each entry holds one reference on its wrapper, taken by
  // LinkOwner and given back by ReleaseOwnedWrappers.
  std::vector<ScriptWrapper*> owned_;
  std::atomic<LONG> wrapperId_{0};
  std::atomic<ULONG> pageGeneration_{0};
  ErrorState errors_;
};

// True for one of this server's own objects: the server never wraps them,
// never binds a set to one, and never calls one through the script bridge.
bool IsServerObject(IUnknown* object) noexcept;

// A new wrapper of kind (service or property set), asked for iid and bound
// to script, the answer of page generation, under owner; *out receives the
// caller's reference. E_OUTOFMEMORY, or the QueryInterface failure, leaves
// *out null and no wrapper behind. A null script leaves the wrapper unbound:
// it answers message 202.
// E_INVALIDARG, and no wrapper, for one of this server's own objects.
HRESULT CreateBoundWrapper(ServerContext& context, ObjectKind kind, ScriptWrapper* owner, IDispatch* script,
                           ULONG generation, REFIID iid, void** out) noexcept;
template <class Interface>
HRESULT CreateBoundWrapper(ServerContext& context, ObjectKind kind, ScriptWrapper* owner, IDispatch* script,
                           ULONG generation, Interface** out) noexcept {
  return CreateBoundWrapper(context, kind, owner, script, generation, IID_PPV_ARGS(out));
}

// The wrapper of kind for a script object that page generation handed back:
// the live one its handle names, or, with an owner, a new one bound under it;
// finding and making are one step for each script object (WrapGate). *out
// receives the caller's reference. E_INVALIDARG for one of this server's own
// objects; S_FALSE and null when there is no wrapper and no owner.
HRESULT WrapScriptObject(ServerContext& context, ObjectKind kind, ScriptWrapper* owner, IDispatch* script,
                         ULONG generation, REFIID iid, void** out) noexcept;
template <class Interface>
HRESULT WrapScriptObject(ServerContext& context, ObjectKind kind, ScriptWrapper* owner, IDispatch* script,
                         ULONG generation, Interface** out) noexcept {
  return WrapScriptObject(context, kind, owner, script, generation, IID_PPV_ARGS(out));
}

// The live wrapper of the wanted kind that script's handle member names and
// that wraps this very script object, returned with one added reference
// through its dual interface; null when there is none (no handle, a stale,
// forged or foreign handle).
IUnknown* FindWrapper(ServerContext& context, IDispatch* script, ObjectKind kind) noexcept;

// The server object behind an interface pointer that a client passed in, not
// counted; E_NOINTERFACE when it is not one of this server's objects.
HRESULT ServerObjectFromInterface(IUnknown* iface, ScriptWrapper** object) noexcept;

}  // namespace vaduna
