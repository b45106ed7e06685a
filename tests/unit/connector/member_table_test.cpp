// A page object's members as COM clients see them: DISPIDs given inside the
// connector (case-insensitive, stable), the server's handle member and every
// member ensured through IDispatchEx kept local, invocation kinds and their
// refusals, identity. The owner records what would cross to the page.
#include "connector/page_object.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "connector/limits.h"
#include "tests/support/fake_script_object.h"
#include "vaduna_contract.h"

namespace vaduna::connector {
namespace {

using Microsoft::WRL::ComPtr;
using vaduna::test::VariantValue;

class RecordingOwner final : public PageObjectOwner {
 public:
  struct Call {
    std::uint64_t target;
    std::wstring member;
    CallKind kind;
    std::vector<VariantValue> rgvarg;
  };

  HRESULT CallPage(std::uint64_t target, const std::wstring& member, CallKind kind, const DISPPARAMS& params,
                   VARIANT* result, CallFailure& failure) noexcept override {
    Call call{target, member, kind, {}};
    for (UINT i = 0; i < params.cArgs; ++i) call.rgvarg.emplace_back(params.rgvarg[i]);
    calls.push_back(std::move(call));
    if (FAILED(answerCode)) {
      failure.description = L"the page says no";
      failure.argument = 1;
      return answerCode;
    }
    if (result != nullptr) ::VariantCopy(result, const_cast<VARIANT*>(&answer.get()));
    return S_OK;
  }
  void LastReleased(PageObject&) noexcept override { ++released; }

  std::vector<Call> calls;
  VariantValue answer = vaduna::test::I4(5);
  HRESULT answerCode = S_OK;
  int released = 0;
};

class PageObjectMembers : public ::testing::Test {
 protected:
  void SetUp() override {
    PageObject* created = nullptr;
    ASSERT_EQ(S_OK, PageObject::Create(owner_, 3, &created));
    *object_.ReleaseAndGetAddressOf() = created;
  }

  DISPID Id(const wchar_t* name) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    EXPECT_EQ(S_OK, object_->GetIDsOfNames(IID_NULL, names, 1, 0x400, &id)) << name;
    return id;
  }
  DISPID Ensured(const wchar_t* name, DWORD options = fdexNameEnsure) {
    BSTR text = ::SysAllocString(name);
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(S_OK, object_->GetDispID(text, options, &id));
    ::SysFreeString(text);
    return id;
  }
  HRESULT Invoke(DISPID id, WORD flags, std::vector<VARIANT> rgvarg, VariantValue* result = nullptr,
                 std::vector<DISPID> named = {}) {
    if ((flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) && named.empty()) named = {DISPID_PROPERTYPUT};
    DISPPARAMS params{rgvarg.empty() ? nullptr : rgvarg.data(), named.empty() ? nullptr : named.data(),
                      static_cast<UINT>(rgvarg.size()), static_cast<UINT>(named.size())};
    VariantValue ignored;
    return object_->Invoke(id, IID_NULL, 0x400, flags, &params, (result ? result : &ignored)->put(), nullptr,
                           nullptr);
  }

