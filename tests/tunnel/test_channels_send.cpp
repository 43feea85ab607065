// A data channel whose receiver falls behind: sends wait while UDT's buffers are full instead of
// failing after one send time-out, so a slow but live channel delivers everything, and it resumes
// as soon as the receiver reads again, under either congestion control.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "UdtTestSupport.h"
#include "tunnel/peer/TunnexPeer.h"

namespace kl {
namespace {

using namespace kl::test;

class DataChannelSend : public testing::TestWithParam<TunnexCongestionControl> {};

TEST_P(DataChannelSend, AReceiverThatStallsLongerThanTheSendTimeOutLosesNothingAndResumesAtOnce) {
    TunnexPeer::initialize();
    UdpPeers udp;
    auto [a, b] = udp.open(TunnexChannelMode::Stream, GetParam());
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    auto sender = TunnexSocketImpl::create(a);
    auto receiver = TunnexSocketImpl::create(b);
    auto delegate = std::make_shared<CountingDelegate>();
    sender->setDelegate(delegate);
    receiver->setDelegate(delegate);
    ASSERT_TRUE(carryFirstByte(sender, receiver));

    // More than UDT's send and receive buffers hold together, so the sender must wait for the
    // receiver, which reads nothing for several send time-outs.
    Bytes data(48u << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(streamByte(i));
    auto sent = std::async(std::launch::async, [&] {
        bool ok = true;
        sender->sendOperationQueue().addOperationAndWait([&] {
            for (size_t offset = 0; offset < data.size() && ok; offset += 1u << 20) {
                ok = sender->sendBytes(std::span<const uint8_t>(data).subspan(offset, 1u << 20));
            }
        });
        return ok;
    });
    // Long enough for the sender's expiries to have backed off far.
    std::this_thread::sleep_for(std::chrono::milliseconds(8 * kDataChannelSendTimeoutMs));
    Bytes got;
    got.reserve(data.size());
    std::chrono::steady_clock::duration longestWait{};
    while (got.size() < data.size()) {
        const auto asked = std::chrono::steady_clock::now();
        auto chunk = receiver->recvBytes(1u << 20, 10.0, nullptr);
        longestWait = std::max(longestWait, std::chrono::steady_clock::now() - asked);
        if (!chunk) break;
        got.insert(got.end(), chunk->begin(), chunk->end());
    }
    // A receive that gave up leaves the sender waiting for room: closing releases it, so a fault
    // shows as a failure rather than a hung test.
    if (got.size() < data.size()) sender->close();
    EXPECT_TRUE(sent.get());
    EXPECT_FALSE(sender->sendErrorFlag());
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
    // A sender that learnt of the room late leaves the reader waiting for seconds (far beyond any
    // delay of a loaded machine on loopback).
    EXPECT_LT(longestWait, std::chrono::seconds(3))
        << "the reader waited " << std::chrono::duration<double>(longestWait).count() << " s for the sender";
    sender->close();
    receiver->close();
}

INSTANTIATE_TEST_SUITE_P(Controls, DataChannelSend,
                         testing::Values(TunnexCongestionControl::Native, TunnexCongestionControl::LossTolerant),
                         [](const auto& info) {
                             return info.param == TunnexCongestionControl::Native ? "Native" : "LossTolerant";
                         });

}  // namespace
}  // namespace kl
