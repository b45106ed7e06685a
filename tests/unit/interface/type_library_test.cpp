// The type library carried as resource TYPELIB 1: what late-bound clients
// and type browsers see of the three interfaces and classes.
#include <gtest/gtest.h>

#include <wrl/client.h>

#include <string>
#include <vector>

#include "interface/interfaces.h"

namespace {

using Microsoft::WRL::ComPtr;

constexpr MEMBERID kFirstDispId = 0x60020000;
constexpr WORD kDualTypeFlags = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE;  // 0x1140

struct Method {
  const wchar_t* name;
  UINT params;  // the last one is [out, retval] where there are any
  bool hidden;
};

struct InterfaceShape {
  const IID* iid;
  const wchar_t* name;
  std::vector<Method> methods;
  UINT slots;
};

const std::vector<InterfaceShape>& Interfaces() {
  static const std::vector<InterfaceShape> shapes = {
      {&IID_IVadunaHTMLApplication,
       L"IVadunaHTMLApplication",
       {{L"Name", 1, false},
        {L"GetService", 2, false},
        {L"NewPropertySet", 1, false},
        {L"IsReady", 1, false},
        {L"GetLastErrCode", 1, false},
        {L"GetLastErrText", 1, false},
        {L"AttachAppObject", 1, true},
        {L"OnUnload", 0, true}},
       15},
      {&IID_IVadunaService,
       L"IVadunaService",
       {{L"Name", 1, false}, {L"InvokeMethod", 4, false}, {L"GetLastErrCode", 1, false}, {L"GetLastErrText", 1, false}},
       11},
      {&IID_IVadunaPropertySet,
       L"IVadunaPropertySet",
       {{L"AddChild", 2, false},       {L"Copy", 1, false},
        {L"GetChild", 2, false},       {L"GetChildCount", 1, false},
        {L"GetPropertyCount", 1, false}, {L"GetFirstProperty", 1, false},
        {L"GetNextProperty", 1, false}, {L"GetProperty", 2, false},
        {L"GetType", 1, false},        {L"GetValue", 1, false},
        {L"InsertChildAt", 3, false},  {L"PropertyExists", 2, false},
        {L"RemoveChild", 2, false},    {L"RemoveProperty", 2, false},
        {L"Reset", 1, false},          {L"SetProperty", 3, false},
        {L"SetType", 2, false},        {L"SetValue", 2, false},
        {L"GetLastErrCode", 1, false}, {L"GetLastErrText", 1, false}},
       27},
  };
  return shapes;
}

std::wstring Take(BSTR text) {
  std::wstring copy(text != nullptr ? text : L"", ::SysStringLen(text));
  ::SysFreeString(text);
  return copy;
}

class TypeLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t path[MAX_PATH];
    ASSERT_NE(0u, ::GetModuleFileNameW(nullptr, path, MAX_PATH));
    ASSERT_EQ(S_OK, ::LoadTypeLib(path, library_.GetAddressOf()));
  }

  // The dispatch view of a dual interface and its function-table view.
  void Views(const IID& iid, ComPtr<ITypeInfo>* dispatch, ComPtr<ITypeInfo>* vtable) {
    ASSERT_EQ(S_OK, library_->GetTypeInfoOfGuid(iid, dispatch->GetAddressOf()));
    HREFTYPE ref = 0;
    ASSERT_EQ(S_OK, (*dispatch)->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref));
    ASSERT_EQ(S_OK, (*dispatch)->GetRefTypeInfo(ref, vtable->GetAddressOf()));
  }

  ComPtr<ITypeLib> library_;
};

