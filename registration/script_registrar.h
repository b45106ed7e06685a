// Holds the placeholders of one script run and runs "REGISTRY" resources of
// a module file with them.
#pragma once

#include <windows.h>

#include "registration/placeholder_table.h"

namespace vaduna {

// Not reference counted: made as a local object for one run. The first three
// slots exist for callers that expect the platform's object layout.
class ScriptRegistrar {
 public:
  // Throws HResultError when its lock cannot be made.
  ScriptRegistrar() = default;
  ScriptRegistrar(const ScriptRegistrar&) = delete;
  ScriptRegistrar& operator=(const ScriptRegistrar&) = delete;

  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) noexcept { return E_NOTIMPL; }
  virtual ULONG STDMETHODCALLTYPE AddRef() noexcept { return 1; }
  virtual ULONG STDMETHODCALLTYPE Release() noexcept { return 0; }
  // E_INVALIDARG for a missing name or value, E_OUTOFMEMORY adds nothing.
  // A second pair under a name already present is never found by a lookup.
  virtual HRESULT STDMETHODCALLTYPE AddPlaceholder(const wchar_t* name, const wchar_t* value) noexcept {
    return placeholders_.Add(name, value);
  }
  virtual HRESULT STDMETHODCALLTYPE ClearPlaceholders() noexcept {
    placeholders_.Clear();
    return S_OK;
  }
  virtual ~ScriptRegistrar() = default;

  // Loads modulePath as a data file, converts the 8-bit resource (id, type)
  // in the conversion code page and runs it with this registrar's
  // placeholders. Loader and conversion failures come from the last error.
  HRESULT RunScriptResource(const wchar_t* modulePath, UINT resourceId, const wchar_t* resourceType,
                            bool doRegister) noexcept;

  // Read by the tests, which check the placeholders a run was given.
  const PlaceholderTable& Placeholders() const noexcept { return placeholders_; }

 private:
  PlaceholderTable placeholders_;
};

}  // namespace vaduna
