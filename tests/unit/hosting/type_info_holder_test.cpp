#include "hosting/type_info_holder.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <string>

#include "base/hresult.h"
#include "base/unique_resource.h"
#include "tests/support/platform.h"
#include "tests/unit/hosting/test_object.h"

namespace vaduna {
namespace {

using Microsoft::WRL::ComPtr;

constexpr DISPID kGetServiceId = 0x60020001;
constexpr LCID kLibraryLocale = 0x0409;

std::wstring OwnPath() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return path;
}

// Registers the type library embedded in this executable for one test and
// puts back whatever registration was there before.
class TypeLibraryRegistration {
 public:
  TypeLibraryRegistration() {
    UniqueBstr path;
    if (SUCCEEDED(::QueryPathOfRegTypeLib(LIBID_VADUNAHTMLLib, 1, 0, kLibraryLocale, path.put())))
      previous_.assign(path.get(), ::SysStringLen(path.get()));
  }
  ~TypeLibraryRegistration() {
    Unregister();
    if (!previous_.empty()) RegisterFrom(previous_);
  }
  HRESULT Register() { return RegisterFrom(OwnPath()); }
  void Unregister() {
    ::UnRegisterTypeLib(LIBID_VADUNAHTMLLib, 1, 0, kLibraryLocale, SYS_WIN64);
  }

 private:
  static HRESULT RegisterFrom(const std::wstring& path) {
    ComPtr<ITypeLib> library;
    VADUNA_RETURN_IF_FAILED(::LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library));
    return ::RegisterTypeLib(library.Get(), const_cast<wchar_t*>(path.c_str()), nullptr);
  }
  std::wstring previous_;
};

class TypeInfoHolderTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(registration_.Register(), S_OK); }
  void TearDown() override { module_.Term(); }  // gives back the holder's type information

  HRESULT Lookup(const wchar_t* name, DISPID* id) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    return holder_.GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, id);
  }

  TypeLibraryRegistration registration_;
  ServerModule module_;
  TypeInfoHolder holder_{IID_IVadunaHTMLApplication, LIBID_VADUNAHTMLLib, 1, 0, module_};
};

TEST_F(TypeInfoHolderTest, ExactCaseNamesAreAnsweredFromTheCache) {
  DISPID id = 0xdeadbeef;
  EXPECT_EQ(Lookup(L"GetService", &id), S_OK);
  EXPECT_EQ(id, kGetServiceId);
  EXPECT_EQ(holder_.TypeInfoLookups(), 0);
  EXPECT_EQ(Lookup(L"OnUnload", &id), S_OK);  // hidden, still named
  EXPECT_EQ(id, 0x60020007);
  EXPECT_EQ(holder_.TypeInfoLookups(), 0);

  // Another case misses the cache; the type information ignores case.
  id = 0xdeadbeef;
  EXPECT_EQ(Lookup(L"getSERVICE", &id), S_OK);
  EXPECT_EQ(id, kGetServiceId);
  EXPECT_EQ(holder_.TypeInfoLookups(), 1);

  EXPECT_EQ(Lookup(L"GetServic", &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(Lookup(L"", &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(holder_.TypeInfoLookups(), 3);
}

TEST_F(TypeInfoHolderTest, NullNameArraysAreRefused) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"GetService")};
  DISPID id = 0xdeadbeef;
  EXPECT_EQ(holder_.GetIDsOfNames(IID_NULL, nullptr, 1, LOCALE_USER_DEFAULT, &id), E_POINTER);
  EXPECT_EQ(holder_.GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, nullptr), E_POINTER);
  EXPECT_EQ(id, static_cast<DISPID>(0xdeadbeef));
  names[0] = nullptr;
  EXPECT_EQ(holder_.GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), DISP_E_UNKNOWNNAME);
}

TEST_F(TypeInfoHolderTest, TwoNamesGoToTheTypeInformation) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"GetService"), const_cast<LPOLESTR>(L"serviceName")};
  DISPID ids[] = {static_cast<DISPID>(0xdeadbeef), static_cast<DISPID>(0xdeadbeef)};
  EXPECT_EQ(holder_.GetIDsOfNames(IID_NULL, names, 2, LOCALE_USER_DEFAULT, ids), S_OK);
  EXPECT_EQ(ids[0], kGetServiceId);
  EXPECT_EQ(ids[1], 0);
  EXPECT_EQ(holder_.TypeInfoLookups(), 1);
}

