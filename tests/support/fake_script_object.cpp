#include "tests/support/fake_script_object.h"

#include "base/unique_resource.h"
#include "base/variant_builders.h"

namespace vaduna::test {

VariantValue::VariantValue(const VARIANT& value) {
  ::VariantInit(&value_);
  ::VariantCopy(&value_, const_cast<VARIANT*>(&value));
}

VariantValue::VariantValue(const VariantValue& other) : VariantValue(other.value_) {}

VariantValue& VariantValue::operator=(const VariantValue& other) {
  if (this != &other) ::VariantCopy(&value_, const_cast<VARIANT*>(&other.value_));
  return *this;
}

// Built by the server's own builders: a VariantValue takes a copy (and a
// reference), so borrowed values suffice.
VariantValue Empty() { return VariantValue(); }
VariantValue Null() { return VariantValue(NullValue()); }
VariantValue I4(LONG value) { return VariantValue(Int32Value(value)); }
VariantValue Bool(bool value) { return VariantValue(BoolValue(value)); }
VariantValue Dispatch(IDispatch* object) { return VariantValue(BorrowedObject(object)); }

VariantValue Str(const wchar_t* text) {
  UniqueBstr copy(::SysAllocString(text));
  return VariantValue(BorrowedString(copy.get()));
}

Microsoft::WRL::ComPtr<FakeScriptObject> FakeScriptObject::Create(bool dispatchEx) {
  return MakeObject<FakeScriptObject>(dispatchEx);
}

FakeScriptObject::Member& FakeScriptObject::AddMember(const std::wstring& name) {
  auto found = members_.find(name);
  if (found != members_.end()) return found->second;
  Member& member = members_[name];
  member.id = nextId_++;
  return member;
}

FakeScriptObject::Member* FakeScriptObject::FindById(DISPID id) {
  for (auto& [name, member] : members_) {
    if (member.id == id) return &member;
  }
  return nullptr;
}

void FakeScriptObject::SetMethod(const std::wstring& name, Method body) {
  std::lock_guard lock(mutex_);
  Member& member = AddMember(name);
  member.isProperty = false;
  member.body = std::move(body);
}

void FakeScriptObject::SetMethodResult(const std::wstring& name, const VariantValue& result, HRESULT hr) {
  SetMethod(name, [result, hr](const std::vector<VariantValue>&, VARIANT* out) {
    if (out != nullptr) ::VariantCopy(out, const_cast<VARIANT*>(&result.get()));
    return hr;
  });
}

void FakeScriptObject::SetProperty(const std::wstring& name, const VariantValue& value) {
  std::lock_guard lock(mutex_);
  Member& member = AddMember(name);
  member.isProperty = true;
  member.value = value;
}

void FakeScriptObject::FailPut(const std::wstring& name, WORD putKind, HRESULT hr) {
  std::lock_guard lock(mutex_);
  AddMember(name).failedPuts[putKind] = hr;
}

void FakeScriptObject::RemoveMember(const std::wstring& name) {
  std::lock_guard lock(mutex_);
  members_.erase(name);
}

bool FakeScriptObject::HasMember(const std::wstring& name) const {
  std::lock_guard lock(mutex_);
  return members_.count(name) != 0;
}

VariantValue FakeScriptObject::PropertyValue(const std::wstring& name) const {
  std::lock_guard lock(mutex_);
  auto found = members_.find(name);
  return found == members_.end() ? VariantValue() : found->second.value;
}

std::vector<CallRecord> FakeScriptObject::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<CallRecord> FakeScriptObject::Invocations() const {
  std::vector<CallRecord> out;
  for (const CallRecord& call : Calls()) {
    if (call.kind == CallRecord::Invoke) out.push_back(call);
  }
  return out;
}

std::vector<CallRecord> FakeScriptObject::InvocationsOf(const std::wstring& name) const {
  std::vector<CallRecord> out;
  for (const CallRecord& call : Invocations()) {
    if (call.name == name) out.push_back(call);
  }
  return out;
}

void FakeScriptObject::ClearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

HRESULT FakeScriptObject::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT FakeScriptObject::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }

