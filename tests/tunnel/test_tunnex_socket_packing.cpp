// The pack decision of a data channel's sends, on an injected clock, with a recording stand-in
// for the encrypt-and-send step.
#include <gtest/gtest.h>

#include <vector>

#include "platform/Value.h"
#include "tunnel/TunnexSendPacker.h"

namespace kl {
namespace {

class PackerTest : public ::testing::Test {
protected:
    // Records each send's length; fails the sends the test asks to fail.
    TunnexSendPacker::SendStep step() {
        return [this](std::span<const uint8_t> bytes) {
            sends.push_back(bytes.size());
            return !failSends;
        };
    }
    TunnexSendPacker::Outcome write(size_t length, double at) {
        Bytes data(length, uint8_t(length));
        return packer.write(data, at, step());
    }
    TunnexSendPacker::Outcome flush(double at) { return packer.write({}, at, step()); }

    TunnexSendPacker packer;
    std::vector<size_t> sends;
    bool failSends = false;
};

TEST_F(PackerTest, SingleBytesAndIsolatedWritesGoOutAtOnce) {
    EXPECT_TRUE(write(1, 100.0).sent);
    EXPECT_TRUE(write(1, 100.001).sent);  // quick, but a single byte never packs
    EXPECT_TRUE(write(500, 101.0).sent);  // long after the last write
    EXPECT_EQ(sends, (std::vector<size_t>{1, 1, 500}));
    EXPECT_FALSE(packer.usingPackMode());
}

TEST_F(PackerTest, QuickSecondWriteWaitsForTheDelayedFlush) {
    auto first = write(100, 100.0);
    auto second = write(100, 100.005);
    EXPECT_TRUE(first.sent);
    EXPECT_FALSE(first.scheduleFlush);
    EXPECT_TRUE(second.sent);
    EXPECT_TRUE(second.scheduleFlush);
    EXPECT_EQ(sends, (std::vector<size_t>{100}));
    EXPECT_EQ(packer.bufferedBytes(), 100u);

    EXPECT_FALSE(packer.flushDue(100.010));  // still within the interval of the last write
    EXPECT_TRUE(packer.flushDue(100.020));
    EXPECT_TRUE(flush(100.020).sent);
    EXPECT_EQ(sends, (std::vector<size_t>{100, 100}));
    EXPECT_EQ(packer.bufferedBytes(), 0u);
    EXPECT_FALSE(packer.usingPackMode());
}

TEST_F(PackerTest, LaterWriteSupersedesAnEarlierFlush) {
    write(100, 100.0);
    write(100, 100.005);  // schedules a flush for 100.020
    write(100, 100.015);  // schedules its own for 100.030
    EXPECT_FALSE(packer.flushDue(100.020));
    EXPECT_TRUE(packer.flushDue(100.031));
    flush(100.031);
    EXPECT_EQ(sends, (std::vector<size_t>{100, 200}));
}

TEST_F(PackerTest, FullBufferGoesOutInOneSendAndPackingContinues) {
    const size_t chunk = 64 * 1024;
    double at = 100.0;
    write(chunk, at);  // isolated: out at once
    size_t written = 0;
    while (sends.size() == 1) {
        at += 0.001;
        auto outcome = write(chunk, at);
        ASSERT_TRUE(outcome.sent);
        written += chunk;
    }
    // The buffer went out once it had at most 32 KiB free.
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends[1], written);
    EXPECT_LE(kPackBufferSize - written, kPackNearlyFull);
    EXPECT_TRUE(packer.bufferSentLastRound());
    // The next write packs whatever its timing.
    auto late = write(chunk, at + 10.0);
    EXPECT_TRUE(late.scheduleFlush);
    EXPECT_EQ(sends.size(), 2u);
    EXPECT_EQ(packer.bufferedBytes(), chunk);
}

TEST_F(PackerTest, OverflowFlushesFirstAndAFailedFlushDropsTheWrite) {
    write(100, 100.0);
    write(2'000'000, 100.001);  // packed: 97,152 bytes free
    ASSERT_EQ(packer.bufferedBytes(), 2'000'000u);
    auto overflowing = write(100'000, 100.002);
    EXPECT_TRUE(overflowing.sent);
    EXPECT_EQ(sends, (std::vector<size_t>{100, 2'000'000}));
    EXPECT_EQ(packer.bufferedBytes(), 100'000u);

    write(1'990'000, 100.003);  // 2,090,000 buffered: nearly full, so it goes out
    ASSERT_EQ(sends.back(), 2'090'000u);
    write(2'000'000, 100.004);  // packing continues after a full buffer
    failSends = true;
    auto dropped = write(200'000, 100.005);
    EXPECT_FALSE(dropped.sent);
    EXPECT_EQ(packer.bufferedBytes(), 0u);
    EXPECT_EQ(sends.back(), 2'000'000u);  // the failed flush; the write itself was not sent
}

TEST_F(PackerTest, LeavingPackModeSendsBufferAndWriteTogether) {
    write(100, 100.0);
    write(300, 100.005);
    auto single = write(1, 100.010);
    EXPECT_TRUE(single.sent);
    EXPECT_EQ(sends, (std::vector<size_t>{100, 301}));
    EXPECT_EQ(packer.bufferedBytes(), 0u);
}

TEST_F(PackerTest, LeavingPackModeWithAFailedBufferSendSkipsTheWrite) {
    write(100, 100.0);
    write(2'000'000, 100.005);
    failSends = true;
    // 50 ms later: packing ends, and the buffer plus this write would overflow it.
    auto outcome = write(200'000, 100.055);
    EXPECT_FALSE(outcome.sent);
    EXPECT_EQ(sends, (std::vector<size_t>{100, 2'000'000}));
}

TEST_F(PackerTest, OversizedWriteIsSentOnItsOwn) {
    write(100, 100.0);
    write(100, 100.005);  // buffered
    auto big = write(kPackBufferSize + 1, 100.006);
    EXPECT_TRUE(big.sent);
    EXPECT_FALSE(big.scheduleFlush);
    EXPECT_EQ(sends, (std::vector<size_t>{100, 100, kPackBufferSize + 1}));
    EXPECT_FALSE(packer.usingPackMode());
}

TEST_F(PackerTest, PackStateBelongsToOnePacker) {
    TunnexSendPacker other;
    const size_t chunk = 512 * 1024;
    double at = 100.0;
    write(chunk, at);
    while (sends.size() < 2) write(chunk, at += 0.001);  // this packer sent a full buffer
    ASSERT_TRUE(packer.bufferSentLastRound());

    std::vector<size_t> otherSends;
    auto record = [&](std::span<const uint8_t> bytes) {
        otherSends.push_back(bytes.size());
        return true;
    };
    Bytes data(100, 1);
    other.write(data, 200.0, record);
    auto outcome = other.write(data, 201.0, record);  // long after: not packed
    EXPECT_FALSE(outcome.scheduleFlush);
    EXPECT_EQ(otherSends, (std::vector<size_t>{100, 100}));
}

}  // namespace
}  // namespace kl
