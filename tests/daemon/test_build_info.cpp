// The daemon reports the versions of the information list it carries, not a second copy of them.
#include <gtest/gtest.h>

#include "daemon/PWDaemonBuildInfo.h"

using namespace kl;

namespace {

std::string infoPlist(const std::string& entries) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + entries + "</dict></plist>\n";
}

const PWDaemonBuildInfo kFallback{"1.0.0", "1000", 1.0e9};

}  // namespace

TEST(DaemonBuildInfo, TheEmbeddedListWinsAndEachUnusableFactKeepsTheBuiltOne) {
    struct Case {
        const char* name;
        std::string text;
        PWDaemonBuildInfo expected;
    };
    const Case cases[] = {
        {"all three", infoPlist("<key>CFBundleShortVersionString</key><string>1.0.1</string>"
                                "<key>CFBundleVersion</key><string>1001</string>"
                                "<key>KLTBuildDate</key><date>2026-01-02T03:04:05Z</date>"),
         {"1.0.1", "1001", 1767323045.0}},
        {"revision only", infoPlist("<key>CFBundleVersion</key><string>1001</string>"), {"1.0.0", "1001", 1.0e9}},
        {"wrong types", infoPlist("<key>CFBundleVersion</key><integer>1001</integer>"
                                  "<key>KLTBuildDate</key><string>yesterday</string>"),
         kFallback},
        {"not a dictionary", "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>", kFallback},
        {"not a list", "garbage", kFallback},
        {"empty", "", kFallback},
    };
    for (const auto& c : cases) {
        PWDaemonBuildInfo info = buildInfoFromInfoPlist(c.text, kFallback);
        EXPECT_EQ(info.version, c.expected.version) << c.name;
        EXPECT_EQ(info.revision, c.expected.revision) << c.name;
        EXPECT_EQ(info.buildDate, c.expected.buildDate) << c.name;
    }
}
