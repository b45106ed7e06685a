// The registry key handles a process leaves open by marshalling its own
// objects for another process under Wine, without the connector: COUNT new
// objects, each marshalled once per interface the connector's page objects
// are reached through (as a server process reaching them makes happen), and
// this process's key handles counted before and after, with their names.
// With --pinned, the interfaces' proxy/stub classes are registered in the
// process first (the connector's work-around).
//
//   vaduna_marshal_keys COUNT [--pinned]
#include <windows.h>
#include <objbase.h>
#include <dispex.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "bench/process_memory.h"
#include "vaduna_html.h"
#include "connector/proxy_stub_classes.h"

namespace {

// An object with the connector's page objects' interfaces and nothing behind them.
class Token final : public IDispatchEx, public ISupportErrorInfo {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IDispatchEx) {
      *out = static_cast<IDispatchEx*>(this);
    } else if (iid == IID_ISupportErrorInfo) {
      *out = static_cast<ISupportErrorInfo*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ::InterlockedIncrement(&refs_); }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = ::InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return left;
  }
  STDMETHODIMP GetTypeInfoCount(UINT* count) override { return *count = 0, S_OK; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP GetDispID(BSTR, DWORD, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP InvokeEx(DISPID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, IServiceProvider*) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP DeleteMemberByName(BSTR, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP DeleteMemberByDispID(DISPID) override { return E_NOTIMPL; }
  STDMETHODIMP GetMemberProperties(DISPID, DWORD, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP GetMemberName(DISPID, BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP GetNextDispID(DWORD, DISPID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP GetNameSpaceParent(IUnknown**) override { return E_NOTIMPL; }
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID) override { return S_OK; }

 private:
  LONG refs_ = 1;
};

// This process's key handles now (the one opened to find their type index included), with the most frequent
// name printed.
DWORD KeyHandles(const char* when) {
  HKEY own = nullptr;
  ::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &own);
  std::string error;
  const std::optional<unsigned> keyType = bench::HandleTypeIndex(static_cast<HANDLE>(own), error);
  DWORD count = 0;
  std::wstring top;
  DWORD topCount = 0;
  if (keyType) {
    for (const auto& [name, n] : bench::HandleNames(::GetCurrentProcessId(), *keyType, error)) {
      count += n;
      if (n > topCount) topCount = n, top = name;
    }
  }
  ::RegCloseKey(own);
  std::printf("%s: %lu key handles; most under one name: %lu %ls\n", when, static_cast<unsigned long>(count),
              static_cast<unsigned long>(topCount), top.c_str());
  return count;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const unsigned count = argc > 1 ? static_cast<unsigned>(std::wcstoul(argv[1], nullptr, 10)) : 0;
  const bool pinned = argc > 2 && std::wcscmp(argv[2], L"--pinned") == 0;
  if (count == 0) {
    std::fprintf(stderr, "usage: vaduna_marshal_keys COUNT [--pinned]\n");
    return 2;
  }
  if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  if (pinned) {
    std::string failed;
    const HRESULT hr = vaduna::connector::RegisterProxyStubClasses(failed);
    std::printf("proxy/stub classes registered in the process: 0x%08lX%s%s\n", static_cast<unsigned long>(hr),
                failed.empty() ? "" : ", failed for ", failed.c_str());
  }
  // The last one the object lacks, as page objects lack the server's private interface it asks them for.
  const IID* const interfaces[] = {&IID_IDispatch, &IID_IDispatchEx, &IID_ISupportErrorInfo, &IID_IServerObject};
  // The first objects load the proxy/stub libraries and the like: counted from after them.
  for (unsigned round = 0; round < 2; ++round) {
    const DWORD before = KeyHandles(round == 0 ? "at start" : "after 10 warm-up objects");
    const unsigned objects = round == 0 ? 10 : count;
    HRESULT failure = S_OK;
    for (unsigned i = 0; i < objects; ++i) {
      Token* token = new Token();
      for (const IID* iid : interfaces) {
        IStream* stream = nullptr;
        if (FAILED(::CreateStreamOnHGlobal(nullptr, TRUE, &stream))) continue;
        // For another process on this computer: the stub, and the lookup of its class, are made here.
        const HRESULT hr = ::CoMarshalInterface(stream, *iid, static_cast<IDispatchEx*>(token), MSHCTX_LOCAL, nullptr,
                                                MSHLFLAGS_NORMAL);
        if (SUCCEEDED(hr)) {
          LARGE_INTEGER start{};
          stream->Seek(start, STREAM_SEEK_SET, nullptr);
          ::CoReleaseMarshalData(stream);
        } else if (SUCCEEDED(failure) && *iid != IID_IServerObject) {
          failure = hr;
        }
        // The object lacks it: the marshalling must say so, as it does without the registered class.
        if (*iid == IID_IServerObject && i == 0 && round == 0) {
          std::printf("marshalling for the missing interface: 0x%08lX\n", static_cast<unsigned long>(hr));
        }
        stream->Release();
      }
      ::CoDisconnectObject(static_cast<IDispatchEx*>(token), 0);
      token->Release();
    }
    const DWORD after = KeyHandles(round == 0 ? "after 10 warm-up objects" : "after the objects");
    if (round == 1) {
      std::printf("%u objects, %u interfaces each%s: key handles %+ld (%.2f per object)%s\n", objects, 4u,
                  pinned ? ", proxy/stub classes registered" : "", static_cast<long>(after) - static_cast<long>(before),
                  (static_cast<double>(after) - before) / objects, FAILED(failure) ? " (a marshalling failed)" : "");
    }
  }
  ::CoUninitialize();
  return 0;
}
