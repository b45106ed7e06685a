#include "object_model/script_wrapper.h"

#include <new>
#include <utility>

#include "base/pointer_guard.h"
#include "base/unique_resource.h"
#include "base/variant_builders.h"
#include "object_model/script/script_contract.h"
#include "object_model/script/script_results.h"

namespace vaduna {

using Microsoft::WRL::ComPtr;

// Reaches the private parts of wrappers for the free wrapping operations.
class WrapperAccess {
 public:
  struct FindRequest {
    ObjectKind kind;
    IUnknown* identity;
  };

  // Under the table lock: hands out the wrapper with the caller's reference
  // when it is of the wanted kind, wraps this very script object and is not
  // already being destroyed.
  static IUnknown* AcceptFound(ScriptWrapper& wrapper, void* context) noexcept {
    const auto& request = *static_cast<const FindRequest*>(context);
    if (wrapper.Kind() != request.kind || wrapper.IsAggregated()) return nullptr;
    SrwExclusive hold(wrapper.lock_);
    if (wrapper.script_.empty() || wrapper.scriptIdentity_ != request.identity) return nullptr;
    if (wrapper.refCount_.load() <= 0) return nullptr;
    const LONG count = ++wrapper.refCount_;
    if (count >= 2 && wrapper.owner_ != nullptr && !wrapper.holdsOwner_) {
      wrapper.holdsOwner_ = wrapper.owner_->TryAddRef();
    }
    return wrapper.DualPointer();
  }
};

namespace {

// The COM identity of an object, for comparison only; the object itself
// when it does not answer IUnknown.
IUnknown* IdentityOf(IDispatch* object) noexcept {
  ComPtr<IUnknown> identity;
  if (FAILED(object->QueryInterface(IID_PPV_ARGS(&identity)))) return object;
  return identity.Get();  // the object keeps its identity alive; the pointer is compared only
}

// Writes the wrapper's handle into the script object; a script object that
// lacks the member is asked to create it when it supports IDispatchEx.
void WriteHandle(const ScriptRef& script, LONG handle) noexcept {
  VARIANT value = Int32Value(handle);
  if (SUCCEEDED(script.PutMember(script::kHandleMember, &value))) return;
  script.EnsureMember(script::kHandleMember);
  ComPtr<IDispatchEx> extensible;
  if (FAILED(script.get()->QueryInterface(IID_PPV_ARGS(&extensible)))) return;
  script.PutMember(script::kHandleMember, &value);  // outcome not looked at
}

}  // namespace

ScriptWrapper::ScriptWrapper(IUnknown* outer, ServerContext& context) noexcept
    : AggregatableObject(outer, context.module), context_(context) {}

ScriptRef ScriptWrapper::Script() const noexcept {
  SrwShared hold(lock_);
  return script_;
}

IUnknown* ScriptWrapper::ScriptIdentity() const noexcept {
  SrwShared hold(lock_);
  return scriptIdentity_;
}

HRESULT ScriptWrapper::FailedScriptCall(HRESULT callResult, ULONG generation) noexcept {
  SharedAttachment& attachment = context_.attachment;
  const bool gone = MeansPageGone(callResult) ||
                    (callResult == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED) && attachment.PageUnreachable(generation));
  if (!gone) return S_FALSE;
  attachment.PageGone(generation);
  return RecordError(kMsgOutOfScope);
}

HRESULT ScriptWrapper::ScriptForCall(ScriptRef* script) noexcept {
  *script = Script();
  if (script->empty()) return RecordError(kMsgOutOfScope);
  return S_OK;
}

void ScriptWrapper::DropScript() noexcept {
  ScriptRef dropped;
  {
    SrwExclusive hold(lock_);
    dropped = std::move(script_);
    script_.reset();
    scriptIdentity_ = nullptr;
  }
  // dropped releases the script object here, outside the lock.
}

ScriptWrapper* ScriptWrapper::AcquireOwner() const noexcept {
  SrwShared hold(lock_);
  if (owner_ == nullptr || !owner_->TryAddRef()) return nullptr;
  return owner_;
}

ULONG ScriptWrapper::CountedAddRef() noexcept {
  SrwExclusive hold(lock_);
  const LONG count = ++refCount_;
  if (count >= 2 && owner_ != nullptr && !holdsOwner_) holdsOwner_ = owner_->TryAddRef();
  return static_cast<ULONG>(count);
}

