// The connector's way to the desktop integration server: its application
// object, created through the COM runtime and called late-bound by member
// name, as a page's script would call it.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <wrl/client.h>
#include "vaduna_contract.h"

namespace vaduna::connector {

class ServerConnection {
 public:
  // A new application object of the server (its IDispatch).
  virtual HRESULT CreateApplication(Microsoft::WRL::ComPtr<IDispatch>& application) noexcept = 0;
  // One cheap round trip to the server holding application; fails with a code IsServerGone knows once that
  // server has ended.
  virtual HRESULT Probe(IDispatch* application) noexcept = 0;

 protected:
  ~ServerConnection() = default;
};

// The registered server, started by the COM runtime as a local server.
class RegisteredServer final : public ServerConnection {
 public:
  HRESULT CreateApplication(Microsoft::WRL::ComPtr<IDispatch>& application) noexcept override;
  HRESULT Probe(IDispatch* application) noexcept override;
};

// Whether code says the object's process is gone (or cut it off), rather than that a call failed.
bool IsServerGone(HRESULT code) noexcept;

// Calls method name of target with no argument or one, late-bound (GetIDsOfNames, then Invoke).
HRESULT CallByName(IDispatch* target, const wchar_t* name, VARIANT* argument = nullptr) noexcept;

}  // namespace vaduna::connector
