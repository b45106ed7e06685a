// The class object of every row of the class table: an ordinary factory that
// makes a new object per CreateInstance. Its own count does not hold the
// server: only LockServer and the objects it makes do.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "base/com_object.h"
#include "hosting/class_table.h"

namespace vaduna {

// IUnknown and IClassFactory only.
class ClassFactory final : public ComObject<IClassFactory> {
 public:
  explicit ClassFactory(InstanceCreator creator) noexcept : creator_(creator) {}

  // E_POINTER for a null out; CLASS_E_NOAGGREGATION for a controlling object
  // with any interface but IUnknown; CO_E_SERVER_STOPPING, with nothing made,
  // once the server is stopping; otherwise the instance creator's result.
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
  // A client lock taken (CO_E_SERVER_STOPPING once the server is stopping)
  // or given back (S_OK, also when there is none to give back). Counted
  // process-wide, not per client.
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;
 private:
  const InstanceCreator creator_;
};

// The class-object creator of every row: a new ClassFactory for creator,
// asked for iid. E_POINTER for a null out, E_OUTOFMEMORY without memory, or
// the QueryInterface result (the factory is destroyed unless it is S_OK).
HRESULT CreateClassObject(InstanceCreator creator, REFIID iid, void** out) noexcept;

}  // namespace vaduna
