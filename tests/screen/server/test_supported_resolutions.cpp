// The display size offered to a viewer that asks for a size: the shipped list and its choice.
#include <gtest/gtest.h>

#include "screen/server/SupportedResolutions.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

SupportedResolution entry(double w, double h, int mode, int major = 1, int minor = 1, int patch = 0) {
    return {w, h, mode, std::to_string(int(w)) + "x" + std::to_string(int(h)), major, minor, patch};
}

TEST(SupportedResolutions, BestEntryForARequestedSize) {
    const std::vector<SupportedResolution> list = {
        entry(1280, 800, 19), entry(1024, 768, 1),      entry(1920, 1080, 30),
        entry(1440, 900, 24), entry(1600, 900, 90, 2),  // meant for a newer protocol: never offered
        entry(1200, 960, 91, 1, 1, 10),                 // patch 10 is past 1.1.9
        entry(1152, 900, 92, 1, 2, 0),                  // minor 2 is past 1.1.9
    };
    struct Case {
        double w, h;
        int mode;
        double chosenW, chosenH;
    } cases[] = {
        {1920, 1080, 30, 1920, 1080},  // exact
        {1500, 1000, 24, 1440, 900},   // the largest that fits both ways
        {1300, 2000, 19, 1280, 800},   // fits by width only: 1280x800 beats 1024x768
        {1600, 900, 24, 1440, 900},    // the exact entry is for a newer protocol
        {800, 600, 1, 1024, 768},      // smaller than every entry: the fallback
        {0, 0, 1, 1024, 768},          // an old viewer that asked for nothing
    };
    for (const auto& c : cases) {
        SupportedResolution best = findBestResolutionForScreenSize(list, c.w, c.h);
        EXPECT_EQ(best.modeID, c.mode) << c.w << "x" << c.h;
        EXPECT_EQ(best.width, c.chosenW) << c.w << "x" << c.h;
        EXPECT_EQ(best.height, c.chosenH) << c.w << "x" << c.h;
    }
    // Equal areas: the later entry wins.
    auto tie = findBestResolutionForScreenSize({entry(1200, 800, 11), entry(800, 1200, 66)}, 1300, 1300);
    EXPECT_EQ(tie.modeID, 66);
    auto fallback = findBestResolutionForScreenSize({}, 4000, 4000);
    EXPECT_EQ(fallback.description, "1024x768");
}

TEST(SupportedResolutions, ReadsTheShippedList) {
    auto list = loadSupportedResolutions(std::filesystem::path(KL_SOURCE_DIR) / "src/screen/program/SupportedResolutions.plist");
    ASSERT_TRUE(list);
    ASSERT_FALSE(list->empty());
    auto best = findBestResolutionForScreenSize(*list, 1920, 1080);
    EXPECT_EQ(best.modeID, 30);
    EXPECT_EQ(best.description, "1920x1080");

    // Entries without a size or mode are left out; one without a version counts as 0.0.0.
    Value value(Array{Value(Dictionary{{"width", 800.0}, {"height", 600.0}, {"modeID", 8}}),
                      Value(Dictionary{{"width", "wide"}, {"height", 600.0}, {"modeID", 3}}),
                      Value(Dictionary{{"height", 600.0}, {"modeID", 3}})});
    auto parsed = supportedResolutionsFromValue(value);
    ASSERT_EQ(parsed.size(), 1u);
    EXPECT_EQ(parsed[0].modeID, 8);
    EXPECT_EQ(findBestResolutionForScreenSize(parsed, 800, 600).modeID, 8);
    EXPECT_FALSE(loadSupportedResolutions(test::tempRoot() / "missing.plist"));
}

}  // namespace
}  // namespace kl
