// A page object as a COM object of the connector: IDispatchEx (with IDispatch
// and IUnknown) and ISupportErrorInfo, free-threaded (the process lives in the
// multithreaded apartment). Member names are resolved by its own member table;
// a call, property get or put on a remote member is one request to the page,
// made by the object's owner (the page's link). Local members never cross.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <dispex.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/com_object.h"
#include "connector/member_table.h"

namespace vaduna::connector {

enum class CallKind { kMethod, kGet, kPut };

// Why a call failed, beyond its HRESULT.
struct CallFailure {
  std::wstring description;
  std::optional<UINT> argument;  // index into rgvarg of the argument that could not be passed
};

class PageObject;

// What a page object asks of the page it stands for.
class PageObjectOwner {
 public:
  // One call of member on page object target; see PageLink.
  virtual HRESULT CallPage(std::uint64_t target, const std::wstring& member, CallKind kind,
                           const DISPPARAMS& params, VARIANT* result, CallFailure& failure) noexcept = 0;
  // The object's last reference went; it is destroyed right after this returns.
  virtual void LastReleased(PageObject& object) noexcept = 0;

 protected:
  ~PageObjectOwner() = default;
};

// The source of the error records of a failed page call.
inline constexpr wchar_t kErrorSource[] = L"Vaduna page";

// Answered only by the connector's own page objects, so that a COM object
// handed to the connector can be recognised as one of them. In-process only:
// no proxy exists for it, and a remote object never answers it.
inline constexpr IID kPageObjectIid = {0x57fd7712, 0x2f88, 0x4c70, {0x8e, 0x13, 0x88, 0xaa, 0x83, 0x77, 0x68, 0x56}};

class PageObject final
    : public ComObject<IDispatchEx, AlsoAnswers<&IID_IDispatch, IDispatchEx>, AlsoAnswers<&kPageObjectIid, IDispatchEx>,
                       ISupportErrorInfo> {
 public:
  PageObject(std::shared_ptr<PageObjectOwner> owner, std::uint64_t id) noexcept;

  // A new object for page object id, with one reference for the caller.
  static HRESULT Create(std::shared_ptr<PageObjectOwner> owner, std::uint64_t id, PageObject** object) noexcept;

  // The connector's own page object behind object (with one reference), or null for any other object.
  static Microsoft::WRL::ComPtr<PageObject> FromUnknown(IUnknown* object) noexcept;

  std::uint64_t id() const noexcept { return id_; }
  const PageObjectOwner* owner() const noexcept { return owner_.get(); }
  MemberTable& members() noexcept { return members_; }

  // How many references to id the connector received for this object. Kept by the page's object table,
  // under its lock.
  std::uint64_t receipts = 0;

  // IDispatch
  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
  STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* exception, UINT* argError) override;

  // IDispatchEx
  STDMETHODIMP GetDispID(BSTR name, DWORD options, DISPID* id) override;
  STDMETHODIMP InvokeEx(DISPID id, LCID locale, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, IServiceProvider* caller) override;
  STDMETHODIMP DeleteMemberByName(BSTR name, DWORD options) override;
  STDMETHODIMP DeleteMemberByDispID(DISPID id) override;
  STDMETHODIMP GetMemberProperties(DISPID id, DWORD fetch, DWORD* properties) override;
  STDMETHODIMP GetMemberName(DISPID id, BSTR* name) override;
  STDMETHODIMP GetNextDispID(DWORD options, DISPID id, DISPID* next) override;
  STDMETHODIMP GetNameSpaceParent(IUnknown** parent) override;

  // ISupportErrorInfo
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override;

 private:
  void FinalRelease() noexcept override;

  HRESULT Dispatch(DISPID id, WORD flags, const DISPPARAMS& params, VARIANT* result, EXCEPINFO* exception,
                   UINT* argError) noexcept;

  const std::shared_ptr<PageObjectOwner> owner_;
  const std::uint64_t id_;
  MemberTable members_;
};

// Reports a failed call the COM way: an error record (SetErrorInfo) with the description, and for
// DISP_E_EXCEPTION the caller's EXCEPINFO too, when it passed one.
void ReportFailure(HRESULT code, const std::wstring& description, EXCEPINFO* exception) noexcept;

}  // namespace vaduna::connector
