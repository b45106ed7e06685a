// A property set: the client's handle on a node of the page's data (named
// string properties, a type, a value and child property sets), all of which
// live in the script property set it wraps.
#pragma once

#include "object_model/server_object_base.h"

namespace vaduna {

class PropertySetObject final : public DualObject<ServerObjectBase, IVadunaPropertySet> {
 public:
  explicit PropertySetObject(IUnknown* outer) noexcept;

  ObjectKind Kind() const noexcept override { return ObjectKind::PropertySet; }
  const CLSID& ClassId() const noexcept override { return CLSID_VadunaPropertySet; }

  // Children and copying.
  HRESULT STDMETHODCALLTYPE AddChild(IVadunaPropertySet* pChild, long* index) override;
  HRESULT STDMETHODCALLTYPE Copy(IVadunaPropertySet** pCopy) override;
  HRESULT STDMETHODCALLTYPE GetChild(long index, IVadunaPropertySet** pChild) override;
  HRESULT STDMETHODCALLTYPE GetChildCount(long* count) override;
  HRESULT STDMETHODCALLTYPE InsertChildAt(IVadunaPropertySet* pChild, long index, VARIANT_BOOL* pBool) override;
  HRESULT STDMETHODCALLTYPE RemoveChild(long index, VARIANT_BOOL* pBool) override;

  // Properties, type and value.
  HRESULT STDMETHODCALLTYPE GetPropertyCount(long* count) override;
  HRESULT STDMETHODCALLTYPE GetFirstProperty(BSTR* pPropName) override;
  HRESULT STDMETHODCALLTYPE GetNextProperty(BSTR* pPropName) override;
  HRESULT STDMETHODCALLTYPE GetProperty(BSTR propName, BSTR* pPropVal) override;
  HRESULT STDMETHODCALLTYPE GetType(BSTR* pType) override;
  HRESULT STDMETHODCALLTYPE GetValue(BSTR* pValue) override;
  HRESULT STDMETHODCALLTYPE PropertyExists(BSTR propName, VARIANT_BOOL* pBool) override;
  HRESULT STDMETHODCALLTYPE RemoveProperty(BSTR propName, VARIANT_BOOL* pBool) override;
  HRESULT STDMETHODCALLTYPE Reset(VARIANT_BOOL* pBool) override;
  HRESULT STDMETHODCALLTYPE SetProperty(BSTR propName, BSTR propVal, VARIANT_BOOL* pBool) override;
  HRESULT STDMETHODCALLTYPE SetType(BSTR type, VARIANT_BOOL* pBool) override;
  HRESULT STDMETHODCALLTYPE SetValue(BSTR value, VARIANT_BOOL* pBool) override;
  HRESULT STDMETHODCALLTYPE GetLastErrCode(INT* errCode) override;
  HRESULT STDMETHODCALLTYPE GetLastErrText(BSTR* Text) override;
};

}  // namespace vaduna