TEST_F(TypeInfoHolderTest, GetTypeInfoIgnoresItsIndex) {
  UINT count = 0;
  EXPECT_EQ(holder_.GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(holder_.GetTypeInfoCount(nullptr), E_POINTER);
  EXPECT_EQ(holder_.GetTypeInfo(0, LOCALE_USER_DEFAULT, nullptr), E_POINTER);

  ComPtr<ITypeInfo> first, seventh;
  ASSERT_EQ(holder_.GetTypeInfo(0, LOCALE_USER_DEFAULT, &first), S_OK);
  ASSERT_EQ(holder_.GetTypeInfo(7, LOCALE_USER_DEFAULT, &seventh), S_OK);
  EXPECT_EQ(first.Get(), seventh.Get());
  TYPEATTR* attributes = nullptr;
  ASSERT_EQ(first->GetTypeAttr(&attributes), S_OK);
  EXPECT_TRUE(::IsEqualGUID(attributes->guid, IID_IVadunaHTMLApplication));
  first->ReleaseTypeAttr(attributes);
}

TEST_F(TypeInfoHolderTest, TerminationReleasesTheTypeInformation) {
  ComPtr<ITypeInfo> info;
  ASSERT_EQ(holder_.GetTypeInfo(0, LOCALE_USER_DEFAULT, &info), S_OK);
  const ULONG held = info->AddRef();
  info->Release();
  module_.Term();
  EXPECT_EQ(info->AddRef(), held - 1);
  info->Release();
}

// A call under way during termination, or after it, finds the name cache
// and the loading lock as they were.
TEST_F(TypeInfoHolderTest, CallsAfterTerminationAreStillAnswered) {
  DISPID id = 0xdeadbeef;
  ASSERT_EQ(Lookup(L"GetService", &id), S_OK);
  module_.Term();
  id = 0xdeadbeef;
  EXPECT_EQ(Lookup(L"GetService", &id), S_OK);
  EXPECT_EQ(id, kGetServiceId);
  EXPECT_EQ(holder_.TypeInfoLookups(), 0);
  ComPtr<ITypeInfo> info;
  EXPECT_EQ(holder_.GetTypeInfo(0, LOCALE_USER_DEFAULT, &info), S_OK);
}

TEST_F(TypeInfoHolderTest, CallerInAnotherLocaleGetsTheRegisteredLibrary) {
  constexpr LCID kGerman = 0x0407;
  ComPtr<ITypeInfo> info;
  EXPECT_EQ(holder_.GetTypeInfo(0, kGerman, &info), S_OK);
  EXPECT_NE(info.Get(), nullptr);
}

// Wine's loader answers an unregistered library as Windows documents it.
TEST_F(TypeInfoHolderTest, UnregisteredLibraryFailsWithTheLoaderErrorUntilRegistered) {
  registration_.Unregister();
  ITypeInfo* info = reinterpret_cast<ITypeInfo*>(static_cast<uintptr_t>(0xdeadbeef));
  EXPECT_EQ(holder_.GetTypeInfo(0, LOCALE_USER_DEFAULT, &info), TYPE_E_LIBNOTREGISTERED);
  EXPECT_EQ(info, nullptr);
  DISPID id = 0xdeadbeef;
  EXPECT_EQ(Lookup(L"GetService", &id), TYPE_E_LIBNOTREGISTERED);
  EXPECT_EQ(id, static_cast<DISPID>(0xdeadbeef));
  DISPPARAMS none = {};
  EXPECT_EQ(holder_.Invoke(nullptr, kGetServiceId, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr,
                           nullptr, nullptr),
            TYPE_E_LIBNOTREGISTERED);

  ASSERT_EQ(registration_.Register(), S_OK);
  EXPECT_EQ(Lookup(L"GetService", &id), S_OK);
  EXPECT_EQ(id, kGetServiceId);
  EXPECT_EQ(holder_.TypeInfoLookups(), 0);
}

TEST_F(TypeInfoHolderTest, LateBoundInvokeReachesTheMethodThroughTheDualTable) {
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(CreateObjectInstance<testing::TestObject>(nullptr, IID_IDispatch, &dispatch), S_OK);
  auto* object = static_cast<testing::TestObject*>(static_cast<IVadunaService*>(dispatch.Get()));

  DISPID id = 0;
  LPOLESTR name = const_cast<LPOLESTR>(L"GetLastErrCode");
  ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id), S_OK);
  EXPECT_EQ(id, 0x60020002);
  DISPPARAMS none = {};
  UniqueVariant result;
  EXPECT_EQ(dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, result.get(), nullptr,
                             nullptr),
            S_OK);
  // Declared INT: Windows keeps the declared type, Wine widens it.
  VADUNA_EXPECT_PLATFORM_EQ(result->vt, static_cast<VARTYPE>(VT_INT), static_cast<VARTYPE>(VT_I4));
  EXPECT_EQ(result->lVal, testing::kTestErrCode);
  EXPECT_EQ(object->errCodeCalls, 1);

  UINT argError = 0xdeadbeef;
  EXPECT_EQ(dispatch->Invoke(0x12345, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, result.put(), nullptr,
                             &argError),
            DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(object->errCodeCalls, 1);
}

}  // namespace
}  // namespace vaduna
