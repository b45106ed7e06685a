// A property set: the client's handle on a node of the page's data (named
// string properties, a type, a value and child property sets), all of which
// live in the script property set it wraps.
#pragma once

#include "object_model/script/script_contract.h"
#include "object_model/dual_script_wrapper.h"
#include "object_model/wrapper_calls.h"

namespace vaduna {

class PropertySetObject final
    : public DualScriptWrapper<IVadunaPropertySet, ObjectKind::PropertySet, CLSID_VadunaPropertySet> {
 public:
  PropertySetObject(IUnknown* outer, ServerContext& context) noexcept : DualScriptWrapper(outer, context) {}

  // Properties, type and value: each is one call of the script member of the
  // same name, its answer read by the string, count or truth rule.
  HRESULT STDMETHODCALLTYPE GetPropertyCount(long* count) override {
    return ForwardCountGetter(*this, script::kGetPropertyCount, count);
  }
  HRESULT STDMETHODCALLTYPE GetFirstProperty(BSTR* pPropName) override {
    return ForwardStringGetter(*this, script::kGetFirstProperty, pPropName);
  }
  HRESULT STDMETHODCALLTYPE GetNextProperty(BSTR* pPropName) override {
    return ForwardStringGetter(*this, script::kGetNextProperty, pPropName);
  }
  HRESULT STDMETHODCALLTYPE GetProperty(BSTR propName, BSTR* pPropVal) override {
    return ForwardStringGetter(*this, script::kGetProperty, propName, pPropVal);
  }
  HRESULT STDMETHODCALLTYPE GetType(BSTR* pType) override {
    return ForwardStringGetter(*this, script::kGetType, pType);
  }
  HRESULT STDMETHODCALLTYPE GetValue(BSTR* pValue) override {
    return ForwardStringGetter(*this, script::kGetValue, pValue);
  }
  HRESULT STDMETHODCALLTYPE PropertyExists(BSTR propName, VARIANT_BOOL* pBool) override {
    return ForwardTruthSetter(*this, script::kPropertyExists, propName, pBool);
  }
  HRESULT STDMETHODCALLTYPE RemoveProperty(BSTR propName, VARIANT_BOOL* pBool) override {
    return ForwardTruthSetter(*this, script::kRemoveProperty, propName, pBool);
  }
  HRESULT STDMETHODCALLTYPE SetType(BSTR type, VARIANT_BOOL* pBool) override {
    return ForwardTruthSetter(*this, script::kSetType, type, pBool);
  }
  HRESULT STDMETHODCALLTYPE SetValue(BSTR value, VARIANT_BOOL* pBool) override {
    return ForwardTruthSetter(*this, script::kSetValue, value, pBool);
  }
  HRESULT STDMETHODCALLTYPE GetChildCount(long* count) override {
    return ForwardCountGetter(*this, script::kGetChildCount, count);
  }

  // The script answers nothing to these: a call that went through counts as done.
  HRESULT STDMETHODCALLTYPE SetProperty(BSTR propName, BSTR propVal, VARIANT_BOOL* pBool) override;
  HRESULT STDMETHODCALLTYPE Reset(VARIANT_BOOL* pBool) override;

  // Children and copying (property_set_children.cpp).
  HRESULT STDMETHODCALLTYPE AddChild(IVadunaPropertySet* pChild, long* index) override;
  HRESULT STDMETHODCALLTYPE Copy(IVadunaPropertySet** pCopy) override;
  HRESULT STDMETHODCALLTYPE GetChild(long index, IVadunaPropertySet** pChild) override;
  HRESULT STDMETHODCALLTYPE InsertChildAt(IVadunaPropertySet* pChild, long index, VARIANT_BOOL* pBool) override;
  HRESULT STDMETHODCALLTYPE RemoveChild(long index, VARIANT_BOOL* pBool) override;
};

}  // namespace vaduna
