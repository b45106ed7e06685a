// Fixture for the service and property set tests: an owner application
// object, counting fake script objects, wrappers bound to them, and a check
// after every test that each fake is back to the test's own reference and
// that no server lock is left.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "object_model/application_object.h"
#include "object_model/server_object_base.h"
#include "base/unique_resource.h"
#include "tests/support/fake_script_object.h"

namespace vaduna::test {

using Microsoft::WRL::ComPtr;

inline constexpr HRESULT kDispException = static_cast<HRESULT>(0x80020009);
inline constexpr VARIANT_BOOL kSentinelBool = static_cast<VARIANT_BOOL>(0x5a5a);
inline constexpr long kSentinelLong = static_cast<long>(0xdeadbeef);
inline BSTR SentinelBstr() { return reinterpret_cast<BSTR>(static_cast<UINT_PTR>(0xdeadbeef)); }

// A method body answering object with a fresh reference; it keeps none itself.
FakeScriptObject::Method ReturnsObject(IDispatch* object);

// The fake's current "VdnaCOMObjHnd", or 0 when unset.
LONG HandleOf(FakeScriptObject* script);

// The wrapper that FindWrapper yields for script, with its reference adopted
// (MinGW's ComPtr::Attach would add one more).
ComPtr<IUnknown> FoundWrapper(IDispatch* script, ObjectKind kind);

// The server object behind one of the server's interfaces.
ServerObjectBase* ServerObjectOf(IUnknown* iface);

class WrapperTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A fake script object that the fixture holds (one reference) and checks.
  FakeScriptObject* NewFake(bool dispatchEx = true);
  // A property set wrapper bound to script under the owner, as NewPropertySet makes it.
  ComPtr<IVadunaPropertySet> BoundSet(FakeScriptObject* script);
  // A service wrapper bound to script under the owner, as GetService makes it.
  ComPtr<IVadunaService> BoundService(FakeScriptObject* script);
  // Wrappers as the class factory makes them: no owner, no script object.
  ComPtr<IVadunaPropertySet> UnboundSet();
  ComPtr<IVadunaService> UnboundService();

  // Attaches a fake script application whose "NewPropertySet" answers a new
  // fake each time (kept in newSets_), with the readiness event signalled.
  FakeScriptObject* AttachReadyApp();

  ComPtr<IVadunaHTMLApplication> app_;
  ApplicationObject* owner_ = nullptr;
  std::vector<FakeScriptObject*> newSets_;
  UniqueHandle readyEvent_;

 private:
  std::vector<ComPtr<FakeScriptObject>> fakes_;
};

}  // namespace vaduna::test
