#include "connector/proxy_stub_classes.h"

#include <objbase.h>
#include <dispex.h>
#include <oaidl.h>

#include "vaduna_html.h"

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
  // The server asks each object a page hands it for its private IServerObject (to refuse its own objects),
  // which has no proxy/stub class anywhere. Wine looks for one before it asks the object, in the registry, and
  // leaks a key handle whenever it finds none. ISupportErrorInfo's class serves a fixed list of interfaces and
  // refuses any other without a look in the registry (IDispatch's would look for a type library), so the
  // question is answered as before: the page object has no such interface.
  CLSID listClass;
  HRESULT hr = ::CoGetPSClsid(IID_ISupportErrorInfo, &listClass);
  if (SUCCEEDED(hr)) hr = ::CoRegisterPSClsid(IID_IServerObject, listClass);
  if (FAILED(hr)) {
    failure += failure.empty() ? "IServerObject" : ", IServerObject";
    if (SUCCEEDED(first)) first = hr;
  }
  return first;
}

}  // namespace vaduna::connector