  std::shared_ptr<RecordingOwner> owner_ = std::make_shared<RecordingOwner>();
  ComPtr<PageObject> object_;
};

TEST_F(PageObjectMembers, NamesMatchCaseInsensitivelyAndKeepTheirDispids) {
  const DISPID service = Id(L"GetService");
  EXPECT_GT(service, 0);
  EXPECT_EQ(service, Id(L"getservice"));
  EXPECT_EQ(service, Id(L"GETSERVICE"));
  const DISPID name = Id(L"Name");
  EXPECT_NE(service, name);
  EXPECT_EQ(service, Id(L"GetService"));
  EXPECT_EQ(Id(L"\x00C4rger"), Id(L"\x00E4RGER"));  // beyond ASCII too
  EXPECT_TRUE(owner_->calls.empty()) << "a lookup crossed to the page";

  // The page is called with the spelling first asked for; the page resolves case itself.
  EXPECT_EQ(S_OK, Invoke(Id(L"GETSERVICE"), DISPATCH_METHOD, {}));
  ASSERT_EQ(1u, owner_->calls.size());
  EXPECT_EQ(L"GetService", owner_->calls[0].member);
  EXPECT_EQ(3u, owner_->calls[0].target);

  BSTR spelling = nullptr;
  EXPECT_EQ(S_OK, object_->GetMemberName(service, &spelling));
  EXPECT_STREQ(L"GetService", spelling);
  ::SysFreeString(spelling);
  DISPID first = 0, second = 0, end = 0;
  EXPECT_EQ(S_OK, object_->GetNextDispID(fdexEnumAll, DISPID_STARTENUM, &first));
  EXPECT_EQ(S_OK, object_->GetNextDispID(fdexEnumAll, first, &second));
  EXPECT_EQ(service, first);
  EXPECT_EQ(name, second);
}

TEST_F(PageObjectMembers, NamedArgumentsAreUnknownNames) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"InvokeMethod"), const_cast<LPOLESTR>(L"method")};
  DISPID ids[2] = {0x1234, 0x1234};
  EXPECT_EQ(DISP_E_UNKNOWNNAME, object_->GetIDsOfNames(IID_NULL, names, 2, 0x400, ids));
  EXPECT_EQ(Id(L"InvokeMethod"), ids[0]);
  EXPECT_EQ(DISPID_UNKNOWN, ids[1]);
  EXPECT_EQ(DISP_E_UNKNOWNINTERFACE, object_->GetIDsOfNames(IID_IDispatch, names, 1, 0x400, ids));
}

TEST_F(PageObjectMembers, InvocationKindsReachThePageAndMalformedOnesAreRefused) {
  const DISPID member = Id(L"Value");
  VariantValue result;
  EXPECT_EQ(S_OK, Invoke(member, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, &result));  // how scripts read
  EXPECT_EQ(VT_I4, result.vt());
  EXPECT_EQ(S_OK, Invoke(member, DISPATCH_PROPERTYGET, {}));
  VARIANT seven = vaduna::test::I4(7).get();
  EXPECT_EQ(S_OK, Invoke(member, DISPATCH_PROPERTYPUT, {seven}, &result));
  EXPECT_EQ(VT_EMPTY, result.vt()) << "a put has no result";
  EXPECT_EQ(S_OK, Invoke(member, DISPATCH_PROPERTYPUTREF, {seven}));
  VARIANT last = vaduna::test::I4(2).get();
  VARIANT first = vaduna::test::I4(1).get();
  EXPECT_EQ(S_OK, Invoke(member, DISPATCH_METHOD, {last, first}));
  ASSERT_EQ(5u, owner_->calls.size());
  EXPECT_EQ(CallKind::kMethod, owner_->calls[0].kind);
  EXPECT_EQ(CallKind::kGet, owner_->calls[1].kind);
  EXPECT_EQ(CallKind::kPut, owner_->calls[2].kind);
  EXPECT_EQ(CallKind::kPut, owner_->calls[3].kind);
  EXPECT_EQ(CallKind::kMethod, owner_->calls[4].kind);
  EXPECT_EQ(2u, owner_->calls[4].rgvarg.size());

  EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Invoke(999, DISPATCH_METHOD, {}));
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Invoke(member, 0, {}));
  EXPECT_EQ(DISP_E_NONAMEDARGS, Invoke(member, DISPATCH_METHOD, {seven}, nullptr, {7}));
  EXPECT_EQ(DISP_E_BADPARAMCOUNT, Invoke(member, DISPATCH_PROPERTYPUT, {seven, seven}));
  EXPECT_EQ(DISP_E_PARAMNOTFOUND, Invoke(member, DISPATCH_PROPERTYPUT, {seven}, nullptr, {4}));
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(DISP_E_UNKNOWNINTERFACE, object_->Invoke(member, IID_IDispatch, 0, DISPATCH_METHOD, &none, nullptr,
                                                     nullptr, nullptr));
  DISPPARAMS missing{nullptr, nullptr, 1, 0};
  EXPECT_EQ(E_INVALIDARG, object_->Invoke(member, IID_NULL, 0, DISPATCH_METHOD, &missing, nullptr, nullptr, nullptr));
  EXPECT_EQ(5u, owner_->calls.size()) << "a refused invocation crossed to the page";
}

