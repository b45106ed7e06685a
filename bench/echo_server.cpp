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

class EchoObject final : public IDispatch {
 public:
  EchoObject() noexcept { ObjectCreated(); }

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG count = --refs_;
    if (count == 0) {
      delete this;
      ObjectDestroyed();
    }
    return count;
  }

  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
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
  ~EchoObject() = default;
  std::atomic<ULONG> refs_{1};
};

class EchoFactory final : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *object = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // The factory is a static of this process: no count.
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }

  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    EchoObject* created = new (std::nothrow) EchoObject();
    if (created == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = created->QueryInterface(iid, object);
    created->Release();  // the caller's reference, if any, is the one QueryInterface added
    return hr;
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

EchoFactory g_factory;

}  // namespace

int wmain(int, wchar_t**) {
  vaduna::UniqueHandle lastObjectGone(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!lastObjectGone) return 1;
  g_lastObjectGone = lastObjectGone.get();
  if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  DWORD cookie = 0;
  HRESULT hr = ::CoRegisterClassObject(bench::kEchoClsid, &g_factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                       &cookie);
  if (SUCCEEDED(hr)) {
    // Until a first object was made and the last one went; the multithreaded apartment needs no message loop.
    ::WaitForSingleObject(g_lastObjectGone, kLongestLifeMs);
    ::CoRevokeClassObject(cookie);
  }
  ::CoUninitialize();
  return SUCCEEDED(hr) ? 0 : 1;
}
