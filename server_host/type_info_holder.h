// Late-bound half of the dual interfaces, answered from the interface's
// description in the registered type library, loaded once on first use.
#pragma once

#include <windows.h>
#include <oaidl.h>

namespace vaduna {

class TypeInfoHolder {
 public:
  TypeInfoHolder(const IID& interfaceId, const GUID& libraryId, WORD major, WORD minor) noexcept;
  TypeInfoHolder(const TypeInfoHolder&) = delete;
  TypeInfoHolder& operator=(const TypeInfoHolder&) = delete;

  // The four IDispatch methods, for the object self whose table is the
  // interface this holder describes.
  HRESULT GetTypeInfoCount(UINT* count) noexcept;
  HRESULT GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) noexcept;
  HRESULT GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) noexcept;
  HRESULT Invoke(IDispatch* self, DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* exception, UINT* argError) noexcept;

 private:
  struct NameCacheEntry;
  HRESULT EnsureLoaded(LCID locale) noexcept;
  HRESULT BuildNameCache() noexcept;
  static void CleanUp(void* holder) noexcept;

  const IID& interfaceId_;
  const GUID& libraryId_;
  WORD major_;
  WORD minor_;
  ITypeInfo* typeInfo_ = nullptr;
  NameCacheEntry* nameCache_ = nullptr;
  LONG cacheCount_ = 0;
};

// The process-wide holders, one per dual interface.
TypeInfoHolder& ApplicationTypeInfo() noexcept;
TypeInfoHolder& ServiceTypeInfo() noexcept;
TypeInfoHolder& PropertySetTypeInfo() noexcept;

}  // namespace vaduna
