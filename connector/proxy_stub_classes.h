// The proxy/stub classes of the interfaces the connector's page objects are
// exported with, looked up once and registered in the process
// (CoRegisterPSClsid), where COM's marshalling looks first. Wine 8 leaks a
// registry key handle on each lookup it makes in the registry, that is once
// per interface of every page object that crosses to the server.
#pragma once

#include <windows.h>

#include <string>

namespace vaduna::connector {

// S_OK, or the first failure with the interfaces that failed in failure (for the log); the marshalling of
// those still works as before, through the registry.
HRESULT RegisterProxyStubClasses(std::string& failure) noexcept;

}  // namespace vaduna::connector
