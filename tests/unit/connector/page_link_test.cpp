// A page's link against a fake socket and site: calls as one request and its
// reply, matched by request id across threads; errors, time-outs and late
// replies; identity and release counts across replies; the end of the page;
// and the refusals that close the connection with their close codes.
#include "connector/page_link.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <algorithm>

#include "tests/unit/connector/connector_fakes.h"
#include "vaduna_contract.h"

namespace vaduna::connector::test {
namespace {

namespace json = boost::json;
using Microsoft::WRL::ComPtr;
using vaduna::test::FakeScriptObject;
using vaduna::test::I4;
using vaduna::test::Str;

constexpr WORD kScriptCall = DISPATCH_METHOD | DISPATCH_PROPERTYGET;

json::value Parse(const char* text) { return json::parse(text); }

std::uint64_t IdOf(const VariantValue& value) {
  if (value.vt() != VT_DISPATCH) return 0;
  ComPtr<PageObject> object = PageObject::FromUnknown(value.get().pdispVal);
  return object ? object->id() : 0;
}

TEST(PageLinkAttach, HelloAsksForTheAttachmentAndTheApplicationIsAPageObject) {
  LinkHarness page;
  ComPtr<IDispatch> application = page.Hello(4);
  EXPECT_EQ(1u, page.site.attachRequests());
  ComPtr<PageObject> object = PageObject::FromUnknown(application.Get());
  ASSERT_TRUE(object);
  EXPECT_EQ(4u, object->id());
  EXPECT_EQ(1u, object->receipts);
  const auto attached = page.socket->WaitFor("attached");
  ASSERT_TRUE(attached);
  EXPECT_EQ(Parse(R"({"op":"attached","v":1})"), json::value(*attached));
}

TEST(PageLinkCalls, ACallIsOneRequestAndItsReply) {
  LinkHarness page;
  ComPtr<IDispatch> application = page.Hello();

  auto service = CallAsync(application.Get(), L"GetService", kScriptCall, {Str(L"Billing")});
  json::object call = page.NextCall();
  EXPECT_EQ(Parse(R"({"op":"call","rid":1,"target":1,"member":"GetService","kind":"method","args":["Billing"]})"),
            json::value(call));
  page.Reply(1, R"({"$":"ref","id":2})");
  CallOutcome outcome = service.get();
  EXPECT_EQ(S_OK, outcome.hr);
  EXPECT_EQ(2u, IdOf(outcome.result));

  const std::size_t before = page.socket->Frames().size();
  auto get = CallAsync(application.Get(), L"Title", DISPATCH_PROPERTYGET);
  call = page.NextCall(before);
  EXPECT_EQ("get", call["kind"]);
  EXPECT_EQ(json::array(), call["args"]);
  page.Reply(Rid(call), R"("Shop")");
  EXPECT_STREQ(L"Shop", get.get().result.get().bstrVal);
  // A number Boost's own parser reads one unit off in the last place.
  auto number = CallAsync(application.Get(), L"Total", DISPATCH_PROPERTYGET);
  page.Reply(Rid(page.NextCall(before + 1)), "474.59380568556355");
  EXPECT_EQ(474.59380568556355, number.get().result.get().dblVal);

  auto put = CallAsync(application.Get(), L"Title", DISPATCH_PROPERTYPUT, {I4(7)});
  call = page.NextCall(before + 2);
  EXPECT_EQ("put", call["kind"]);
  EXPECT_EQ(Parse("[7]"), call["args"]);
  page.Reply(Rid(call), R"({"$":"undefined"})");
  EXPECT_EQ(S_OK, put.get().hr);

  // A page object as an argument travels as its reference; arguments go first first.
  auto pass = CallAsync(application.Get(), L"Keep", DISPATCH_METHOD, {VariantValue(outcome.result), I4(-1)});
  call = page.NextCall(before + 3);
  EXPECT_EQ(Parse(R"([{"$":"ref","id":2},-1])"), call["args"]);
  page.Reply(Rid(call), "null");
  EXPECT_EQ(VT_NULL, pass.get().result.vt());
}

TEST(PageLinkCalls, CallsFromManyThreadsAreMatchedByTheirRequestIds) {
  LinkHarness page;
  ComPtr<IDispatch> application = page.Hello();
  std::vector<std::future<CallOutcome>> calls;
  for (int i = 0; i < 6; ++i) calls.push_back(CallAsync(application.Get(), L"Echo", DISPATCH_METHOD, {I4(i)}));
  std::vector<json::object> frames;
  for (int waited = 0; waited < 500 && page.socket->Count("call") < 6; ++waited) ::Sleep(10);
  for (const json::object& frame : page.socket->Frames()) {
    if (frame.at("op") == "call") frames.push_back(frame);
  }
  ASSERT_EQ(6u, frames.size());
  // Answered in reverse order, each with its own argument.
  for (auto frame = frames.rbegin(); frame != frames.rend(); ++frame) {
    page.Reply(Rid(*frame), json::serialize(frame->at("args").at(0)));
  }
  for (int i = 0; i < 6; ++i) {
    CallOutcome outcome = calls[i].get();
    EXPECT_EQ(S_OK, outcome.hr);
    EXPECT_EQ(i, outcome.result.get().lVal);
  }
  EXPECT_EQ(0u, page.link->pendingCalls());
}

TEST(PageLinkCalls, PageErrorsBecomeComErrors) {
  LinkHarness page;
  ComPtr<IDispatch> application = page.Hello();
  struct Case {
    const char* kind;
    HRESULT code;
    const wchar_t* description;
  };
  const Case cases[] = {
      {"exception", DISP_E_EXCEPTION, L"No service \x00C4rger"},
      {"member-not-found", DISP_E_MEMBERNOTFOUND, L"No service \x00C4rger"},
      {"type-mismatch", DISP_E_TYPEMISMATCH, L"No service \x00C4rger"},
      {"unknown-object", DISP_E_EXCEPTION, L"The page no longer holds this object"},
      {"a-kind-of-a-later-revision", DISP_E_EXCEPTION, L"No service \x00C4rger"},
  };
  std::size_t frames = page.socket->Frames().size();
  for (const Case& expected : cases) {
    auto call = CallAsync(application.Get(), L"GetService", kScriptCall, {Str(L"x")});
    page.ReplyError(Rid(page.NextCall(frames++)), expected.kind, "No service \xC3\x84rger");
    CallOutcome outcome = call.get();
    EXPECT_EQ(expected.code, outcome.hr) << expected.kind;
    EXPECT_EQ(expected.description, outcome.description) << expected.kind;
    EXPECT_EQ(kErrorSource, outcome.source) << expected.kind;
    EXPECT_EQ(VT_EMPTY, outcome.result.vt());
  }
  // A reply value COM cannot hold fails the call alone.
  auto call = CallAsync(application.Get(), L"When", kScriptCall);
  page.Reply(Rid(page.NextCall(frames)), R"({"$":"date","v":253402300800000})");
  EXPECT_EQ(DISP_E_OVERFLOW, call.get().hr);
  EXPECT_FALSE(page.link->ended());
}

TEST(PageLinkCalls, ArgumentsThePageCannotHoldAreRefusedBeforeAnythingIsSent) {
  LinkHarness page;
  ComPtr<IDispatch> application = page.Hello();
  ComPtr<FakeScriptObject> desktopObject = FakeScriptObject::Create();
  CallOutcome outcome = CallAsync(application.Get(), L"Keep", DISPATCH_METHOD,
                                  {Str(L"fine"), vaduna::test::Dispatch(desktopObject.Get())})
                            .get();
  EXPECT_EQ(DISP_E_TYPEMISMATCH, outcome.hr);
  EXPECT_EQ(0u, outcome.argError) << "rgvarg index of the second (last) argument";
  EXPECT_FALSE(outcome.description.empty());
  VARIANT big;
  ::VariantInit(&big);
  big.vt = VT_I8;
  big.llVal = (std::int64_t{1} << 53) + 1;
  outcome = CallAsync(application.Get(), L"Keep", DISPATCH_METHOD, {VariantValue(big)}).get();
  EXPECT_EQ(DISP_E_OVERFLOW, outcome.hr);
  // Arguments over the frame limit, alone or together.
  VARIANT text;
  ::VariantInit(&text);
  text.vt = VT_BSTR;
  text.bstrVal = ::SysAllocStringLen(nullptr, static_cast<UINT>(kMaxFrameBytes + 1));
  std::fill_n(text.bstrVal, kMaxFrameBytes + 1, L'x');
  VariantValue huge(text);
  ::VariantClear(&text);
  outcome = CallAsync(application.Get(), L"Keep", DISPATCH_METHOD, {huge}).get();
  EXPECT_EQ(kCallTooLarge, outcome.hr);
  EXPECT_EQ(HRESULT(0x800710F0), outcome.hr);
  text.vt = VT_BSTR;
  text.bstrVal = ::SysAllocStringLen(nullptr, static_cast<UINT>(kMaxFrameBytes / 2 + 1));
  std::fill_n(text.bstrVal, kMaxFrameBytes / 2 + 1, L'y');
  VariantValue half(text);
  ::VariantClear(&text);
  outcome = CallAsync(application.Get(), L"Keep", DISPATCH_METHOD, {half, half}).get();
  EXPECT_EQ(kCallTooLarge, outcome.hr);
  EXPECT_EQ(0u, page.socket->Count("call"));
  EXPECT_EQ(1, desktopObject->RefCount());
}

TEST(PageLinkCalls, ATimedOutCallFailsAndItsLateReplyIsDroppedButItsReferencesCount) {
  LinkHarness page(std::chrono::milliseconds(200));
  ComPtr<IDispatch> application = page.Hello();

  // An object the client keeps: id 2.
  auto kept = CallAsync(application.Get(), L"Child", kScriptCall);
  page.Reply(Rid(page.NextCall()), R"({"$":"ref","id":2})");
  CallOutcome child = kept.get();
  ASSERT_EQ(2u, IdOf(child.result));

  const ULONGLONG started = ::GetTickCount64();
  auto slow = CallAsync(application.Get(), L"Slow", kScriptCall);
  const json::object call = page.NextCall(2);
  CallOutcome outcome = slow.get();
  const ULONGLONG waited = ::GetTickCount64() - started;
  EXPECT_EQ(HRESULT(0x800705B4), outcome.hr);
  EXPECT_NE(std::wstring::npos, outcome.description.find(L"did not answer \"Slow\" within 200 ms"));
  EXPECT_GE(waited, 190u);
  EXPECT_LT(waited, 3000u);
  EXPECT_EQ(0u, page.link->pendingCalls());

  // The late reply names an object nobody holds (5): released at once with its one reference.
  page.Frame(R"({"op":"reply","rid":)" + std::to_string(Rid(call)) + R"(,"value":{"$":"ref","id":5}})");
  const auto release = page.socket->WaitFor("release");
  ASSERT_TRUE(release);
  EXPECT_EQ(Parse(R"({"op":"release","id":5,"count":1})"), json::value(*release));
  // A second late reply names the kept object: counted on it, released with it.
  page.Frame(R"({"op":"reply","rid":)" + std::to_string(Rid(call)) + R"(,"value":{"$":"ref","id":2}})");
  EXPECT_EQ(1u, page.socket->Count("release"));
  child.result.put();
  EXPECT_EQ(2u, page.socket->Count("release"));
  EXPECT_EQ(Parse(R"({"op":"release","id":2,"count":2})"), json::value(page.socket->Frames().back()));
  EXPECT_FALSE(page.link->ended()) << "a late reply is no fault of the page";
}

TEST(PageLinkObjects, TheSameIdIsTheSameComObjectWhileItLivesAndItsReleaseCountsEveryReference) {
  LinkHarness page;
  ComPtr<IDispatch> application = page.Hello();
  std::size_t frames = page.socket->Frames().size();
  auto fetch = [&] {
    auto call = CallAsync(application.Get(), L"GetService", kScriptCall, {Str(L"Billing")});
    page.Reply(Rid(page.NextCall(frames++)), R"({"$":"ref","id":2})");
    return call.get();
  };
  CallOutcome first = fetch();
  CallOutcome second = fetch();
  ComPtr<IUnknown> firstIdentity, secondIdentity;
  first.result.get().pdispVal->QueryInterface(IID_PPV_ARGS(&firstIdentity));
  second.result.get().pdispVal->QueryInterface(IID_PPV_ARGS(&secondIdentity));
  EXPECT_EQ(firstIdentity.Get(), secondIdentity.Get());
  firstIdentity.Reset();
  secondIdentity.Reset();

  first.result.put();
  EXPECT_EQ(0u, page.socket->Count("release"));
  second.result.put();
  ASSERT_EQ(1u, page.socket->Count("release"));
  EXPECT_EQ(Parse(R"({"op":"release","id":2,"count":2})"), json::value(page.socket->Frames().back()));
  ++frames;

  CallOutcome third = fetch();  // a new COM object for the same page object
  EXPECT_EQ(2u, IdOf(third.result));
  third.result.put();
  EXPECT_EQ(Parse(R"({"op":"release","id":2,"count":1})"), json::value(page.socket->Frames().back()));
}

TEST(PageLinkEnd, APageThatGoesFailsItsPendingCallsAtOnceAndNothingMoreIsSent) {
  LinkHarness page(std::chrono::seconds(30));
  ComPtr<IDispatch> application = page.Hello();
  auto kept = CallAsync(application.Get(), L"Child", kScriptCall);
  page.Reply(Rid(page.NextCall()), R"({"$":"ref","id":2})");
  CallOutcome child = kept.get();

  auto pending = CallAsync(application.Get(), L"Slow", kScriptCall);
  page.NextCall(2);
  const ULONGLONG started = ::GetTickCount64();
  page.link->SocketClosed("connection reset");
  CallOutcome outcome = pending.get();
  EXPECT_EQ(RPC_E_DISCONNECTED, outcome.hr);
  EXPECT_LT(::GetTickCount64() - started, 2000u);
  EXPECT_EQ(RPC_E_DISCONNECTED, CallAsync(application.Get(), L"Later", kScriptCall).get().hr);
  EXPECT_EQ(1u, page.site.ended());

  // Its objects keep their local members; their releases are not sent any more.
  const std::size_t frames = page.socket->Frames().size();
  EXPECT_EQ(S_OK, CallAsync(child.result.get().pdispVal, vaduna::contract::kHandleMember, DISPATCH_PROPERTYPUT, {I4(9)}).get().hr);
  page.link->DisconnectObjects();
  child.result.put();
  EXPECT_EQ(frames, page.socket->Frames().size());
  EXPECT_EQ(0u, page.socket->sentAfterClose());
  EXPECT_EQ(1u, page.link->objects().size()) << "only the application object, which the test holds";
}

TEST(PageLinkEnd, APageThatAsksToLeaveIsToldDetachedAndClosedNormally) {
  LinkHarness page;
  page.Hello();
  page.Frame(R"({"op":"detach"})");
  EXPECT_EQ(Parse(R"({"op":"detached","reason":"closed"})"), json::value(page.socket->Frames().back()));
  EXPECT_EQ(CloseCode::kNormal, page.socket->closed());
  EXPECT_EQ(1u, page.site.ended());
  EXPECT_FALSE(page.link->Application()) << "the link lets go of the application object when it ends";
}

struct Refusal {
  const char* name;
  std::string frame;
  CloseCode code;
};

void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

class PageLinkRefusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(PageLinkRefusals, CloseTheConnectionWithTheirCode) {
  LinkHarness page;
  ComPtr<IDispatch> application = page.Hello();
  auto pending = CallAsync(application.Get(), L"Slow", kScriptCall);  // rid 1 is given out
  page.NextCall();
  page.Frame(GetParam().frame);
  EXPECT_EQ(GetParam().code, page.socket->closed());
  EXPECT_EQ(RPC_E_DISCONNECTED, pending.get().hr);
  EXPECT_EQ(1u, page.site.ended());
  EXPECT_TRUE(page.log.Contains("refused")) << "the refusal is logged";
}

INSTANTIATE_TEST_SUITE_P(
    Frames, PageLinkRefusals,
    ::testing::Values(
        Refusal{"NotJson", "not json", CloseCode::kMalformed},
        Refusal{"TruncatedJson", R"({"op":"reply","rid":1,"value":1)", CloseCode::kMalformed},
        Refusal{"NestedTooDeep", std::string(9, '[') + std::string(9, ']'), CloseCode::kMalformed},
        Refusal{"EscapedLoneSurrogate", R"("\ud800")", CloseCode::kMalformed},
        Refusal{"NotAnObject", "[1]", CloseCode::kProtocol},
        Refusal{"NoOp", R"({"rid":1})", CloseCode::kProtocol},
        Refusal{"UnknownOp", R"({"op":"launch"})", CloseCode::kPolicy},
        Refusal{"ReplyToACallNeverMade", R"({"op":"reply","rid":99,"value":1})", CloseCode::kPolicy},
        Refusal{"ReplyWithRidZero", R"({"op":"reply","rid":0,"value":1})", CloseCode::kProtocol},
        Refusal{"ReplyWithNeitherValueNorError", R"({"op":"reply","rid":1})", CloseCode::kProtocol},
        Refusal{"ReplyWithValueAndError", R"({"op":"reply","rid":1,"value":1,"error":{"kind":"exception"}})",
                CloseCode::kProtocol},
        Refusal{"ReplyWithAnArray", R"({"op":"reply","rid":1,"value":[1]})", CloseCode::kProtocol},
        Refusal{"ReplyWithATextError", R"({"op":"reply","rid":1,"error":"boom"})", CloseCode::kProtocol},
        Refusal{"SecondHello", R"({"op":"hello","v":1,"app":{"$":"ref","id":3}})", CloseCode::kProtocol},
        Refusal{"FrameOver16MiB", "\"" + std::string(kMaxFrameBytes, 'x') + "\"", CloseCode::kTooBig}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST(PageLinkRefusalsBeforeHello, AHelloOfAnotherVersionOrWithoutItsApplicationIsRefused) {
  {
    LinkHarness page;
    page.Frame(R"({"op":"hello","v":2,"app":{"$":"ref","id":1}})");
    EXPECT_EQ("error", page.socket->Frames().at(0).at("op"));
    EXPECT_EQ(CloseCode::kProtocol, page.socket->closed());
    EXPECT_EQ(0u, page.site.attachRequests());
  }
  {
    LinkHarness page;
    page.Frame(R"({"op":"hello","v":1,"app":"Shop"})");
    EXPECT_EQ(CloseCode::kProtocol, page.socket->closed());
    EXPECT_EQ(0u, page.site.attachRequests());
  }
}

}  // namespace
}  // namespace vaduna::connector::test
