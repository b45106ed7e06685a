#include "connector/page_object.h"

#include <oleauto.h>

#include <new>

#include "base/pointer_guard.h"
#include "base/hresult.h"
#include "base/unique_resource.h"

namespace vaduna::connector {

using Microsoft::WRL::ComPtr;

namespace {

BSTR CopyString(const std::wstring& text) noexcept {
  return ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

}  // namespace

void ReportFailure(HRESULT code, const std::wstring& description, EXCEPINFO* exception) noexcept {
  if (description.empty()) return;
  if (code == DISP_E_EXCEPTION && exception != nullptr) {
    *exception = EXCEPINFO{};
    exception->bstrSource = ::SysAllocString(kErrorSource);
    exception->bstrDescription = CopyString(description);
    exception->scode = code;
  }
  ComPtr<ICreateErrorInfo> create;
  if (FAILED(::CreateErrorInfo(&create))) return;
  create->SetGUID(IID_IDispatch);
  create->SetSource(const_cast<LPOLESTR>(kErrorSource));
  create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
  ComPtr<IErrorInfo> info;
  if (SUCCEEDED(create.As(&info))) ::SetErrorInfo(0, info.Get());
}

PageObject::PageObject(std::shared_ptr<PageObjectOwner> owner, std::uint64_t id) noexcept
    : owner_(std::move(owner)), id_(id) {}

HRESULT PageObject::Create(std::shared_ptr<PageObjectOwner> owner, std::uint64_t id, PageObject** object) noexcept {
  VADUNA_RETURN_IF_NULL(object);
  *object = MakeObject<PageObject>(std::move(owner), id).Detach();
  return *object != nullptr ? S_OK : E_OUTOFMEMORY;
}

ComPtr<PageObject> PageObject::FromUnknown(IUnknown* object) noexcept {
  ComPtr<PageObject> found;
  if (object == nullptr) return found;
  IDispatchEx* own = nullptr;
  if (FAILED(object->QueryInterface(kPageObjectIid, reinterpret_cast<void**>(&own))) || own == nullptr) {
    return found;
  }
  // The reference that QueryInterface added becomes found's own.
  *found.ReleaseAndGetAddressOf() = static_cast<PageObject*>(own);
  return found;
}

void PageObject::FinalRelease() noexcept {
  owner_->LastReleased(*this);
  delete this;
}

// ---- IDispatch ----

STDMETHODIMP PageObject::GetTypeInfoCount(UINT* count) {
  VADUNA_RETURN_IF_NULL(count);
  *count = 0;  // a page object has no type information
  return S_OK;
}

STDMETHODIMP PageObject::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  VADUNA_RETURN_IF_NULL(info);
  *info = nullptr;
  return DISP_E_BADINDEX;
}

STDMETHODIMP PageObject::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  VADUNA_RETURN_IF_NULL(names, ids);
  if (count == 0) return E_INVALIDARG;
  // Named arguments are not supported: every name after the member's is unknown.
  for (UINT i = 1; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  if (names[0] == nullptr) {
    ids[0] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  const HRESULT hr = members_.IdOf(names[0], false, &ids[0]);
  if (FAILED(hr)) return hr;
  return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
}

STDMETHODIMP PageObject::Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                EXCEPINFO* exception, UINT* argError) {
  if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (params == nullptr) return E_INVALIDARG;
  return Dispatch(id, flags, *params, result, exception, argError);
}

HRESULT PageObject::Dispatch(DISPID id, WORD flags, const DISPPARAMS& params, VARIANT* result,
                             EXCEPINFO* exception, UINT* argError) noexcept {
  return HresultBoundary([&]() -> HRESULT {
    ::SetErrorInfo(0, nullptr);  // no earlier call's record may pass for this call's
    if (result != nullptr) ::VariantInit(result);
    if ((params.cArgs != 0 && params.rgvarg == nullptr) || params.cNamedArgs > params.cArgs ||
        (params.cNamedArgs != 0 && params.rgdispidNamedArgs == nullptr)) {
      return E_INVALIDARG;
    }
    const std::optional<MemberTable::Member> member = members_.Find(id);
    if (!member) return DISP_E_MEMBERNOTFOUND;

    CallKind kind;
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
      kind = CallKind::kPut;  // a put by reference is a put: the page has no such difference
      if (params.cArgs != 1) return DISP_E_BADPARAMCOUNT;
      if (params.cNamedArgs == 1 && params.rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) return DISP_E_PARAMNOTFOUND;
    } else if (flags & DISPATCH_METHOD) {
      kind = CallKind::kMethod;  // also DISPATCH_METHOD | DISPATCH_PROPERTYGET, as script clients call
    } else if (flags & DISPATCH_PROPERTYGET) {
      kind = CallKind::kGet;
    } else {
      return DISP_E_MEMBERNOTFOUND;
    }
    if (kind != CallKind::kPut && params.cNamedArgs != 0) return DISP_E_NONAMEDARGS;

    if (member->local) {
      if (kind == CallKind::kPut) return members_.Write(id, params.rgvarg[0]);
      if (params.cArgs != 0) return DISP_E_BADPARAMCOUNT;
      return members_.Read(id, result);
    }

    CallFailure failure;
    // A put has no result: whatever the page answers is dropped.
    const HRESULT hr =
        owner_->CallPage(id_, member->name, kind, params, kind == CallKind::kPut ? nullptr : result, failure);
    if (FAILED(hr)) {
      if (failure.argument && argError != nullptr) *argError = *failure.argument;
      ReportFailure(hr, failure.description, exception);
    }
    return hr;
  });
}

