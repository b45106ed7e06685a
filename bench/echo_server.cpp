// A minimal local server for the connector bench: one class whose objects
// answer IDispatch at once, so that a caller measures a cross-process COM
// round trip and nothing else. It stands in for the connector's page objects
// as the server sees them: a free-threaded static executable in the
// multithreaded apartment, reached through the IDispatch proxy, asked for a
// member by name (GetIDsOfNames) and then invoked, answering a string.
//
// Started by the COM runtime with -Embedding (the bench's runner registers
// kEchoClsid as LocalServer32 in its own prefix). It ends when the last
// object it gave out is released, or after kLongestLife whatever happens.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <atomic>
#include <new>

#include "base/com_object.h"
#include "base/pointer_guard.h"
#include "base/unique_resource.h"
#include "bench/echo_contract.h"

namespace {

// A bench run is over long before this; an echo server left by a broken run does not stay.
constexpr DWORD kLongestLifeMs = 2 * 60 * 60 * 1000;

std::atomic<LONG> g_objects{0};
HANDLE g_lastObjectGone = nullptr;

void ObjectCreated() noexcept { ++g_objects; }
void ObjectDestroyed() noexcept {
  if (--g_objects == 0) ::SetEvent(g_lastObjectGone);
}

class EchoObject final : public vaduna::ComObject<IDispatch> {
 public:
  EchoObject() noexcept { ObjectCreated(); }

  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    VADUNA_RETURN_IF_NULL(count);
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info != nullptr) *info = nullptr;
    return DISP_E_BADINDEX;
  }
  // Any name is known (the bench asks for "Name"): its id is always the same.
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i) ids[i] = i == 0 ? bench::kEchoMemberId : DISPID_UNKNOWN;
    return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
  }
  // The member answers the same string as the bench page's service name.
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*, UINT*) override {
    if (id != bench::kEchoMemberId) return DISP_E_MEMBERNOTFOUND;
    if (result == nullptr) return S_OK;
    ::VariantInit(result);
    result->bstrVal = ::SysAllocString(bench::kEchoAnswer);
    if (result->bstrVal == nullptr) return E_OUTOFMEMORY;
    result->vt = VT_BSTR;
    return S_OK;
  }

 private:
  void FinalRelease() noexcept override {
    delete this;
    ObjectDestroyed();
  }
};

// Made once and registered; the registration holds it until revoked.
class EchoFactory final : public vaduna::ComObject<IClassFactory> {
 public:

  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    VADUNA_RETURN_IF_NULL(object);
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    const Microsoft::WRL::ComPtr<EchoObject> created = vaduna::MakeObject<EchoObject>();
    if (!created) return E_OUTOFMEMORY;
    return created->QueryInterface(iid, object);  // the caller's reference, if any
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};


}  // namespace

int wmain(int, wchar_t**) {
  vaduna::UniqueHandle lastObjectGone(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!lastObjectGone) return 1;
  g_lastObjectGone = lastObjectGone.get();
  if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  const Microsoft::WRL::ComPtr<EchoFactory> factory = vaduna::MakeObject<EchoFactory>();
  DWORD cookie = 0;
  HRESULT hr = factory ? ::CoRegisterClassObject(bench::kEchoClsid, factory.Get(), CLSCTX_LOCAL_SERVER,
                                                 REGCLS_MULTIPLEUSE, &cookie)
                       : E_OUTOFMEMORY;
  if (SUCCEEDED(hr)) {
    // Until a first object was made and the last one went; the multithreaded apartment needs no message loop.
    ::WaitForSingleObject(g_lastObjectGone, kLongestLifeMs);
    ::CoRevokeClassObject(cookie);
  }
  ::CoUninitialize();
  return SUCCEEDED(hr) ? 0 : 1;
}
