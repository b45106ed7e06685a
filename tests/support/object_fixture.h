// The fixture of every object test: counting fake script objects that must
// come back to the test's own reference, a server lock count back at 0, and
// a fresh server context (module record, wrapper table, gates, shared
// attachment) for every test. WrapperTest adds an owner
// application object and wrappers bound under it.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "base/unique_resource.h"
#include "base/variant_builders.h"
#include "object_model/application_object.h"
#include "object_model/property_set_object.h"
#include "object_model/script_wrapper.h"
#include "object_model/service_object.h"
#include "object_model/server_context.h"
#include "object_model/shared_attachment.h"
#include "object_model/wrapper_factory.h"
#include "tests/support/fake_script_object.h"

namespace vaduna::test {

using Microsoft::WRL::ComPtr;

inline constexpr HRESULT kDispException = static_cast<HRESULT>(0x80020009);
inline constexpr VARIANT_BOOL kSentinelBool = static_cast<VARIANT_BOOL>(0x5a5a);
inline constexpr long kSentinelLong = static_cast<long>(0xdeadbeef);
inline BSTR SentinelBstr() { return reinterpret_cast<BSTR>(static_cast<UINT_PTR>(0xdeadbeef)); }
inline constexpr const wchar_t* kSyncEventName = contract::kReadyEventName;

// A server context of its own, as the process has one.
struct TestServer {
  ServerModule module;
  WrapperRegistry wrappers;
  WrapGates gates;
  SharedAttachment attachment;
  ServerContext context{module, wrappers, gates, attachment, &MakeWrapper};
};

// The context of the running object test.
ServerContext& TestContext();
inline SharedAttachment& Attachment() { return TestContext().attachment; }
inline ServerModule& TestModule() { return TestContext().module; }

// A method body answering object (null included) with a new reference; it
// keeps none itself.
FakeScriptObject::Method ReturnsObject(IDispatch* object);

// The server object behind one of the server's interfaces, not counted.
ScriptWrapper* ServerObjectOf(IUnknown* iface);
// The count of the server object behind iface.
LONG CountOf(IUnknown* iface);
// The owner of the wrapper behind iface, not counted; null without one.
ScriptWrapper* OwnerOf(IUnknown* iface);
// The fake's current handle member, or -1 when it holds no 32-bit integer.
LONG HandleOf(const FakeScriptObject& script);
// The wrapper that FindWrapper yields for script, with its reference adopted
// (MinGW's ComPtr::Attach would add one more).
ComPtr<IUnknown> FoundWrapper(IDispatch* script, ObjectKind kind);

// An application object as the class factory makes it.
ComPtr<IVadunaHTMLApplication> NewApplication();
// Wrappers as the class factory makes them: no owner, no script object.
ComPtr<IVadunaPropertySet> UnboundSet();
ComPtr<IVadunaService> UnboundService();

class ObjectsTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A fake whose one reference the fixture holds and checks at the end.
  FakeScriptObject* NewFake(bool dispatchEx = true);
  // A script service or property set that already carries the handle member.
  FakeScriptObject* NewScriptObject(bool dispatchEx = true);

  // Creates the readiness event, signalled or not; closed at the end.
  void CreateSyncEvent(bool signalled);

  UniqueHandle readyEvent_;

 private:
  std::unique_ptr<TestServer> server_;
  std::vector<ComPtr<FakeScriptObject>> fakes_;
};

class WrapperTest : public ObjectsTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A property set wrapper bound to script under the owner, as NewPropertySet makes it.
  ComPtr<IVadunaPropertySet> BoundSet(FakeScriptObject* script);
  // A service wrapper bound to script under the owner, as GetService makes it.
  ComPtr<IVadunaService> BoundService(FakeScriptObject* script);

  // Attaches a fake script application whose "NewPropertySet" answers a new
  // fake each time (kept in newSets_), with the readiness event signalled.
  FakeScriptObject* AttachReadyApp();

  ComPtr<IVadunaHTMLApplication> app_;
  ApplicationObject* owner_ = nullptr;
  std::vector<FakeScriptObject*> newSets_;
};

}  // namespace vaduna::test
