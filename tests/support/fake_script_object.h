// A script object written in C++ for the tests: an IDispatchEx (or a plain
// IDispatch) whose members are set up by the test, which counts its
// references and records every lookup and invocation with its arguments.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <dispex.h>
#include <wrl/client.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/com_object.h"

namespace vaduna::test {

// A VARIANT with value semantics (VariantCopy on copy, VariantClear on destruction).
class VariantValue {
 public:
  VariantValue() noexcept { ::VariantInit(&value_); }
  VariantValue(const VARIANT& value);  // NOLINT: implicit on purpose
  VariantValue(const VariantValue& other);
  VariantValue& operator=(const VariantValue& other);
  ~VariantValue() { ::VariantClear(&value_); }

  const VARIANT& get() const noexcept { return value_; }
  VARIANT* put() noexcept {
    ::VariantClear(&value_);
    return &value_;
  }
  VARTYPE vt() const noexcept { return value_.vt; }

 private:
  VARIANT value_;
};

VariantValue Empty();
VariantValue Null();
VariantValue I4(LONG value);
VariantValue Bool(bool value);
VariantValue Str(const wchar_t* text);  // VT_BSTR with a new copy of text
VariantValue Dispatch(IDispatch* object);  // VT_DISPATCH, adds a reference

// One call that reached the fake.
struct CallRecord {
  enum Kind { Lookup, Invoke, GetDispIdEnsure } kind = Lookup;
  std::wstring name;             // the member (resolved from the DISPID for Invoke)
  DISPID dispid = DISPID_UNKNOWN;
  WORD flags = 0;                // invocation kind, or GetDispID's grfdex
  std::vector<VariantValue> args;  // rgvarg as received: element 0 is the last argument
  std::vector<DISPID> namedArgs;
  LCID locale = 0;
  bool iidIsNull = false;
  bool resultGiven = false;
  bool exceptionInfoGiven = false;
  bool argErrorGiven = false;
  UINT nameCount = 0;            // names per GetIDsOfNames
};

class FakeScriptObject final
    : public ComObject<IDispatchEx, AlsoAnswers<&IID_IDispatch, IDispatchEx>> {
 public:
  explicit FakeScriptObject(bool dispatchEx) : dispatchEx_(dispatchEx) {}

  // The method body: arguments in rgvarg order (element 0 is the last), result to fill.
  using Method = std::function<HRESULT(const std::vector<VariantValue>& args, VARIANT* result)>;

  // A new fake with one reference, held by the returned pointer. Without
  // dispatchEx it answers IDispatch only, like an object that cannot grow members.
  static Microsoft::WRL::ComPtr<FakeScriptObject> Create(bool dispatchEx = true);

  // A method member; invoked with DISPATCH_METHOD only.
  void SetMethod(const std::wstring& name, Method body);
  // A method member that answers every call with a copy of result and hr.
  void SetMethodResult(const std::wstring& name, const VariantValue& result, HRESULT hr = S_OK);
  // A property member that can be read and written (PUT and PUTREF alike).
  void SetProperty(const std::wstring& name, const VariantValue& value);
  // Puts of this kind (DISPATCH_PROPERTYPUT or DISPATCH_PROPERTYPUTREF) on the member fail with hr.
  void FailPut(const std::wstring& name, WORD putKind, HRESULT hr);
  void RemoveMember(const std::wstring& name);
  bool HasMember(const std::wstring& name) const;
  VariantValue PropertyValue(const std::wstring& name) const;
  // Whether GetDispID(fdexNameEnsure) creates a missing member (default yes).
  void SetEnsureCreates(bool creates) { ensureCreates_ = creates; }
  // Every later name lookup fails with hr (S_OK: lookups work again), as a
  // proxy to an ended process answers.
  void FailLookups(HRESULT hr) { lookupFailure_ = hr; }

  std::vector<CallRecord> Calls() const;
  std::vector<CallRecord> Invocations() const;  // Invoke records only
  std::vector<CallRecord> InvocationsOf(const std::wstring& name) const;
  void ClearCalls();
  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* argError) override;
  // IDispatchEx
  HRESULT STDMETHODCALLTYPE GetDispID(BSTR name, DWORD grfdex, DISPID* id) override;
  HRESULT STDMETHODCALLTYPE InvokeEx(DISPID id, LCID locale, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception,
                                     IServiceProvider* caller) override;
  HRESULT STDMETHODCALLTYPE DeleteMemberByName(BSTR, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeleteMemberByDispID(DISPID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMemberProperties(DISPID, DWORD, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMemberName(DISPID, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetNextDispID(DWORD, DISPID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetNameSpaceParent(IUnknown**) override { return E_NOTIMPL; }

 private:
  // Without dispatchEx, an object that cannot grow members.
  bool Refuses(REFIID iid) noexcept override { return !dispatchEx_ && ::IsEqualGUID(iid, IID_IDispatchEx); }

  struct Member {
    DISPID id = 0;
    bool isProperty = false;
    Method body;
    VariantValue value;
    std::map<WORD, HRESULT> failedPuts;
  };
  Member* FindById(DISPID id);
  Member& AddMember(const std::wstring& name);

  const bool dispatchEx_;
  bool ensureCreates_ = true;
  std::atomic<HRESULT> lookupFailure_{S_OK};
  mutable std::recursive_mutex mutex_;
  std::map<std::wstring, Member> members_;
  DISPID nextId_ = 100;
  std::vector<CallRecord> calls_;
};

}  // namespace vaduna::test
