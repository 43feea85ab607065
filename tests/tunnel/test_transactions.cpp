#include <gtest/gtest.h>

#include <cstring>

#include "TunnelTestSupport.h"
#include "tunnel/protocol/TunnexAddress.h"
#include "tunnel/protocol/TunnexChannelRequest.h"
#include "tunnel/manager/TunnexRemotePeer.h"
#include "tunnel/peer/TunnexTransaction.h"

namespace kl {
namespace {

TEST(Transaction, StartsAsAnOriginatorWithNothingSet) {
    TunnexTransaction transaction;
    EXPECT_TRUE(transaction.isOriginator());
    EXPECT_FALSE(transaction.isComplete());
    EXPECT_FALSE(transaction.isWaitingForAcceptance());
    EXPECT_EQ(transaction.transactionId(), 0);
    EXPECT_EQ(transaction.peer(), nullptr);
    EXPECT_EQ(transaction.remotePeer(), nullptr);

    auto remote = std::make_shared<TunnexRemotePeer>();
    transaction.setRemotePeer(remote);
    transaction.setTransactionId(-42);
    transaction.setIsWaitingForAcceptance(true);
    EXPECT_EQ(transaction.remotePeer(), remote);
    EXPECT_EQ(transaction.transactionId(), -42);
    EXPECT_TRUE(transaction.isWaitingForAcceptance());
}

TEST(Transaction, OriginatingIdentifiersStartNonNegativeAndAreConsecutive) {
    int64_t first = TunnexTransaction::nextOriginatingTransactionId();
    EXPECT_GE(first, 0);
    EXPECT_LE(first, 2147483647);
    EXPECT_EQ(TunnexTransaction::nextOriginatingTransactionId(), first + 1);
    EXPECT_EQ(TunnexTransaction::nextOriginatingTransactionId(), first + 2);
}

TEST(ChannelRequest, KeepsWhatItWasMadeWithAndItsDate) {
    test::ManualClock clock(5000.5);
    auto remote = std::make_shared<TunnexRemotePeer>();
    auto request = std::make_shared<TunnexChannelRequest>(nullptr, nullptr, remote, 7001, "localhost", 17, clock.clock());
    EXPECT_EQ(request->port(), 7001);
    EXPECT_EQ(request->hostname(), "localhost");
    EXPECT_EQ(request->orgSocket(), 17);
    EXPECT_EQ(request->remotePeer(), remote);
    EXPECT_EQ(request->channelRequestDate().secondsSince1970, 5000.5);
    EXPECT_FALSE(request->createChannelBlock());

    // The block gets the request it belongs to and can read everything opening a channel needs.
    request->setCreateChannelBlock(
        [](const std::shared_ptr<TunnexChannelRequest>& r, TunnexChannelRequest::ChannelBlockDone done) {
            done(int32_t(r->port()) + r->orgSocket());
        });
    int32_t result = 0;
    request->createChannelBlock()(request, [&](int32_t value) { result = value; });
    EXPECT_EQ(result, 7018);
}

TEST(ChannelRequest, IsRecentForNinetySecondsInclusive) {
    const std::pair<double, bool> cases[] = {
        {0.0, true}, {45.0, true}, {90.0, true}, {90.001, false}, {3600.0, false}, {-10.0, true}};
    for (const auto& [age, recent] : cases) {
        test::ManualClock clock(1'700'000'000.0);
        TunnexChannelRequest request(nullptr, nullptr, nullptr, 22, "localhost", 3, clock.clock());
        clock.advance(age);
        EXPECT_EQ(request.recentChannelRequest(), recent) << "age " << age;
    }
}

TEST(Address, EqualityComparesAddressAndPortOnly) {
    TunnexAddress base(test::ipv4Address("10.0.0.5", 9300), 9300, false);
    sockaddr_storage otherMask = test::ipv4Address("255.255.255.0", 0);
    struct Case {
        const char* what;
        TunnexAddress other;
        bool equal;
        bool sameAddress;
    };
    TunnexAddress masked = base;
    masked.setNetmask(otherMask);
    TunnexAddress external = base;
    external.setExternalAddress(true);
    // Same IPv4 address, but another port in the socket address and in the port field.
    TunnexAddress otherPort(test::ipv4Address("10.0.0.5", 9301), 9301, false);
    // Same port field, another socket-address port: only the port field counts.
    TunnexAddress otherSockPort(test::ipv4Address("10.0.0.5", 1), 9300, false);
    const Case cases[] = {
        {"identical", TunnexAddress(test::ipv4Address("10.0.0.5", 9300), 9300, false), true, true},
        {"other netmask", masked, true, true},
        {"other external flag", external, true, true},
        {"other port", otherPort, false, true},
        {"other socket port", otherSockPort, true, true},
        {"other address", TunnexAddress(test::ipv4Address("10.0.0.6", 9300), 9300, false), false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(base.isEqual(c.other), c.equal) << c.what;
        EXPECT_EQ(c.other == base, c.equal) << c.what;
        EXPECT_EQ(base.isEqualToAddress(c.other), c.sameAddress) << c.what;
    }
}

TEST(Address, CopySharesNoStorage) {
    TunnexAddress original(test::ipv4Address("192.168.1.5", 9300), 9300, true);
    original.setNetmask(test::ipv4Address("255.255.0.0", 0));
    TunnexAddress copy = original;
    EXPECT_TRUE(copy.isEqual(original));
    EXPECT_EQ(std::memcmp(&copy.netmask(), &original.netmask(), sizeof(sockaddr_storage)), 0);
    EXPECT_TRUE(copy.externalAddress());

    copy.setAddress(test::ipv4Address("192.168.1.6", 9300));
    copy.setNetmask(test::ipv4Address("255.0.0.0", 0));
    copy.setPort(1);
    EXPECT_EQ(original.description().substr(original.description().find(" address:")),
              " address: 192.168.1.5 port: 9300");
    EXPECT_EQ(original.port(), 9300);
    EXPECT_EQ(reinterpret_cast<const sockaddr_in&>(original.netmask()).sin_addr.s_addr, htonl(0xFFFF0000));
}

TEST(Address, DescriptionUsesTheSocketAddressPort) {
    TunnexAddress address(test::ipv4Address("10.0.0.5", 9300), 1234, false);
    std::string text = address.description();
    EXPECT_EQ(text.rfind("<TunnexAddress: 0x", 0), 0u) << text;
    const std::string tail = "> address: 10.0.0.5 port: 9300";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

}  // namespace
}  // namespace kl