TEST_F(TypeLibrary, LibraryIdentity) {
  BSTR name = nullptr;
  BSTR help = nullptr;
  ASSERT_EQ(S_OK, library_->GetDocumentation(-1, &name, &help, nullptr, nullptr));
  EXPECT_EQ(L"VADUNAHTMLLib", Take(name));
  EXPECT_EQ(L"VadunaHTML 1.0 Type Library", Take(help));

  TLIBATTR* attributes = nullptr;
  ASSERT_EQ(S_OK, library_->GetLibAttr(&attributes));
  EXPECT_TRUE(::IsEqualGUID(LIBID_VADUNAHTMLLib, attributes->guid));
  EXPECT_EQ(1, attributes->wMajorVerNum);
  EXPECT_EQ(0, attributes->wMinorVerNum);
  EXPECT_EQ(0x0409u, attributes->lcid);
  // This is the x64 build; a 32-bit build of the server carries SYS_WIN32.
  EXPECT_EQ(SYS_WIN64, attributes->syskind);
  library_->ReleaseTLibAttr(attributes);

  // Three interfaces and three classes; IServerObject stays private.
  EXPECT_EQ(6u, library_->GetTypeInfoCount());
  ComPtr<ITypeInfo> hidden;
  EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, library_->GetTypeInfoOfGuid(IID_IServerObject, hidden.GetAddressOf()));
}

TEST_F(TypeLibrary, InterfacesAreDualWithNumberedMethodsInOrder) {
  for (const InterfaceShape& shape : Interfaces()) {
    SCOPED_TRACE(testing::Message() << std::string(shape.name, shape.name + wcslen(shape.name)));
    ComPtr<ITypeInfo> dispatch;
    ComPtr<ITypeInfo> vtable;
    Views(*shape.iid, &dispatch, &vtable);
    ASSERT_TRUE(vtable);

    BSTR name = nullptr;
    BSTR help = nullptr;
    ASSERT_EQ(S_OK, vtable->GetDocumentation(MEMBERID_NIL, &name, &help, nullptr, nullptr));
    EXPECT_EQ(shape.name, Take(name));
    EXPECT_EQ(std::wstring(shape.name) + L" Interface", Take(help));

    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, vtable->GetTypeAttr(&attributes));
    EXPECT_EQ(TKIND_INTERFACE, attributes->typekind);
    EXPECT_EQ(kDualTypeFlags, attributes->wTypeFlags);
    EXPECT_EQ(shape.slots, attributes->cbSizeVft / sizeof(void*));
    EXPECT_EQ(shape.methods.size(), attributes->cFuncs);
    const UINT functions = attributes->cFuncs;
    vtable->ReleaseTypeAttr(attributes);

    // Derives directly from IDispatch.
    HREFTYPE baseRef = 0;
    ComPtr<ITypeInfo> base;
    ASSERT_EQ(S_OK, vtable->GetRefTypeOfImplType(0, &baseRef));
    ASSERT_EQ(S_OK, vtable->GetRefTypeInfo(baseRef, base.GetAddressOf()));
    ASSERT_EQ(S_OK, base->GetTypeAttr(&attributes));
    EXPECT_TRUE(::IsEqualGUID(IID_IDispatch, attributes->guid));
    base->ReleaseTypeAttr(attributes);

    for (UINT n = 0; n < functions && n < shape.methods.size(); ++n) {
      const Method& method = shape.methods[n];
      SCOPED_TRACE(n);
      FUNCDESC* function = nullptr;
      ASSERT_EQ(S_OK, vtable->GetFuncDesc(n, &function));
      EXPECT_EQ(kFirstDispId + static_cast<MEMBERID>(n), function->memid);
      EXPECT_EQ(static_cast<SHORT>((7 + n) * sizeof(void*)), function->oVft);
      EXPECT_EQ(method.hidden ? FUNCFLAG_FHIDDEN : 0, function->wFuncFlags & FUNCFLAG_FHIDDEN);
      EXPECT_EQ(static_cast<SHORT>(method.params), function->cParams);
      EXPECT_EQ(VT_HRESULT, function->elemdescFunc.tdesc.vt);
      if (method.params > 0 && method.params == static_cast<UINT>(function->cParams)) {
        const USHORT last = function->lprgelemdescParam[method.params - 1].paramdesc.wParamFlags;
        // AttachAppObject's one parameter is the only final [in].
        const USHORT expected = method.hidden ? PARAMFLAG_FIN : (PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
        EXPECT_EQ(expected, last);
      }
      BSTR functionName = nullptr;
      ASSERT_EQ(S_OK, vtable->GetDocumentation(function->memid, &functionName, nullptr, nullptr, nullptr));
      EXPECT_EQ(method.name, Take(functionName));
      vtable->ReleaseFuncDesc(function);
    }
  }
}