ULONG ScriptWrapper::CountedRelease() noexcept {
  LONG count = 0;
  ScriptWrapper* ownerToRelease = nullptr;
  {
    SrwExclusive hold(lock_);
    count = --refCount_;
    if (count <= 1 && holdsOwner_) {
      holdsOwner_ = false;
      ownerToRelease = owner_;
    }
  }
  if (ownerToRelease != nullptr) {
    // The owner's destruction may destroy this wrapper within this call:
    // nothing of it is touched afterwards.
    ownerToRelease->DualPointer()->Release();
    return static_cast<ULONG>(count);
  }
  if (count == 0) DestroyPlain();
  return static_cast<ULONG>(count);
}

bool ScriptWrapper::TryAddRef() noexcept {
  if (IsAggregated()) {
    DualPointer()->AddRef();
    return true;
  }
  SrwExclusive hold(lock_);
  if (refCount_.load() <= 0) return false;
  ++refCount_;
  return true;
}

bool ScriptWrapper::AppendOwnedWrapper(ScriptWrapper* wrapper) noexcept {
  SrwExclusive hold(lock_);
  try {
    owned_.push_back(wrapper);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

ScriptWrapper* ScriptWrapper::CutOwnerLink(ScriptWrapper* expectedOwner) noexcept {
  SrwExclusive hold(lock_);
  if (owner_ != expectedOwner) return nullptr;
  owner_ = nullptr;
  if (!holdsOwner_) return nullptr;
  holdsOwner_ = false;
  return expectedOwner;
}

void ScriptWrapper::LinkOwner(ScriptWrapper* owner) noexcept {
  {
    SrwExclusive hold(lock_);
    if (owner_ != nullptr) return;  // a wrapper keeps its first owner
    owner_ = owner;
    // Clients already hold this wrapper (one they created themselves): it
    // holds its owner from now on, so that their releases stay balanced.
    if (!IsAggregated() && refCount_.load() >= 2) holdsOwner_ = owner->TryAddRef();
  }
  DualPointer()->AddRef();  // the owner list's reference
  if (owner->AppendOwnedWrapper(this)) return;
  // No room in the list: no reference may stay without its entry, so the
  // wrapper is left to its clients alone.
  if (ScriptWrapper* ownerToRelease = CutOwnerLink(owner)) ownerToRelease->DualPointer()->Release();
  DualPointer()->Release();
}

LONG ScriptWrapper::EnsureWrapperId() noexcept {
  // An aggregate's life is its controlling object's, which the table cannot
  // see: such a wrapper is never found again by its handle.
  if (IsAggregated()) return 0;
  const LONG existing = wrapperId_.load();
  if (existing != 0) return existing;
  const LONG id = context_.wrappers.Add(this);
  if (id == 0) return 0;
  LONG expected = 0;
  if (wrapperId_.compare_exchange_strong(expected, id)) return id;
  context_.wrappers.Remove(id);  // a concurrent binding entered it first
  return expected;
}

HRESULT ScriptWrapper::BindScriptObject(ScriptWrapper* owner, IUnknown* handleValue, IDispatch* script,
                                           ULONG generation) noexcept {
  VADUNA_RETURN_IF_NULL(owner, handleValue, script);
  if (IsServerObject(script)) return E_INVALIDARG;

  ScriptRef bound(script);
  IUnknown* const identity = IdentityOf(script);
  ScriptRef replaced;  // released after the gate, never while holding it
  const WrapGate gate(context_.gates, identity);
  {
    SrwExclusive hold(lock_);
    replaced = std::move(script_);
    script_ = bound;
    scriptIdentity_ = identity;
    pageGeneration_.store(generation);
  }

  const LONG handle = EnsureWrapperId();
  if (handle != 0) WriteHandle(bound, handle);

  LinkOwner(owner);
  return S_OK;
}

void ScriptWrapper::ReleaseOwnedWrappers() noexcept {
  std::vector<ScriptWrapper*> owned;
  {
    SrwExclusive hold(lock_);
    owned.swap(owned_);
  }
  for (ScriptWrapper* wrapper : owned) {
    // The link is cut first: an orphaned wrapper never reaches this object
    // again, and the reference it held on it (clients hold it) comes back now.
    if (ScriptWrapper* ownerToRelease = wrapper->CutOwnerLink(this)) {
      ownerToRelease->DualPointer()->Release();
    }
    wrapper->DualPointer()->Release();  // the list's reference
  }
}

// The error text goes with errors_ when the memory is freed.
void ScriptWrapper::CleanUp() noexcept {
  ReleaseOwnedWrappers();
  const LONG id = wrapperId_.exchange(0);
  if (id != 0) context_.wrappers.Remove(id);
  ScriptRef script;
  IUnknown* identity = nullptr;
  {
    SrwExclusive hold(lock_);
    script = std::move(script_);
    identity = std::exchange(scriptIdentity_, nullptr);
  }
  if (!script || id == 0) return;
  // The handle is reset only while it names this wrapper: a duplicate that
  // goes must not erase the handle of the wrapper that lives. A gate held by
  // another thread is not waited for (its holder may be waiting for this
  // release): the handle then keeps an id that no live wrapper has, which
  // finds nothing, as ids never come back.
  const WrapGate gate(context_.gates, identity, WrapGate::NoWait{});
  if (!gate.held()) return;
  UniqueVariant current;
  const std::optional<LONG> handle = HandleValue(script.GetMember(script::kHandleMember, current.get()), *current.get());
  if (handle != id) return;
  VARIANT none = Int32Value(0);
  script.PutMember(script::kHandleMember, &none);  // failures ignored
}

bool IsServerObject(IUnknown* object) noexcept {
  if (object == nullptr) return false;
  ComPtr<IServerObject> serverObject;
  return SUCCEEDED(object->QueryInterface(IID_PPV_ARGS(&serverObject))) && serverObject != nullptr;
}

HRESULT CreateBoundWrapper(ServerContext& context, ObjectKind kind, ScriptWrapper* owner, IDispatch* script,
                           ULONG generation, REFIID iid, void** out) noexcept {
  VADUNA_RETURN_IF_NULL(out);
  *out = nullptr;
  if (IsServerObject(script)) return E_INVALIDARG;
  ScriptWrapper* wrapper = context.makeWrapper(kind, context);
  if (wrapper == nullptr) return E_OUTOFMEMORY;
  void* handedOut = nullptr;
  const HRESULT hr = wrapper->InnerQueryInterface(iid, &handedOut);
  if (hr != S_OK) {
    wrapper->DestroyPlain();  // never handed out
    return hr;
  }
  *out = handedOut;
  // The handle member names the wrapper's own dual interface. A binding
  // that fails (no script object) leaves an unbound wrapper.
  wrapper->BindScriptObject(owner, wrapper->DualPointer(), script, generation);
  return S_OK;
}

HRESULT WrapScriptObject(ServerContext& context, ObjectKind kind, ScriptWrapper* owner, IDispatch* script,
                         ULONG generation, REFIID iid, void** out) noexcept {
  VADUNA_RETURN_IF_NULL(out);
  *out = nullptr;
  VADUNA_RETURN_IF_NULL(script);
  if (IsServerObject(script)) return E_INVALIDARG;
  const WrapGate gate(context.gates, IdentityOf(script));
  if (IUnknown* found = FindWrapper(context, script, kind)) {
    // FindWrapper handed out the dual interface with the caller's reference.
    ComPtr<IUnknown> held;
    *held.GetAddressOf() = found;
    return held->QueryInterface(iid, out);
  }
  if (owner == nullptr) return S_FALSE;
  return CreateBoundWrapper(context, kind, owner, script, generation, iid, out);
}

IUnknown* FindWrapper(ServerContext& context, IDispatch* script, ObjectKind kind) noexcept {
  if (script == nullptr) return nullptr;
  UniqueVariant result;
  const HRESULT hr = ScriptRef(script).GetMember(script::kHandleMember, result.get());
  const std::optional<LONG> handle = HandleValue(hr, *result.get());
  if (!handle) return nullptr;
  WrapperAccess::FindRequest request{kind, IdentityOf(script)};
  return context.wrappers.WithLiveWrapper(*handle, &WrapperAccess::AcceptFound, &request);
}

HRESULT ServerObjectFromInterface(IUnknown* iface, ScriptWrapper** object) noexcept {
  VADUNA_RETURN_IF_NULL(object);
  *object = nullptr;
  if (iface == nullptr) return E_NOINTERFACE;
  ComPtr<IServerObject> serverObject;
  if (FAILED(iface->QueryInterface(IID_PPV_ARGS(&serverObject)))) return E_NOINTERFACE;
  auto* found = dynamic_cast<ScriptWrapper*>(AggregatableObject::FromServerObject(serverObject->GetServerObject()));
  if (found == nullptr) return E_NOINTERFACE;
  *object = found;
  return S_OK;
}

}  // namespace vaduna
