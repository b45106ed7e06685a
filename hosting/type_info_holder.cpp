#include "hosting/type_info_holder.h"

#include <wrl/client.h>

#include <cwchar>
#include <memory>
#include <vector>

#include "base/pointer_guard.h"
#include "base/hresult.h"
#include "base/unique_resource.h"

namespace vaduna {

using Microsoft::WRL::ComPtr;

namespace {
// The locale of the server's type library (English), under which registration records it.
constexpr LCID kLibraryLocale = 0x0409;
}  // namespace

TypeInfoHolder::TypeInfoHolder(const IID& interfaceId, const GUID& libraryId, WORD major, WORD minor,
                               ServerModule& module) noexcept
    : interfaceId_(interfaceId), libraryId_(libraryId), major_(major), minor_(minor), module_(module) {}

HRESULT TypeInfoHolder::GetTypeInfoCount(UINT* count) noexcept {
  VADUNA_RETURN_IF_NULL(count);
  *count = 1;
  return S_OK;
}

HRESULT TypeInfoHolder::GetTypeInfo(UINT /*index*/, LCID locale, ITypeInfo** info) noexcept {
  VADUNA_RETURN_IF_NULL(info);
  HRESULT hr = S_OK;
  if (typeInfo_.load() == nullptr) hr = EnsureLoaded(locale);
  ComPtr<ITypeInfo> loaded = HeldTypeInfo();
  *info = loaded.Detach();  // the caller's reference
  if (*info == nullptr) return FAILED(hr) ? hr : E_UNEXPECTED;
  return S_OK;
}

HRESULT TypeInfoHolder::GetIDsOfNames(REFIID /*iid*/, LPOLESTR* names, UINT count, LCID locale,
                                      DISPID* ids) noexcept {
  // The platform's lookup does not survive null arrays.
  if (count != 0 && (names == nullptr || ids == nullptr)) return E_POINTER;
  const HRESULT hr = EnsureLoaded(locale);
  const ComPtr<ITypeInfo> loaded = HeldTypeInfo();
  if (!loaded) return hr;
  if (count == 1 && names[0] != nullptr) {
    DISPID id = DISPID_UNKNOWN;
    if (FindCachedName(names[0], &id)) {
      ids[0] = id;
      return S_OK;
    }
  }
  ++typeInfoLookups_;
  // Ignores case and also resolves parameter names.
  return loaded->GetIDsOfNames(names, count, ids);
}

HRESULT TypeInfoHolder::Invoke(IDispatch* self, DISPID id, REFIID /*iid*/, LCID locale, WORD flags,
                               DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                               UINT* argError) noexcept {
  const HRESULT hr = EnsureLoaded(locale);
  const ComPtr<ITypeInfo> loaded = HeldTypeInfo();
  if (!loaded) return hr;
  return loaded->Invoke(self, id, flags, params, result, exception, argError);
}

ComPtr<ITypeInfo> TypeInfoHolder::HeldTypeInfo() const noexcept {
  SrwShared hold(typeInfoLock_);
  return ComPtr<ITypeInfo>(typeInfo_.load());
}

HRESULT TypeInfoHolder::EnsureLoaded(LCID locale) noexcept {
  if (typeInfo_.load() != nullptr && nameCache_.load() != nullptr) return S_OK;
  CriticalSectionGuard guard(module_.StaticLock());
  HRESULT hr = S_OK;
  if (typeInfo_.load() == nullptr) hr = LoadTypeInfo(locale);
  // A cache that cannot be built leaves lookups to the type information.
  if (typeInfo_.load() != nullptr && nameCache_.load() == nullptr) BuildNameCache();
  return hr;
}

HRESULT TypeInfoHolder::LoadTypeInfo(LCID locale) noexcept {
  ComPtr<ITypeLib> library;
  HRESULT hr = ::LoadRegTypeLib(libraryId_, major_, minor_, locale, &library);
  // The library is registered under its own locale only: a caller in any
  // other locale gets that one rather than a "not registered" failure.
  if (FAILED(hr) && locale != kLibraryLocale &&
      SUCCEEDED(::LoadRegTypeLib(libraryId_, major_, minor_, kLibraryLocale, &library))) {
    hr = S_OK;
  }
  VADUNA_RETURN_IF_FAILED(hr);
  ComPtr<ITypeInfo> info;
  VADUNA_RETURN_IF_FAILED(library->GetTypeInfoOfGuid(interfaceId_, &info));
  ComPtr<ITypeInfo2> extended;
  // The holder keeps one reference, on the extended interface when there is one.
  typeInfo_.store(SUCCEEDED(info.As(&extended)) ? extended.Detach() : info.Detach());
  (void)module_.AddTermFunc(&CleanUp, this);
  return S_OK;
}

HRESULT TypeInfoHolder::BuildNameCache() noexcept {
  ITypeInfo* info = typeInfo_.load();
  TYPEATTR* attributes = nullptr;
  if (FAILED(info->GetTypeAttr(&attributes))) return S_OK;
  const UINT count = attributes->cFuncs;
  info->ReleaseTypeAttr(attributes);
  return HresultBoundary([&] {
    auto cache = std::make_unique<NameCache>();
    cache->entries.resize(count);
    for (UINT i = 0; i < count; ++i) {
      FUNCDESC* function = nullptr;
      if (FAILED(info->GetFuncDesc(i, &function))) continue;
      NameCache::Entry& entry = cache->entries[i];
      if (SUCCEEDED(info->GetDocumentation(function->memid, entry.name.put(), nullptr, nullptr, nullptr))) {
        entry.length = ::SysStringLen(entry.name.get());
        entry.dispid = function->memid;
      }
      info->ReleaseFuncDesc(function);
    }
    // Published only now: a reader never sees a half-built cache.
    nameCacheOwner_ = std::move(cache);
    nameCache_.store(nameCacheOwner_.get());
    return S_OK;
  });
}

bool TypeInfoHolder::FindCachedName(const OLECHAR* name, DISPID* id) const noexcept {
  const NameCache* cache = nameCache_.load();
  if (cache == nullptr) return false;
  const size_t length = std::wcslen(name);
  // Exact case: the length, then the raw 16-bit units; the highest index wins.
  for (auto entry = cache->entries.rbegin(); entry != cache->entries.rend(); ++entry) {
    if (!entry->name || entry->length != length) continue;
    if (std::wmemcmp(entry->name.get(), name, length) != 0) continue;
    *id = entry->dispid;
    return true;
  }
  return false;
}

void TypeInfoHolder::CleanUp(void* holder) noexcept {
  auto* self = static_cast<TypeInfoHolder*>(holder);
  ITypeInfo* info = nullptr;
  {
    SrwExclusive hold(self->typeInfoLock_);
    info = self->typeInfo_.exchange(nullptr);
  }
  // Calls under way keep theirs; the name cache stays for them.
  if (info != nullptr) info->Release();
}

}  // namespace vaduna
