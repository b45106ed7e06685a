// The page's object table: one COM object per id while it lives, a new one
// after its release, release counts that add up to the references received,
// also when a reference arrives while the old object is being released.
#include "connector/object_table.h"

#include <wrl/client.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace vaduna::connector {
namespace {

using Microsoft::WRL::ComPtr;
using Release = std::pair<std::uint64_t, std::uint64_t>;  // id, count

// Owns the table as a page link does, and records the releases it would send.
class TableOwner final : public PageObjectOwner {
 public:
  HRESULT CallPage(std::uint64_t, const std::wstring&, CallKind, const DISPPARAMS&, VARIANT*,
                   CallFailure&) noexcept override {
    return E_NOTIMPL;
  }
  void LastReleased(PageObject& object) noexcept override {
    if (beforeForget) beforeForget(object);
    if (const auto count = table.Forget(object)) releases.emplace_back(object.id(), *count);
  }

  ObjectTable table;
  std::function<void(PageObject&)> beforeForget;  // the moment between the last Release and the table's Forget
  std::vector<Release> releases;
};

class ObjectTableTest : public ::testing::Test {
 protected:
  ComPtr<PageObject> Receive(std::uint64_t id) {
    PageObject* object = nullptr;
    EXPECT_EQ(S_OK, owner_->table.Receive(owner_, id, &object));
    ComPtr<PageObject> held;
    *held.ReleaseAndGetAddressOf() = object;  // the received reference
    return held;
  }

  std::shared_ptr<TableOwner> owner_ = std::make_shared<TableOwner>();
};

TEST_F(ObjectTableTest, OneComObjectPerIdWhileItLivesAndOneReleaseWithEveryReceipt) {
  ComPtr<PageObject> first = Receive(7);
  ComPtr<PageObject> second = Receive(7);
  ComPtr<PageObject> third = Receive(7);
  ComPtr<PageObject> other = Receive(8);
  EXPECT_EQ(first.Get(), second.Get());
  EXPECT_EQ(first.Get(), third.Get());
  EXPECT_NE(first.Get(), other.Get());
  EXPECT_EQ(3u, first->receipts);
  EXPECT_EQ(std::optional<std::uint64_t>(7), owner_->table.IdOf(*first.Get()));
  EXPECT_EQ(2u, owner_->table.size());

  first.Reset();
  second.Reset();
  EXPECT_TRUE(owner_->releases.empty()) << "released while a reference was left";
  third.Reset();
  EXPECT_EQ(std::vector<Release>{Release(7, 3)}, owner_->releases);
  EXPECT_EQ(1u, owner_->table.size());

  // After its release the id gets a new object, counted from one again.
  ComPtr<PageObject> again = Receive(7);
  EXPECT_EQ(1u, again->receipts);
  again.Reset();
  other.Reset();
  EXPECT_EQ((std::vector<Release>{{7, 3}, {7, 1}, {8, 1}}), owner_->releases);
  EXPECT_EQ(0u, owner_->table.size());
}

TEST_F(ObjectTableTest, AReferenceArrivingWhileTheOldObjectIsReleasedGetsANewObject) {
  ComPtr<PageObject> old = Receive(7);
  old->AddRef();  // a second holder of the same two receipts
  ComPtr<PageObject> dummy = Receive(7);
  dummy.Reset();
  ASSERT_EQ(2u, old->receipts);

  ComPtr<PageObject> replacement;
  owner_->beforeForget = [&](PageObject& dying) {
    owner_->beforeForget = nullptr;
    replacement = Receive(7);  // the reply that crosses the release on the wire
    EXPECT_NE(&dying, replacement.Get()) << "a dying object was handed out again";
    EXPECT_EQ(1u, replacement->receipts);
  };
  old->Release();
  old.Reset();
  // The old object's release carries its own two receipts; the new one lives on with its one.
  EXPECT_EQ(std::vector<Release>{Release(7, 2)}, owner_->releases);
  ASSERT_TRUE(replacement);
  EXPECT_EQ(std::optional<std::uint64_t>(7), owner_->table.IdOf(*replacement.Get()));
  EXPECT_EQ(replacement.Get(), Receive(7).Get());
  replacement.Reset();
  EXPECT_EQ((std::vector<Release>{{7, 2}, {7, 2}}), owner_->releases);  // 2 + 2 = the 4 references received
}

TEST_F(ObjectTableTest, AClosedTableSendsNothingAndMakesNoObject) {
  ComPtr<PageObject> object = Receive(7);
  std::vector<ComPtr<PageObject>> live = owner_->table.Live();
  ASSERT_EQ(1u, live.size());
  EXPECT_EQ(object.Get(), live[0].Get());
  EXPECT_EQ(3u, object->AddRef());  // ours, live's, this one
  object->Release();

  owner_->table.Close();
  EXPECT_TRUE(owner_->table.closed());
  PageObject* refused = reinterpret_cast<PageObject*>(0x1);
  EXPECT_EQ(RPC_E_DISCONNECTED, owner_->table.Receive(owner_, 9, &refused));
  EXPECT_EQ(nullptr, refused);
  object.Reset();
  EXPECT_EQ(1u, owner_->table.size()) << "live still holds it";
  live.clear();
  EXPECT_EQ(0u, owner_->table.size());
  EXPECT_TRUE(owner_->releases.empty()) << "a release was sent after the page went";
}

}  // namespace
}  // namespace vaduna::connector
