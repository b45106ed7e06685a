// The proxy/stub classes of the interfaces the server reaches the connector's
// page objects through, looked up once and registered in the process
// (CoRegisterPSClsid), where COM's marshalling looks first: Wine 8 looks each
// one up in the registry for every page object that crosses to the server,
// and leaks a key handle on each lookup that finds nothing.
#pragma once

#include <windows.h>

#include <string>

namespace vaduna::connector {

// S_OK, or the first failure with the interfaces that failed in failure (for the log); the marshalling of
// those still works as before, through the registry.
HRESULT RegisterProxyStubClasses(std::string& failure) noexcept;

}  // namespace vaduna::connector
