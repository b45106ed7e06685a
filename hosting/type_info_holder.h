// Late-bound half of the dual interfaces, answered from the interface's
// description in the registered type library, loaded once on first use.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <wrl/client.h>

#include <atomic>
#include <memory>
#include <vector>

#include "base/unique_resource.h"
#include "hosting/server_module.h"

namespace vaduna {

class TypeInfoHolder {
 public:
  // Loading is serialised by module's staticLock, and the holder's clean-up
  // is registered on module's termination list.
  TypeInfoHolder(const IID& interfaceId, const GUID& libraryId, WORD major, WORD minor,
                 ServerModule& module = Module()) noexcept;
  TypeInfoHolder(const TypeInfoHolder&) = delete;
  TypeInfoHolder& operator=(const TypeInfoHolder&) = delete;

  // The four IDispatch methods, for the object self whose table is the
  // interface this holder describes. A failed load is tried again by the next call.
  HRESULT GetTypeInfoCount(UINT* count) noexcept;
  // Every index gives the same type information.
  HRESULT GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) noexcept;
  // One name in the exact case of the type library is answered from the name
  // cache; anything else goes to ITypeInfo::GetIDsOfNames. Null arrays: E_POINTER.
  HRESULT GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) noexcept;
  HRESULT Invoke(IDispatch* self, DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* exception, UINT* argError) noexcept;

  // How many name lookups went to the type information (not the cache); the
  // tests read it to prove that the cache answers.
  LONG TypeInfoLookups() const noexcept { return typeInfoLookups_.load(); }

 private:
  // Entry i describes function i of the type information; an entry whose
  // function or name was not available stays empty and never matches.
  struct NameCache {
    struct Entry {
      UniqueBstr name;
      UINT length = 0;
      DISPID dispid = DISPID_UNKNOWN;
    };
    std::vector<Entry> entries;
  };
  HRESULT EnsureLoaded(LCID locale) noexcept;
  HRESULT LoadTypeInfo(LCID locale) noexcept;
  HRESULT BuildNameCache() noexcept;
  bool FindCachedName(const OLECHAR* name, DISPID* id) const noexcept;
  static void CleanUp(void* holder) noexcept;

  // The type information with a reference for the caller, or null. A call
  // holds it for its whole length, so that termination under it frees nothing.
  Microsoft::WRL::ComPtr<ITypeInfo> HeldTypeInfo() const noexcept;

  const IID& interfaceId_;
  const GUID& libraryId_;
  WORD major_;
  WORD minor_;
  ServerModule& module_;
  // Each is published only when complete. The type information's reference
  // belongs to the holder and is given back by its termination callback,
  // which takes it out under typeInfoLock_; readers take theirs under it.
  std::atomic<ITypeInfo*> typeInfo_{nullptr};
  mutable SRWLOCK typeInfoLock_ = SRWLOCK_INIT;
  // Read without a lock. Once built it stays for the holder's life: a call
  // under way during termination may still be reading it.
  std::atomic<const NameCache*> nameCache_{nullptr};
  std::unique_ptr<NameCache> nameCacheOwner_;  // changed under staticLock only
  std::atomic<LONG> typeInfoLookups_{0};
};

// The process-wide holder of the dual interface Dual, described in the type
// library that Library names: a type with `static const GUID& Id()` and the
// version numbers `kMajor` and `kMinor`. Made on first use and never
// destroyed: a call may still reach it while the process's exit processing runs.
template <class Dual, class Library>
TypeInfoHolder& TypeInfoFor() noexcept {
  static TypeInfoHolder* const holder =
      new TypeInfoHolder(__uuidof(Dual), Library::Id(), Library::kMajor, Library::kMinor);
  return *holder;
}

}  // namespace vaduna