TEST_F(PageObjectMembers, APageFailureFillsTheCallersExceptionInfo) {
  owner_->answerCode = DISP_E_EXCEPTION;
  const DISPID member = Id(L"Fails");
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXCEPINFO exception{};
  UINT argError = 0xdeadbeef;
  VariantValue result;
  EXPECT_EQ(DISP_E_EXCEPTION,
            object_->Invoke(member, IID_NULL, 0x400, DISPATCH_METHOD, &none, result.put(), &exception, &argError));
  EXPECT_STREQ(L"the page says no", exception.bstrDescription);
  EXPECT_STREQ(kErrorSource, exception.bstrSource);
  EXPECT_EQ(DISP_E_EXCEPTION, exception.scode);
  EXPECT_EQ(1u, argError);
  ::SysFreeString(exception.bstrDescription);
  ::SysFreeString(exception.bstrSource);

  // Any other failure leaves EXCEPINFO alone and describes itself through the thread's error record.
  owner_->answerCode = DISP_E_TYPEMISMATCH;
  EXCEPINFO untouched{};
  EXPECT_EQ(DISP_E_TYPEMISMATCH, object_->Invoke(member, IID_NULL, 0x400, DISPATCH_METHOD, &none, result.put(),
                                                 &untouched, nullptr));
  EXPECT_EQ(nullptr, untouched.bstrDescription);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(S_OK, ::GetErrorInfo(0, &info));
  BSTR description = nullptr;
  info->GetDescription(&description);
  EXPECT_STREQ(L"the page says no", description);
  ::SysFreeString(description);
  EXPECT_EQ(S_OK, object_->InterfaceSupportsErrorInfo(IID_IDispatch));
}

// The server's own sequence on a script object: put the handle (GetIDsOfNames, PROPERTYPUT), read it back
// (GetIDsOfNames, PROPERTYGET). Nothing of it may reach the page.
TEST_F(PageObjectMembers, TheServerHandleMemberStaysLocal) {
  const DISPID handle = Id(vaduna::contract::kHandleMember);
  VariantValue read;
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Invoke(handle, DISPATCH_PROPERTYGET, {}, &read)) << "no handle written yet";
  VARIANT value = vaduna::test::I4(1234).get();
  EXPECT_EQ(S_OK, Invoke(handle, DISPATCH_PROPERTYPUT, {value}));
  std::wstring otherCase = vaduna::contract::kHandleMember;
  ::CharLowerBuffW(otherCase.data(), static_cast<DWORD>(otherCase.size()));
  EXPECT_EQ(S_OK, Invoke(Id(otherCase.c_str()), DISPATCH_PROPERTYGET, {}, &read));
  EXPECT_EQ(VT_I4, read.vt());
  EXPECT_EQ(1234, read.get().lVal);
  EXPECT_EQ(S_OK, Invoke(handle, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, &read));
  EXPECT_EQ(1234, read.get().lVal);
  VARIANT zero = vaduna::test::I4(0).get();
  EXPECT_EQ(S_OK, Invoke(handle, DISPATCH_PROPERTYPUT, {zero}));  // what the server writes when it lets go
  EXPECT_EQ(S_OK, Invoke(handle, DISPATCH_PROPERTYGET, {}, &read));
  EXPECT_EQ(0, read.get().lVal);
  EXPECT_TRUE(owner_->calls.empty()) << "the handle member crossed to the page";
}

