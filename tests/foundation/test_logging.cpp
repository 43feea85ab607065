#include <gtest/gtest.h>

#include "foundation/KLTLogging.h"

using namespace kl;

class Logging : public ::testing::Test {
protected:
    void SetUp() override {
        clearMemoryLog();
        saved_ = loggingLevel();
    }
    void TearDown() override { setLoggingLevel(saved_); }
    int32_t saved_ = 1;
};

TEST_F(Logging, LevelAgainstThresholdTable) {
    // Levels 0-4 against thresholds 0, 1, 3 and -1 (negative lets everything through).
    struct Row {
        int32_t threshold;
        bool written[5];
    } rows[] = {
        {0, {true, false, false, false, false}},
        {1, {true, true, false, false, false}},
        {3, {true, true, true, true, false}},
        {-1, {true, true, true, true, true}},
    };
    for (const auto& row : rows) {
        setLoggingLevel(row.threshold);
        for (uint32_t level = 0; level < 5; ++level) {
            clearMemoryLog();
            KLLog(level, "message %u", level);
            EXPECT_EQ(memoryLogLines().size(), row.written[level] ? 1u : 0u)
                << "threshold " << row.threshold << " level " << level;
        }
    }
}

TEST_F(Logging, LineCarriesTheLevelNameAndKeepsPercentSigns) {
    setLoggingLevel(-1);
    KLLog(0, "%s", "100% done %d");
    KLLog(4, "beyond");
    auto lines = memoryLogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "error: 100% done %d");
    EXPECT_EQ(lines[1], "(null): beyond");
}

TEST_F(Logging, SuppressedLevelEvaluatesNoArguments) {
    setLoggingLevel(1);
    int evaluated = 0;
    auto costly = [&] {
        ++evaluated;
        return "x";
    };
    KLLog(2, "%s", costly());
    EXPECT_EQ(evaluated, 0);
    KLLog(1, "%s", costly());
    EXPECT_EQ(evaluated, 1);
}

TEST_F(Logging, AssertWritesWhateverTheThresholdAndOnlyWhenFalse) {
    setLoggingLevel(0);
    int evaluated = 0;
    auto arg = [&] { return ++evaluated; };
    KLAssert(true, "not written %d", arg());
    EXPECT_EQ(evaluated, 0);
    EXPECT_TRUE(memoryLogLines().empty());
    KLAssert(1 + 1 == 3, "failed %d", arg());
    ASSERT_EQ(memoryLogLines().size(), 1u);
    EXPECT_EQ(memoryLogLines()[0], "failed 1");
}

TEST_F(Logging, LevelNames) {
    EXPECT_STREQ(KLTLoggingLevelString(0), "error");
    EXPECT_STREQ(KLTLoggingLevelString(1), "info");
    EXPECT_STREQ(KLTLoggingLevelString(2), "debug");
    EXPECT_STREQ(KLTLoggingLevelString(3), "verbose");
    EXPECT_EQ(KLTLoggingLevelString(4), nullptr);
}
