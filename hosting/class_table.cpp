#include "hosting/class_table.h"

#include <wrl/client.h>

namespace vaduna {

HRESULT RegisterClassObjects(ClassEntry* table, DWORD context, DWORD flags) noexcept {
  HRESULT hr = S_OK;
  for (ClassEntry* row = table; row->clsid != nullptr && hr == S_OK; ++row) {
    Microsoft::WRL::ComPtr<IUnknown> classObject;  // the runtime keeps its own reference
    hr = row->classObjectCreator(row->instanceCreator, IID_PPV_ARGS(&classObject));
    if (SUCCEEDED(hr)) hr = ::CoRegisterClassObject(*row->clsid, classObject.Get(), context, flags, &row->cookie);
  }
  return hr;
}

HRESULT RevokeClassObjects(ClassEntry* table) noexcept {
  HRESULT hr = S_OK;
  for (ClassEntry* row = table; row->clsid != nullptr && hr == S_OK; ++row) {
    if (row->cookie != 0) hr = ::CoRevokeClassObject(row->cookie);  // the cookie is kept
  }
  return hr;
}

}  // namespace vaduna
