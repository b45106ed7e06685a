// Children and copying of a property set. Children live in the script
// property set; a child handed to the client is the wrapper that already
// names the child's script object, or a new one under this set's owner.
#include <wrl/client.h>

#include "base/hresult.h"
#include "base/pointer_guard.h"
#include "base/unique_resource.h"
#include "object_model/property_set_object.h"
#include "object_model/script/script_results.h"
#include "object_model/wrap_gate.h"

namespace vaduna {

HRESULT STDMETHODCALLTYPE PropertySetObject::AddChild(IVadunaPropertySet* pChild, long* index) {
  VADUNA_RETURN_IF_NULL(pChild, index);
  ScriptRef scriptSet;
  VADUNA_RETURN_IF_FAILED(ScriptForCall(&scriptSet));
  ScriptRef child;
  VADUNA_RETURN_IF_FAILED(ScriptOfPassedSet(pChild, &child));
  VADUNA_RETURN_IF_FAILED(RefuseStaleSet(*this, PageGeneration(), PassedPropertySet(pChild)));

  // Adding and counting are one step among the server's changes of these
  // children: the index answered is the one of the child added here.
  const WrapGate gate(Context().gates, ScriptIdentity());
  VARIANT argument = BorrowedObject(child.get());
  UniqueVariant result;
  const HRESULT hr = scriptSet.CallMember(script::kAddChild, &argument, result.get());
  if (FAILED(hr)) return FailedScriptCall(hr);
  if (TruthValue(*result.get()) == VARIANT_FALSE) {
    *index = -1;
    return S_FALSE;
  }
  // The new child is the last one. Without a count its index is unknown,
  // although the script did add it.
  long count = 0;
  if (GetChildCount(&count) != S_OK) {
    *index = -1;
    return S_FALSE;
  }
  *index = count - 1;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE PropertySetObject::InsertChildAt(IVadunaPropertySet* pChild, long index,
                                                           VARIANT_BOOL* pBool) {
  VADUNA_RETURN_IF_NULL(pChild);
  ScriptRef scriptSet;
  VADUNA_RETURN_IF_FAILED(ScriptForCall(&scriptSet));
  ScriptRef child;
  VADUNA_RETURN_IF_FAILED(ScriptOfPassedSet(pChild, &child));
  VADUNA_RETURN_IF_FAILED(RefuseStaleSet(*this, PageGeneration(), PassedPropertySet(pChild)));

  const WrapGate gate(Context().gates, ScriptIdentity());
  const VARIANT first = BorrowedObject(child.get());
  const VARIANT second = Int32Value(index);
  UniqueVariant result;
  return TruthOfCall(*this, scriptSet.CallMember(script::kInsertChildAt, &first, &second, result.get()), pBool);
}

HRESULT STDMETHODCALLTYPE PropertySetObject::RemoveChild(long index, VARIANT_BOOL* pBool) {
  ScriptRef scriptSet;
  VADUNA_RETURN_IF_FAILED(ScriptForCall(&scriptSet));
  const WrapGate gate(Context().gates, ScriptIdentity());
  VARIANT argument = Int32Value(index);
  UniqueVariant result;
  const HRESULT hr = scriptSet.CallMember(script::kRemoveChild, &argument, result.get());
  if (FAILED(hr)) {
    StoreTruth(pBool, VARIANT_FALSE);
    return FailedScriptCall(hr);
  }
  StoreTruth(pBool, TruthValue(*result.get()));
  return S_OK;
}

HRESULT STDMETHODCALLTYPE PropertySetObject::GetChild(long index, IVadunaPropertySet** pChild) {
  VADUNA_RETURN_IF_NULL(pChild);
  ScriptRef scriptSet;
  VADUNA_RETURN_IF_FAILED(ScriptForCall(&scriptSet));
  VARIANT argument = Int32Value(index);
  UniqueVariant result;
  const HRESULT hr = scriptSet.CallMember(script::kGetChild, &argument, result.get());
  *pChild = nullptr;
  if (FAILED(hr)) return FailedScriptCall(hr);
  IDispatch* const found = TestedObjectValue(*result.get());
  if (found == nullptr) return S_FALSE;
  const ScriptRef child(found);
  result.put();
  // The wrapper that already names the child, or a new one under this set's
  // owner, of this set's page; an orphaned set has no owner to bind one
  // (null and S_FALSE).
  const OwnerRef owner(*this);
  return WrapScriptObject(Context(), ObjectKind::PropertySet, owner.get(), child.get(), PageGeneration(), pChild);
}

// The script encodes this set as a string and decodes it into a new script
// property set that the owner makes. No copy (null and S_FALSE) when the
// encoding fails or the owner yields no bound property set.
HRESULT STDMETHODCALLTYPE PropertySetObject::Copy(IVadunaPropertySet** pCopy) {
  VADUNA_RETURN_IF_NULL(pCopy);
  ScriptRef scriptSet;
  VADUNA_RETURN_IF_FAILED(ScriptForCall(&scriptSet));
  *pCopy = nullptr;
  // An orphaned set has no application object to make the copy.
  const OwnerRef owner(*this);
  if (owner.get() == nullptr || owner.get()->Kind() != ObjectKind::Application) return S_FALSE;
  // An application object's dual interface is its IVadunaHTMLApplication.
  auto* const application = static_cast<IVadunaHTMLApplication*>(owner.get()->DualPointer());

  UniqueVariant encoded;
  const HRESULT hr = scriptSet.CallMember(script::kEncodeAsString, encoded.get());
  if (FAILED(hr)) return FailedScriptCall(hr);
  if (encoded->vt != VT_BSTR || encoded->bstrVal == nullptr) return S_FALSE;

  Microsoft::WRL::ComPtr<IVadunaPropertySet> copy;
  if (application->NewPropertySet(&copy) != S_OK || copy == nullptr) return S_FALSE;
  ScriptWrapper* const copyObject = PassedPropertySet(copy.Get());
  const ScriptRef copyScript = copyObject != nullptr ? copyObject->Script() : ScriptRef();
  if (copyScript.empty()) return S_FALSE;

  // The decoding's outcome is not looked at: a failed one leaves an empty copy.
  UniqueVariant ignored;
  copyScript.CallMember(script::kDecodeFromString, encoded.get(), ignored.get());
  *pCopy = copy.Detach();
  return S_OK;
}

}  // namespace vaduna
