// The error record a failure publishes on the calling thread.
#include "object_model/errors/error_reporting.h"

#include <gtest/gtest.h>

#include <wrl/client.h>

#include <string>

#include "interface/interfaces.h"

namespace vaduna {
namespace {

using Microsoft::WRL::ComPtr;

// A class identity that nothing registers.
constexpr CLSID kUnregisteredClass = {0x5f1c0e2a, 0x7d3b, 0x4e61, {0x9a, 0x40, 0x21, 0x8c, 0x6e, 0x0b, 0x33, 0x71}};

struct Published {
  std::wstring description;
  std::wstring source;
  GUID guid = GUID_NULL;
  DWORD helpContext = 0;
  std::wstring helpFile;
};

std::wstring Take(BSTR text) {
  std::wstring copy(text != nullptr ? text : L"", ::SysStringLen(text));
  ::SysFreeString(text);
  return copy;
}

// Fetches and consumes the thread's current record.
bool TakePublished(Published* out) {
  ComPtr<IErrorInfo> info;
  if (::GetErrorInfo(0, info.GetAddressOf()) != S_OK || !info) return false;
  BSTR text = nullptr;
  info->GetDescription(&text);
  out->description = Take(text);
  text = nullptr;
  info->GetSource(&text);
  out->source = Take(text);
  text = nullptr;
  info->GetHelpFile(&text);
  out->helpFile = Take(text);
  info->GetGUID(&out->guid);
  info->GetHelpContext(&out->helpContext);
  return true;
}

const wchar_t* Number(UINT id) { return reinterpret_cast<const wchar_t*>(static_cast<ULONG_PTR>(id)); }

TEST(PublishedError, RecordCarriesTheTextAndTheObjectsInterface) {
  ::SetErrorInfo(0, nullptr);
  ErrorState state;
  ASSERT_EQ(DISP_E_EXCEPTION, state.Record(kMsgNoService, kUnregisteredClass, IID_IVadunaService));
  Published record;
  ASSERT_TRUE(TakePublished(&record));
  EXPECT_EQ(L"Unable to Get Service.", record.description);
  EXPECT_TRUE(::IsEqualGUID(IID_IVadunaService, record.guid));
  // A class without a registered ProgID gives a record without a source.
  EXPECT_EQ(L"", record.source);
  EXPECT_EQ(0u, record.helpContext);
}

TEST(PublishedError, MessageNumberIsLoadedAndBecomesTheCode) {
  ::SetErrorInfo(0, nullptr);
  EXPECT_EQ(static_cast<HRESULT>(0x800400CA),
            PublishErrorInfo(kUnregisteredClass, Number(202), 0, nullptr, IID_IVadunaPropertySet, 0, nullptr));
  Published record;
  ASSERT_TRUE(TakePublished(&record));
  EXPECT_EQ(L"The Object is out of scope.", record.description);

  EXPECT_EQ(static_cast<HRESULT>(0x800400CD),
            PublishErrorInfo(kUnregisteredClass, Number(205), 0, nullptr, IID_IVadunaPropertySet, 0, nullptr));
  ASSERT_TRUE(TakePublished(&record));
  EXPECT_EQ(L"Unknown Error", record.description);

  // A code of the caller's own wins over the number.
  EXPECT_EQ(E_FAIL, PublishErrorInfo(kUnregisteredClass, Number(202), 0, nullptr, IID_IVadunaPropertySet, E_FAIL,
                                     nullptr));
  ASSERT_TRUE(TakePublished(&record));
}

TEST(PublishedError, HelpIsSetOnlyWithBothContextAndFile) {
  ::SetErrorInfo(0, nullptr);
  Published record;
  EXPECT_EQ(DISP_E_EXCEPTION,
            PublishErrorInfo(kUnregisteredClass, L"text", 7, L"help.chm", IID_IVadunaService, 0, nullptr));
  ASSERT_TRUE(TakePublished(&record));
  EXPECT_EQ(L"text", record.description);
  EXPECT_EQ(7u, record.helpContext);
  EXPECT_EQ(L"help.chm", record.helpFile);

  EXPECT_EQ(DISP_E_EXCEPTION, PublishErrorInfo(kUnregisteredClass, L"text", 7, nullptr, IID_IVadunaService, 0, nullptr));
  ASSERT_TRUE(TakePublished(&record));
  EXPECT_EQ(0u, record.helpContext);
  EXPECT_EQ(L"", record.helpFile);
}

}  // namespace
}  // namespace vaduna
