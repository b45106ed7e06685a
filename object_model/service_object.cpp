#include "object_model/service_object.h"

#include "base/pointer_guard.h"
#include "base/hresult.h"
#include "base/unique_resource.h"
#include "object_model/script/script_results.h"

namespace vaduna {

// The script receives the method name and the input set's script object and
// answers with the output property set, which is bound into the caller's
// output set; any other answer empties the output set. S_FALSE when the page
// never became ready or the call failed: the output set is then unchanged.
// A page that unloaded during the wait is never called (message 202), and
// one of the server's own objects as the answer is refused (E_INVALIDARG,
// the output set unchanged).
HRESULT STDMETHODCALLTYPE ServiceObject::InvokeMethod(BSTR method, IVadunaPropertySet* pInputArgs,
                                                      IVadunaPropertySet* pOutputArgs, VARIANT_BOOL* pBool) {
  VADUNA_RETURN_IF_NULL(method, pInputArgs, pOutputArgs);
  ScriptRef service;
  VADUNA_RETURN_IF_FAILED(ScriptForCall(&service));

  // Held for the call, so that a concurrent rebinding of the input set cannot
  // release the object the script is given.
  ScriptRef input;
  VADUNA_RETURN_IF_FAILED(ScriptOfPassedSet(pInputArgs, &input));
  // The output set may still be unbound: binding it is this call's purpose.
  // It is held for the call: a page that calls back may release it meanwhile.
  ScriptWrapper* const output = PassedPropertySet(pOutputArgs);
  if (output == nullptr) return E_INVALIDARG;
  const Microsoft::WRL::ComPtr<IVadunaPropertySet> outputHeld(pOutputArgs);

  // Laid out last-first: the script receives the method name first.
  VARIANT args[2] = {BorrowedObject(input.get()), BorrowedString(method)};

  SharedAttachment& attachment = Context().attachment;
  if (!attachment.WaitUntilReady()) return S_FALSE;
  // The page this call goes to, and the one its answer comes from.
  const ULONG generation = PageGeneration();
  if (attachment.Generation() != generation) return RecordError(kMsgOutOfScope);
  // The page cannot reach a set of an earlier page: handing it on would fail
  // as if the live page had died.
  VADUNA_RETURN_IF_FAILED(RefuseStaleSet(*this, generation, PassedPropertySet(pInputArgs)));
  VADUNA_RETURN_IF_FAILED(RefuseStaleSet(*this, generation, output));

  UniqueVariant result;
  const HRESULT hr = service.CallMember(script::kServiceInvokeMethod, args, 2, result.get());
  if (FAILED(hr)) {
    StoreTruth(pBool, VARIANT_FALSE);
    return FailedScriptCall(hr);
  }
  IDispatch* const returned = TestedObjectValue(*result.get());
  if (IsServerObject(returned)) {
    StoreTruth(pBool, VARIANT_FALSE);
    return E_INVALIDARG;
  }
  // An orphaned service has no owner to give; an output set that has one keeps it.
  const OwnerRef serviceOwner(*this);
  const OwnerRef outputOwner(*output);
  ScriptWrapper* const owner = serviceOwner.get() != nullptr ? serviceOwner.get() : outputOwner.get();
  if (returned != nullptr && SUCCEEDED(output->BindScriptObject(owner, output->DualPointer(), returned, generation))) {
    StoreTruth(pBool, VARIANT_TRUE);
    return S_OK;
  }
  // No property set came back (or it could not be bound): the output set
  // must not keep answering with what an earlier call left in it.
  output->DropScript();
  StoreTruth(pBool, VARIANT_FALSE);
  return S_OK;
}

}  // namespace vaduna