TEST_F(PageObjectMembers, MembersEnsuredThroughGetDispIdAreLocal) {
  const DISPID extra = Ensured(L"Extra");
  VariantValue read;
  EXPECT_EQ(S_OK, Invoke(extra, DISPATCH_PROPERTYGET, {}, &read));
  EXPECT_EQ(VT_EMPTY, read.vt());
  VariantValue text = vaduna::test::Str(L"kept here");
  EXPECT_EQ(S_OK, Invoke(extra, DISPATCH_PROPERTYPUT, {text.get()}));
  EXPECT_EQ(S_OK, Invoke(Id(L"EXTRA"), DISPATCH_PROPERTYGET, {}, &read));
  EXPECT_STREQ(L"kept here", read.get().bstrVal);
  EXPECT_EQ(S_OK, object_->DeleteMemberByDispID(extra));
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Invoke(extra, DISPATCH_PROPERTYGET, {}, &read));
  EXPECT_EQ(extra, Ensured(L"extra")) << "an ensured member keeps its DISPID";
  EXPECT_EQ(S_OK, Invoke(extra, DISPATCH_PROPERTYGET, {}, &read));
  EXPECT_EQ(Id(vaduna::contract::kHandleMember), Ensured(vaduna::contract::kHandleMember));
  EXPECT_EQ(S_OK, Invoke(Id(vaduna::contract::kHandleMember), DISPATCH_PROPERTYGET, {}, &read));
  EXPECT_TRUE(owner_->calls.empty());

  // A name the page was already asked for stays the page's, ensured or not.
  const DISPID name = Id(L"Name");
  EXPECT_EQ(name, Ensured(L"Name"));
  EXPECT_EQ(name, Ensured(L"Name", 0));
  EXPECT_EQ(S_OK, Invoke(name, DISPATCH_METHOD, {}));
  EXPECT_EQ(1u, owner_->calls.size());
  BSTR nameText = ::SysAllocString(L"Name");
  EXPECT_EQ(S_FALSE, object_->DeleteMemberByName(nameText, 0)) << "the page's member is not the connector's to delete";
  ::SysFreeString(nameText);
}

TEST_F(PageObjectMembers, NameLimitsRefuseBeforeStoring) {
  std::wstring longest(kMaxMemberNameLength, L'a');
  std::wstring tooLong(kMaxMemberNameLength + 1, L'b');
  LPOLESTR names[] = {tooLong.data()};
  DISPID id = 0;
  EXPECT_EQ(DISP_E_UNKNOWNNAME, object_->GetIDsOfNames(IID_NULL, names, 1, 0x400, &id));
  EXPECT_EQ(DISPID_UNKNOWN, id);
  EXPECT_EQ(1, Id(longest.c_str()));
  for (std::size_t i = 1; i < kMaxMembersPerObject; ++i) Id((L"m" + std::to_wstring(i)).c_str());
  std::wstring oneMore = L"one more";
  names[0] = oneMore.data();
  EXPECT_EQ(DISP_E_UNKNOWNNAME, object_->GetIDsOfNames(IID_NULL, names, 1, 0x400, &id));
  EXPECT_EQ(8, Id(L"M7")) << "known names still resolve in a full table";
  EXPECT_EQ(kMaxMembersPerObject, object_->members().size());
}

TEST_F(PageObjectMembers, OneIdentityAndTheLastReleaseReported) {
  ComPtr<IUnknown> fromObject, fromDispatch, fromErrorInfo;
  ComPtr<IDispatch> dispatch;
  ComPtr<ISupportErrorInfo> errorInfo;
  ASSERT_EQ(S_OK, object_.As(&dispatch));
  ASSERT_EQ(S_OK, object_.As(&errorInfo));
  ASSERT_EQ(S_OK, object_.As(&fromObject));
  ASSERT_EQ(S_OK, dispatch.As(&fromDispatch));
  ASSERT_EQ(S_OK, errorInfo.As(&fromErrorInfo));
  EXPECT_EQ(fromObject.Get(), fromDispatch.Get());
  EXPECT_EQ(fromObject.Get(), fromErrorInfo.Get());
  ComPtr<IMarshal> marshal;
  EXPECT_EQ(E_NOINTERFACE, object_.As(&marshal)) << "standard marshalling, no custom marshaller";

  // FromUnknown recognises the connector's own object and nothing else, with balanced counts.
  ComPtr<PageObject> own = PageObject::FromUnknown(fromDispatch.Get());
  EXPECT_EQ(object_.Get(), own.Get());
  own.Reset();
  EXPECT_FALSE(PageObject::FromUnknown(vaduna::test::FakeScriptObject::Create().Get()));
  fromObject.Reset();
  fromDispatch.Reset();
  fromErrorInfo.Reset();
  dispatch.Reset();
  errorInfo.Reset();
  EXPECT_EQ(0, owner_->released);
  EXPECT_EQ(2u, object_->AddRef());
  EXPECT_EQ(1u, object_->Release());
  object_.Reset();
  EXPECT_EQ(1, owner_->released);
}

}  // namespace
}  // namespace vaduna::connector