HRESULT FakeScriptObject::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) {
  std::lock_guard lock(mutex_);
  CallRecord record;
  record.kind = CallRecord::Lookup;
  record.name = (count > 0 && names != nullptr && names[0] != nullptr) ? names[0] : L"";
  record.locale = locale;
  record.iidIsNull = ::IsEqualGUID(iid, IID_NULL);
  record.nameCount = count;
  auto found = members_.find(record.name);
  HRESULT hr = S_OK;
  if (FAILED(lookupFailure_.load())) {
    ids[0] = DISPID_UNKNOWN;
    hr = lookupFailure_.load();
  } else if (found == members_.end()) {
    ids[0] = DISPID_UNKNOWN;
    hr = DISP_E_UNKNOWNNAME;
  } else {
    ids[0] = found->second.id;
    record.dispid = ids[0];
  }
  calls_.push_back(std::move(record));
  return hr;
}

HRESULT FakeScriptObject::Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params,
                                 VARIANT* result, EXCEPINFO* exception, UINT* argError) {
  Method body;
  std::vector<VariantValue> args;
  {
    std::lock_guard lock(mutex_);
    CallRecord record;
    record.kind = CallRecord::Invoke;
    record.dispid = id;
    record.flags = flags;
    record.locale = locale;
    record.iidIsNull = ::IsEqualGUID(iid, IID_NULL);
    record.resultGiven = result != nullptr;
    record.exceptionInfoGiven = exception != nullptr;
    record.argErrorGiven = argError != nullptr;
    if (params != nullptr) {
      for (UINT i = 0; i < params->cArgs; ++i) record.args.emplace_back(params->rgvarg[i]);
      for (UINT i = 0; i < params->cNamedArgs; ++i) record.namedArgs.push_back(params->rgdispidNamedArgs[i]);
    }
    Member* member = FindById(id);
    for (const auto& [name, candidate] : members_) {
      if (&candidate == member) record.name = name;
    }
    args = record.args;
    calls_.push_back(record);
    if (member == nullptr) return DISP_E_MEMBERNOTFOUND;

    if (member->isProperty) {
      if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        const WORD kind = (flags & DISPATCH_PROPERTYPUTREF) ? DISPATCH_PROPERTYPUTREF : DISPATCH_PROPERTYPUT;
        auto failed = member->failedPuts.find(kind);
        if (failed != member->failedPuts.end()) return failed->second;
        if (args.empty()) return DISP_E_BADPARAMCOUNT;
        member->value = args[0];
        return S_OK;
      }
      if (flags & DISPATCH_PROPERTYGET) {
        if (result != nullptr) ::VariantCopy(result, const_cast<VARIANT*>(&member->value.get()));
        return S_OK;
      }
      return DISP_E_MEMBERNOTFOUND;
    }
    if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
    body = member->body;
  }
  // Outside the lock: a body may call back into this object.
  return body ? body(args, result) : S_OK;
}

HRESULT FakeScriptObject::GetDispID(BSTR name, DWORD grfdex, DISPID* id) {
  std::lock_guard lock(mutex_);
  CallRecord record;
  record.kind = CallRecord::GetDispIdEnsure;
  record.name = name != nullptr ? name : L"";
  record.flags = static_cast<WORD>(grfdex);
  calls_.push_back(record);
  auto found = members_.find(record.name);
  if (found == members_.end()) {
    if (!(grfdex & fdexNameEnsure) || !ensureCreates_) return DISP_E_UNKNOWNNAME;
    Member& member = AddMember(record.name);
    member.isProperty = true;
    *id = member.id;
    return S_OK;
  }
  *id = found->second.id;
  return S_OK;
}

HRESULT FakeScriptObject::InvokeEx(DISPID id, LCID locale, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, IServiceProvider*) {
  return Invoke(id, IID_NULL, locale, flags, params, result, exception, nullptr);
}

}  // namespace vaduna::test
