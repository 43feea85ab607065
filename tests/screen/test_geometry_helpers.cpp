// Geometry types and the helpers with exact results other parts rely on.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <thread>

#include "screen/KLGeometryHelpers.h"
#include "screen/KLRect.h"

namespace kl {
namespace {

TEST(Geometry, IntersectionAndUnion) {
    Rect a(0, 0, 10, 10);
    EXPECT_EQ(a.intersection(Rect(5, 5, 10, 10)), Rect(5, 5, 5, 5));
    EXPECT_TRUE(a.intersection(Rect(20, 0, 5, 5)).isNull());
    Rect edge = a.intersection(Rect(10, 0, 5, 5));  // shared edge: zero width, not null
    EXPECT_FALSE(edge.isNull());
    EXPECT_EQ(edge.size.width, 0);
    EXPECT_EQ(Rect(10, 10, -10, -10).intersection(a), a);
    EXPECT_EQ(Rect::null().unionWith(a), a);
    EXPECT_EQ(a.unionWith(Rect(20, -5, 1, 1)), Rect(0, -5, 21, 15));
    EXPECT_TRUE(Rect::null().intersection(a).isNull());
}

TEST(GeometryHelpers, ProximityTextAndFitting) {
    EXPECT_TRUE(CGPointProximateWithin({0, 0}, {3, 4}, 5));
    EXPECT_FALSE(CGPointProximateWithin({0, 0}, {3, 4}, 4.99));
    EXPECT_TRUE(CGPointProximateWithin({10, 10}, {7, 6}, 5));

    EXPECT_EQ(NSStringFromCGRect(Rect(1, 2, 3.5, 4)), "{ { 1, 2 }, { 3.5, 4 } }");
    EXPECT_EQ(NSStringFromCGSize({1440, 900}), "{ 1440, 900 }");
    KLRect k{Rect(1, 2, 3, 4), true, {5, 6}};
    EXPECT_NE(k.description().find("rect: { { 1, 2 }, { 3, 4 } }, moved: YES, delta: { 5, 6 }"), std::string::npos);

    EXPECT_EQ(NSRectFitRectInRect(Rect(0, 0, 200, 100), Rect(0, 0, 100, 100), false), Rect(0, 25, 100, 50));
    EXPECT_EQ(NSRectFitRectInRect(Rect(0, 0, 200, 100), Rect(0, 0, 100, 100), true), Rect(-50, 0, 200, 100));
    EXPECT_EQ(NSRectSizeRectInRect(Rect(0, 0, 50, 100), Rect(10, 10, 100, 100), false), Rect(0, 0, 50, 100));
    EXPECT_EQ(NSRectFromSize({3, 4}), Rect(0, 0, 3, 4));
}

TEST(GeometryHelpers, StringsAddressesAndArrays) {
    EXPECT_TRUE(hasPrefixCaseless("KeyCode_Return", "keycode"));
    EXPECT_FALSE(hasPrefixCaseless("Key", "keycode"));
    EXPECT_TRUE(hasPrefixCaseless("anything", ""));

    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &v4.sin_addr);
    EXPECT_EQ(stringIPAddresWithSockAddr(reinterpret_cast<sockaddr*>(&v4)), "127.0.0.1");
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "fe80::1", &v6.sin6_addr);
    EXPECT_EQ(stringIPAddresWithSockAddr(reinterpret_cast<sockaddr*>(&v6)), "fe80::1");
    sockaddr other{};
    other.sa_family = AF_UNIX;
    EXPECT_EQ(stringIPAddresWithSockAddr(&other), "");
    EXPECT_EQ(stringIPAddresWithSockAddr(nullptr), std::nullopt);

    std::vector<int> v{1, 2};
    EXPECT_EQ(checkedObjectAtIndex(v, 2), nullptr);
    EXPECT_EQ(*checkedObjectAtIndex(v, 1), 2);
    checkedReplaceObjectAtIndex(v, 2, 9);
    checkedReplaceObjectAtIndex(v, 0, 7);
    EXPECT_EQ(v, (std::vector<int>{7, 2}));
}

TEST(GeometryHelpers, DoubleClickIntervalComesFromTheSourceOr400ms) {
    setDoubleClickIntervalSource(nullptr);
    EXPECT_TRUE(isDoubleClick(0.4));
    EXPECT_FALSE(isDoubleClick(0.41));
    setDoubleClickIntervalSource([] { return std::optional<double>(0.25); });
    EXPECT_FALSE(isDoubleClick(0.3));
    setDoubleClickIntervalSource([] { return std::optional<double>(); });
    EXPECT_TRUE(isDoubleClick(0.3));
    setDoubleClickIntervalSource(nullptr);
}

TEST(GeometryHelpers, NotificationsArriveOnTheMainLoop) {
    MainLoop loop;
    Signal<int> signal;
    std::vector<std::pair<int, bool>> seen;
    signal.connect([&](int v) { seen.push_back({v, loop.isCurrentThread()}); });
    std::thread other([&] { postNotificationOnMainThread(loop, signal, 1); });
    other.join();
    EXPECT_TRUE(seen.empty());  // queued, not emitted on the poster's thread
    loop.post([&] { postNotificationOnMainThread(loop, signal, 2); });
    ASSERT_TRUE(loop.runUntil([&] { return seen.size() == 2; }, std::chrono::seconds(5)));
    EXPECT_EQ(seen, (std::vector<std::pair<int, bool>>{{1, true}, {2, true}}));
}

}  // namespace
}  // namespace kl
