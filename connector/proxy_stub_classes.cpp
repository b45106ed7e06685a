#include "connector/proxy_stub_classes.h"

#include <objbase.h>
#include <dispex.h>
#include <oaidl.h>

namespace vaduna::connector {

HRESULT RegisterProxyStubClasses(std::string& failure) noexcept {
  struct Exported {
    const IID* iid;
    const char* name;
  };
  // What PageObject answers to QueryInterface, IUnknown aside (it needs no proxy/stub class).
  static constexpr Exported kExported[] = {
      {&IID_IDispatch, "IDispatch"}, {&IID_IDispatchEx, "IDispatchEx"}, {&IID_ISupportErrorInfo, "ISupportErrorInfo"}};
  HRESULT first = S_OK;
  for (const Exported& exported : kExported) {
    CLSID clsid;
    HRESULT hr = ::CoGetPSClsid(*exported.iid, &clsid);
    if (SUCCEEDED(hr)) hr = ::CoRegisterPSClsid(*exported.iid, clsid);
    if (FAILED(hr)) {
      failure += failure.empty() ? exported.name : std::string(", ") + exported.name;
      if (SUCCEEDED(first)) first = hr;
    }
  }
  return first;
}

}  // namespace vaduna::connector
