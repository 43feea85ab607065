// How a data channel gathers its writes into sends, with a recording stand-in for the
// encrypt-and-send step.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "platform/Value.h"
#include "tunnel/channel/TunnexSendPacker.h"

namespace kl {
namespace {

class PackerTest : public ::testing::Test {
protected:
    // Records each send's bytes; fails the sends the test asks to fail.
    TunnexSendPacker::SendStep step() {
        return [this](std::span<uint8_t> bytes) {
            sends.push_back(bytes.size());
            sent.insert(sent.end(), bytes.begin(), bytes.end());
            return !failSends;
        };
    }
    bool write(size_t length, bool moreWaiting) {
        Bytes data(length);
        for (auto& byte : data) byte = uint8_t(next++);
        written.insert(written.end(), data.begin(), data.end());
        return packer.write(data, moreWaiting, step());
    }

    TunnexSendPacker packer;
    std::vector<size_t> sends;
    Bytes sent, written;
    bool failSends = false;
    unsigned next = 0;
};

// Each row: writes (length, more waiting behind it) and the sends they make.
TEST_F(PackerTest, WritesAreGatheredOnlyWhileMoreWaitBehindThem) {
    struct Case {
        const char* name;
        std::vector<std::pair<size_t, bool>> writes;
        std::vector<size_t> sends;
    };
    const size_t half = kPackBufferSize / 2;
    const std::vector<Case> cases = {
        {"a lone write goes out at once", {{100, false}}, {100}},
        {"a single byte too", {{1, false}, {1, false}}, {1, 1}},
        {"a burst goes out with its last write", {{100, true}, {200, true}, {300, false}}, {600}},
        {"a burst that fills the buffer sends it full, the rest with the last write",
         {{half, true}, {half, true}, {10, false}},
         {kPackBufferSize, 10}},
        {"a buffer within reach of full goes out without waiting for the rest",
         {{kPackBufferSize - kPackNearlyFull, true}, {10, true}},
         {kPackBufferSize - kPackNearlyFull}},
        {"a write larger than the buffer goes in buffer-sized pieces",
         {{kPackBufferSize + 5, false}},
         {kPackBufferSize, 5}},
        {"an empty write sends what is gathered", {{100, true}, {0, false}}, {100}},
        {"an empty write with nothing gathered sends nothing", {{0, false}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TunnexSendPacker fresh;
        std::swap(packer, fresh);
        sends.clear();
        sent.clear();
        written.clear();
        for (auto [length, more] : c.writes) EXPECT_TRUE(write(length, more));
        EXPECT_EQ(sends, c.sends);
        // What waits behind the last write is sent with a later one, never dropped.
        if (!c.writes.back().second) {
            EXPECT_EQ(packer.bufferedBytes(), 0u);
        }
        EXPECT_TRUE(packer.write({}, false, step()));
        EXPECT_EQ(sent, written);  // every byte, in order, once
    }
}

// A long write the caller gives up is sent from its own buffer (no copy), after what was gathered;
// a short one is gathered as any other.
TEST_F(PackerTest, LongOwnedWritesAreSentWhereTheyLie) {
    ASSERT_TRUE(write(100, true));
    Bytes small(10, 7), large(kPackDirectMinimum, 9);
    ASSERT_TRUE(packer.writeOwned(small, true, step()));
    EXPECT_TRUE(sends.empty());
    const uint8_t* sentFrom = nullptr;
    ASSERT_TRUE(packer.writeOwned(large, true, [&](std::span<uint8_t> bytes) {
        if (bytes.size() == large.size()) sentFrom = bytes.data();
        return step()(bytes);
    }));
    EXPECT_EQ(sends, (std::vector<size_t>{110, kPackDirectMinimum}));
    EXPECT_EQ(sentFrom, large.data());
    EXPECT_EQ(packer.bufferedBytes(), 0u);
}

TEST_F(PackerTest, AFailedSendReportsAndDropsWhatWasGathered) {
    ASSERT_TRUE(write(100, true));
    failSends = true;
    EXPECT_FALSE(write(50, false));
    EXPECT_EQ(sends, (std::vector<size_t>{150}));
    EXPECT_EQ(packer.bufferedBytes(), 0u);
}

}  // namespace
}  // namespace kl