TEST_F(TypeLibrary, DispatchViewIsTheDualInterfacesLateBoundHalf) {
  for (const InterfaceShape& shape : Interfaces()) {
    ComPtr<ITypeInfo> dispatch;
    ComPtr<ITypeInfo> vtable;
    Views(*shape.iid, &dispatch, &vtable);
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, dispatch->GetTypeAttr(&attributes));
    EXPECT_EQ(TKIND_DISPATCH, attributes->typekind);
    EXPECT_EQ(TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE, attributes->wTypeFlags);
    dispatch->ReleaseTypeAttr(attributes);
  }
}

TEST_F(TypeLibrary, NamesAreLookedUpWithoutRegardToCase) {
  ComPtr<ITypeInfo> dispatch;
  ComPtr<ITypeInfo> vtable;
  Views(IID_IVadunaHTMLApplication, &dispatch, &vtable);
  for (const wchar_t* spelling : {L"GetService", L"getservice", L"GETSERVICE", L"gEtSeRvIcE"}) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(spelling)};
    MEMBERID id = 0;
    EXPECT_EQ(S_OK, dispatch->GetIDsOfNames(names, 1, &id));
    EXPECT_EQ(0x60020001, id);
  }
  LPOLESTR unknown[] = {const_cast<LPOLESTR>(L"GetServices")};
  MEMBERID id = 0;
  EXPECT_EQ(DISP_E_UNKNOWNNAME, dispatch->GetIDsOfNames(unknown, 1, &id));
}

TEST_F(TypeLibrary, ClassesAreCreatableWithTheirDefaultInterface) {
  struct ClassShape {
    const CLSID* clsid;
    const wchar_t* name;
    const wchar_t* help;
    const IID* iid;
  };
  const ClassShape classes[] = {
      {&CLSID_VadunaHTMLApplication, L"VadunaHTMLApplication", L"VadunaHTMLApplication Class",
       &IID_IVadunaHTMLApplication},
      {&CLSID_VadunaPropertySet, L"VadunaPropertySet", L"VadunaPropertySet Class", &IID_IVadunaPropertySet},
      {&CLSID_VadunaService, L"VadunaService", L"VadunaService Class", &IID_IVadunaService},
  };
  for (const ClassShape& shape : classes) {
    SCOPED_TRACE(testing::Message() << std::string(shape.name, shape.name + wcslen(shape.name)));
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(S_OK, library_->GetTypeInfoOfGuid(*shape.clsid, info.GetAddressOf()));
    BSTR name = nullptr;
    BSTR help = nullptr;
    ASSERT_EQ(S_OK, info->GetDocumentation(MEMBERID_NIL, &name, &help, nullptr, nullptr));
    EXPECT_EQ(shape.name, Take(name));
    EXPECT_EQ(shape.help, Take(help));

    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attributes));
    EXPECT_EQ(TKIND_COCLASS, attributes->typekind);
    EXPECT_EQ(TYPEFLAG_FCANCREATE, attributes->wTypeFlags);
    EXPECT_EQ(1, attributes->cImplTypes);
    info->ReleaseTypeAttr(attributes);

    INT flags = 0;
    ASSERT_EQ(S_OK, info->GetImplTypeFlags(0, &flags));
    EXPECT_EQ(IMPLTYPEFLAG_FDEFAULT, flags);
    HREFTYPE ref = 0;
    ComPtr<ITypeInfo> implemented;
    ASSERT_EQ(S_OK, info->GetRefTypeOfImplType(0, &ref));
    ASSERT_EQ(S_OK, info->GetRefTypeInfo(ref, implemented.GetAddressOf()));
    ASSERT_EQ(S_OK, implemented->GetTypeAttr(&attributes));
    EXPECT_TRUE(::IsEqualGUID(*shape.iid, attributes->guid));
    implemented->ReleaseTypeAttr(attributes);
  }
}

}  // namespace
