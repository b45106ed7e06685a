// An object's error state: message texts from the executable's string table,
// sticky code and text, a fresh copy per read, safe under concurrent use.
#include "object_model/errors/error_reporting.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "interface/interfaces.h"

namespace vaduna {
namespace {

constexpr wchar_t kOutOfScope[] = L"The Object is out of scope.";
constexpr wchar_t kNoService[] = L"Unable to Get Service.";

std::wstring Text(const ErrorState& state) {
  BSTR text = nullptr;
  EXPECT_EQ(S_OK, state.GetText(&text));
  std::wstring copy(text != nullptr ? text : L"", ::SysStringLen(text));
  ::SysFreeString(text);
  return copy;
}

INT Code(const ErrorState& state) {
  INT code = static_cast<INT>(0xdeadbeef);
  EXPECT_EQ(S_OK, state.GetCode(&code));
  return code;
}

TEST(MessageText, MessagesComeFromTheExecutablesStringTable) {
  EXPECT_EQ(L"Can not attach a null object.", LoadMessageText(kMsgNullAttach).value_or(L"?"));
  EXPECT_EQ(kOutOfScope, LoadMessageText(kMsgOutOfScope).value_or(L"?"));
  EXPECT_EQ(kNoService, LoadMessageText(kMsgNoService).value_or(L"?"));
  EXPECT_EQ(L"Already Attached to the Vaduna Object", LoadMessageText(kMsgAlreadyAttached).value_or(L"?"));
  // Neighbours in the same block, an empty block slot, a block that is not there.
  EXPECT_FALSE(LoadMessageText(200).has_value());
  EXPECT_FALSE(LoadMessageText(205).has_value());
  EXPECT_FALSE(LoadMessageText(102).has_value());
  EXPECT_FALSE(LoadMessageText(0).has_value());
  EXPECT_FALSE(LoadMessageText(0xFFFF).has_value());
  EXPECT_EQ(L"VadunaService Class", LoadMessageText(105).value_or(L"?"));
}

TEST(MessageText, BlockEntriesAreCountedAndBoundedByTheBlock) {
  // Entries 0..3: "ab", empty, "c", then a length that runs past the end.
  const WCHAR block[] = {2, L'a', L'b', 0, 1, L'c', 5, L'x'};
  const size_t units = sizeof(block) / sizeof(block[0]);
  EXPECT_EQ(L"ab", StringTableEntry(block, units, 0).value_or(L"?"));
  EXPECT_FALSE(StringTableEntry(block, units, 1).has_value());
  EXPECT_EQ(L"c", StringTableEntry(block, units, 2).value_or(L"?"));
  EXPECT_FALSE(StringTableEntry(block, units, 3).has_value());
  EXPECT_FALSE(StringTableEntry(block, units, 4).has_value());
  EXPECT_FALSE(StringTableEntry(block, units, 15).has_value());
  // A block cut inside the first entry has no entry at all.
  EXPECT_FALSE(StringTableEntry(block, 2, 0).has_value());
  EXPECT_FALSE(StringTableEntry(block, 0, 0).has_value());
}

TEST(ErrorState, FreshStateHasCodeZeroAndNoText) {
  ErrorState state;
  EXPECT_EQ(0, Code(state));
  BSTR text = reinterpret_cast<BSTR>(static_cast<ULONG_PTR>(0xdeadbeef));
  EXPECT_EQ(S_OK, state.GetText(&text));
  EXPECT_EQ(nullptr, text);
  EXPECT_EQ(E_POINTER, state.GetCode(nullptr));
  EXPECT_EQ(E_POINTER, state.GetText(nullptr));
}

TEST(ErrorState, RecordSetsCodeAndTextAndAnswersException) {
  ErrorState state;
  EXPECT_EQ(DISP_E_EXCEPTION, state.Record(kMsgOutOfScope, CLSID_VadunaHTMLApplication, IID_IVadunaHTMLApplication));
  EXPECT_EQ(202, Code(state));
  EXPECT_EQ(kOutOfScope, Text(state));
  // Reading does not clear: the state stays until the next recorded failure.
  EXPECT_EQ(202, Code(state));
  EXPECT_EQ(kOutOfScope, Text(state));

  EXPECT_EQ(DISP_E_EXCEPTION, state.Record(kMsgNoService, CLSID_VadunaHTMLApplication, IID_IVadunaHTMLApplication));
  EXPECT_EQ(203, Code(state));
  EXPECT_EQ(kNoService, Text(state));
}

TEST(ErrorState, MessageWithoutTextLeavesNoTextAndAnswersItsOwnCode) {
  ErrorState state;
  ASSERT_EQ(DISP_E_EXCEPTION, state.Record(kMsgOutOfScope, CLSID_VadunaService, IID_IVadunaService));
  // No text: the record says "Unknown Error" as message number 0.
  EXPECT_EQ(static_cast<HRESULT>(0x80040000), state.Record(205, CLSID_VadunaService, IID_IVadunaService));
  EXPECT_EQ(205, Code(state));
  BSTR text = reinterpret_cast<BSTR>(static_cast<ULONG_PTR>(0xdeadbeef));
  EXPECT_EQ(S_OK, state.GetText(&text));
  EXPECT_EQ(nullptr, text);
}

TEST(ErrorState, EachReadIsANewStringTheCallerOwns) {
  ErrorState state;
  state.Record(kMsgOutOfScope, CLSID_VadunaPropertySet, IID_IVadunaPropertySet);
  BSTR first = nullptr;
  BSTR second = nullptr;
  ASSERT_EQ(S_OK, state.GetText(&first));
  ASSERT_EQ(S_OK, state.GetText(&second));
  ASSERT_NE(nullptr, first);
  EXPECT_NE(first, second);
  EXPECT_EQ(::SysStringByteLen(first), ::SysStringByteLen(second));
  EXPECT_EQ(0, std::memcmp(first, second, ::SysStringByteLen(first)));
  ::SysFreeString(first);
  ::SysFreeString(second);
  EXPECT_EQ(kOutOfScope, Text(state));
}

TEST(ErrorState, ConcurrentRecordsAndReadsNeverSeeATornText) {
  ErrorState state;
  std::atomic<bool> torn{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      for (int i = 0; i < 300; ++i) {
        if (t % 2 == 0) {
          state.Record(i % 2 == 0 ? kMsgOutOfScope : kMsgNoService, CLSID_VadunaService, IID_IVadunaService);
        } else {
          BSTR text = nullptr;
          INT code = 0;
          if (FAILED(state.GetText(&text)) || FAILED(state.GetCode(&code))) torn = true;
          const std::wstring read(text != nullptr ? text : L"", ::SysStringLen(text));
          ::SysFreeString(text);
          if (!read.empty() && read != kOutOfScope && read != kNoService) torn = true;
          if (code != 0 && code != 202 && code != 203) torn = true;
        }
      }
      ::CoUninitialize();
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(torn);
  const INT code = Code(state);
  EXPECT_EQ(code == 202 ? std::wstring(kOutOfScope) : std::wstring(kNoService), Text(state));
}

}  // namespace
}  // namespace vaduna