// ---- IDispatchEx ----

STDMETHODIMP PageObject::GetDispID(BSTR name, DWORD options, DISPID* id) {
  VADUNA_RETURN_IF_NULL(id);
  if (name == nullptr) {
    *id = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  return members_.IdOf(std::wstring_view(name, ::SysStringLen(name)), (options & fdexNameEnsure) != 0, id);
}

STDMETHODIMP PageObject::InvokeEx(DISPID id, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                  EXCEPINFO* exception, IServiceProvider*) {
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  return Dispatch(id, flags, params != nullptr ? *params : none, result, exception, nullptr);
}

STDMETHODIMP PageObject::DeleteMemberByName(BSTR name, DWORD) {
  if (name == nullptr) return S_FALSE;
  const std::optional<DISPID> id = members_.Lookup(std::wstring_view(name, ::SysStringLen(name)));
  if (!id) return S_FALSE;
  return DeleteMemberByDispID(*id);
}

STDMETHODIMP PageObject::DeleteMemberByDispID(DISPID id) {
  // Only a local member can be deleted; the page's own members are the page's.
  return members_.Delete(id) == S_OK ? S_OK : S_FALSE;
}

STDMETHODIMP PageObject::GetMemberProperties(DISPID, DWORD, DWORD* properties) {
  if (properties != nullptr) *properties = 0;
  return E_NOTIMPL;
}

STDMETHODIMP PageObject::GetMemberName(DISPID id, BSTR* name) {
  VADUNA_RETURN_IF_NULL(name);
  *name = nullptr;
  return HresultBoundary([&]() -> HRESULT {
    const std::optional<MemberTable::Member> member = members_.Find(id);
    if (!member) return DISP_E_UNKNOWNNAME;
    *name = CopyString(member->name);
    return *name != nullptr ? S_OK : E_OUTOFMEMORY;
  });
}

STDMETHODIMP PageObject::GetNextDispID(DWORD, DISPID id, DISPID* next) { return members_.Next(id, next); }

STDMETHODIMP PageObject::GetNameSpaceParent(IUnknown** parent) {
  VADUNA_RETURN_IF_NULL(parent);
  *parent = nullptr;
  return E_NOTIMPL;
}

// ---- ISupportErrorInfo ----

STDMETHODIMP PageObject::InterfaceSupportsErrorInfo(REFIID iid) {
  return iid == IID_IDispatch || iid == IID_IDispatchEx ? S_OK : S_FALSE;
}

}  // namespace vaduna::connector
