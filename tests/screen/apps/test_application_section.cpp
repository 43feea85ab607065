// The update's application section as the viewer stand-in reads it: applications with UTF-16
// names and TIFF icons (none for hashes the viewer announced), the window snapshot relative to
// the display origin, at most three thumbnails, and the menus; then snapshots and throttled
// thumbnails while nothing changes.
#include <gtest/gtest.h>

#include <thread>

#include "AppsTestFakes.h"
#include "ViewerUpdateStream.h"
#include "screen/apps/MonitorApplicationInfoSource.h"

namespace kl {
namespace {

using test::FakeAccessibility;
using test::FakeDesktop;
using test::solidImage;
using test::visibleWindow;

uint16_t le16(const Bytes& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }

class SectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        desktop->applications = {{101, "Éditeur"}, {202, "Viewer"}};
        desktop->icons[101] = {solidImage(64, 64, 1)};
        desktop->icons[202] = {solidImage(64, 64, 2)};
        for (uint64_t id = 1; id <= 4; ++id) {
            desktop->windows.push_back(visibleWindow(id, id == 4 ? 202 : 101, {100.0 + id, 50, 300, 200}));
            desktop->captures[id] = solidImage(300, 200, uint8_t(id));
        }
        ax->add(1, 0, "bar");
        ax->add(2, 1, "File");
        ax->add(3, 1, "Edit");
        ax->menuBars = {{101, 1}};
        monitor->setThumbnailPause(std::chrono::milliseconds(0));
    }

    // One section as the server frames it, fed to the viewer; the records are kept too.
    bool section(std::vector<Bytes>& records, bool failThumbnails = false) {
        const Bytes open = {0x27, 0}, close = {0x27, 1};
        viewer.feed(open);
        bool ok = source.sendApplicationSection([&](std::span<const uint8_t> record) {
            if (failThumbnails && record[0] == 0x22) return false;
            records.emplace_back(record.begin(), record.end());
            viewer.feed(record);
            return true;
        });
        viewer.feed(close);
        return ok;
    }
    void pollNow() {
        source.pollInBackground();
        for (int i = 0; i < 500 && !monitor->pollComplete(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(monitor->pollComplete());
    }

    std::shared_ptr<FakeDesktop> desktop = std::make_shared<FakeDesktop>();
    std::shared_ptr<FakeAccessibility> ax = std::make_shared<FakeAccessibility>();
    std::shared_ptr<KLTApplicationMonitor> monitor = std::make_shared<KLTApplicationMonitor>(desktop, ax);
    MonitorApplicationInfoSource source{monitor, [] { return Point{100, 40}; }};
    viewer::ViewerUpdateStream viewer;
};

TEST_F(SectionTest, FirstSectionCarriesApplicationsWindowsThumbnailsAndMenus) {
    pollNow();
    auto viewerIcon = monitor->applicationStateForPID(202)->icon->tiffHash;
    monitor->cacheHash(viewerIcon);  // as the handshake announces it

    std::vector<Bytes> records;
    ASSERT_TRUE(section(records));
    ASSERT_FALSE(viewer.failed()) << viewer.failure();
    EXPECT_EQ(viewer.sectionsOpened, 1);
    EXPECT_EQ(viewer.sectionsClosed, 1);
    ASSERT_EQ(viewer.applications.size(), 2u);
    const auto& editor = viewer.applications[0];
    EXPECT_EQ(editor.applicationID, 101u);
    EXPECT_EQ(editor.name, u"Éditeur");
    ASSERT_FALSE(editor.icon.empty());
    auto md5 = dataWithMD5OfData(editor.icon);
    EXPECT_TRUE(std::equal(md5.begin(), md5.end(), editor.iconHash));
    EXPECT_TRUE(viewer.applications[1].icon.empty());  // the viewer has it
    EXPECT_TRUE(std::equal(viewerIcon.begin(), viewerIcon.end(), viewer.applications[1].iconHash));

    EXPECT_EQ(viewer.windowCount, 4u);
    EXPECT_EQ(viewer.thumbnails, 3);
    EXPECT_EQ(viewer.menuCount, 3u);  // the bar and its two titles

    const Bytes& snapshot = records[1];
    ASSERT_EQ(snapshot[0], 0x23);
    EXPECT_EQ(le16(snapshot, 9 + 16), 1);   // x 101 relative to origin 100
    EXPECT_EQ(le16(snapshot, 9 + 18), 10);  // y 50 relative to 40
    EXPECT_EQ(le16(snapshot, 9 + 20), 300);
    EXPECT_TRUE(monitor->discoveredApplications().empty());  // acknowledged
}

TEST_F(SectionTest, QuietSectionsSendTheSnapshotAndThumbnailsAtMostOnceASecond) {
    pollNow();
    std::vector<Bytes> first, second, third;
    ASSERT_TRUE(section(first));
    ASSERT_TRUE(section(second));
    ASSERT_EQ(second.size(), 2u);  // snapshot, and the fourth window's thumbnail
    EXPECT_EQ(second[0][0], 0x23);
    EXPECT_EQ(second[1][0], 0x22);
    desktop->captures[1] = solidImage(300, 200, 77);
    monitor->updateWindowsFromAppStates(monitor->applicationStates(), true, false);
    ASSERT_TRUE(section(third));
    ASSERT_EQ(third.size(), 1u);  // within the second: snapshot only
    EXPECT_FALSE(viewer.failed()) << viewer.failure();
    EXPECT_EQ(viewer.thumbnails, 4);
    EXPECT_TRUE(viewer.applications.size() == 2u);
}

TEST_F(SectionTest, AFailedSendIsReported) {
    pollNow();
    std::vector<Bytes> records;
    EXPECT_FALSE(section(records, true));
    ASSERT_EQ(records.size(), 2u);  // applications and snapshot went; the thumbnail failed, menus not tried
    EXPECT_EQ(records[0][0], 0x24);
    EXPECT_EQ(records[1][0], 0x23);
}

}  // namespace
}  // namespace kl
