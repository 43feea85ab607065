// The listener's connection limits: a slot per connection while it lives, the cap per user with
// root and administrators exempt, and the total cap that binds everyone.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "foundation/ipc/IPCConnectionLimits.h"

namespace kl::ipc {
namespace {

PeerCredentials user(uid_t uid) {
    PeerCredentials peer;
    peer.pid = 1234;
    peer.euid = uid;
    peer.egid = uid;
    return peer;
}

TEST(IPCConnectionLimits, PerUserAndTotalCapsWithRootExemptFromThePerUserOne) {
    // Uids no account has: no group membership, no exemption.
    const uid_t a = 4000001, b = 4000002;
    ASSERT_FALSE(isAdministrator(a));
    ASSERT_TRUE(isAdministrator(0));
    auto limits = std::make_shared<IPCConnectionLimits>(6, 2);
    std::vector<std::shared_ptr<void>> held;
    for (int i = 0; i < 2; ++i) held.push_back(limits->admit(user(a), "test"));
    EXPECT_EQ(limits->admit(user(a), "test"), nullptr) << "a third connection of one user";
    held.push_back(limits->admit(user(b), "test"));
    for (int i = 0; i < 3; ++i) held.push_back(limits->admit(user(0), "test"));  // over 2: root is exempt
    for (const auto& slot : held) EXPECT_NE(slot, nullptr);
    EXPECT_EQ(limits->admit(user(0), "test"), nullptr) << "the total binds root too";
    EXPECT_EQ(limits->admit(user(b), "test"), nullptr);

    // A slot dropped is a slot free again, for its user and for the total.
    held.erase(held.begin());
    EXPECT_NE(limits->admit(user(a), "test"), nullptr);
    // Slots that outlive their limits release nothing and do not crash.
    limits.reset();
    held.clear();
}

}  // namespace
}  // namespace kl::ipc
