// Without a reachable accessibility bus the service reads no menus and carries on: libatspi is
// never started (it would end the process), whatever points at a bus that is not there.
#include <gtest/gtest.h>

#include "AccessibilitySession.h"
#include "AppWindowProcess.h"
#include "screen/apps/KLTApplicationMonitor.h"
#include "screen/apps/X11ApplicationPlatform.h"
#include "screen/apps/accessibility/AccessibleHandleTable.h"
#include "screen/x11/XvfbTestSupport.h"

namespace kl {
namespace {

TEST(AccessibilityDisabled, NoBusAnsweringGivesTheDisabledEngineAndNoMenus) {
    KL_REQUIRE_SESSION_BUS_TOOLS();
    KL_START_XVFB(xvfb, 800, 600);
    auto app = test::startAppWindow({"--class", "Plain"});
    ASSERT_TRUE(app.window);
    ::unsetenv("AT_SPI_BUS_ADDRESS");
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");

    auto expectDisabled = [&](const char* why) {
        auto engine = makeSessionAccessibilityEngine();
        ASSERT_TRUE(engine) << why;
        EXPECT_FALSE(engine->isEnabled()) << why;
        KLTApplicationMonitor monitor(X11ApplicationPlatform::open(), engine);
        monitor.setActivePID(uint64_t(app.pid));
        monitor.poll();
        auto state = monitor.applicationStateForPID(uint64_t(app.pid));
        ASSERT_TRUE(state) << why;
        EXPECT_FALSE(state->topMenu) << why;
        EXPECT_FALSE(monitor.menuForElementID(1, uint64_t(app.pid))) << why;
    };
    expectDisabled("no session bus");
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
    expectDisabled("session bus address that nothing serves");
    ::setenv("AT_SPI_BUS_ADDRESS", "unix:path=/nonexistent/a11y", 1);
    expectDisabled("accessibility bus address that nothing serves");
    ::unsetenv("AT_SPI_BUS_ADDRESS");
    {
        test::SessionBus session(false);  // a session bus where nothing serves the accessibility bus
        ASSERT_TRUE(session.started());
        expectDisabled("session bus without the accessibility bus");
    }
}

TEST(AccessibleHandleTable, HandlesAreStableNonZeroAndForgetUnknownOnes) {
    AccessibleHandleTable table(3);
    int released = 0;
    auto element = [&] { return std::shared_ptr<void>(new int(0), [&](void* p) { delete static_cast<int*>(p); ++released; }); };
    const uint64_t a = table.handleFor("bus|/a", element());
    EXPECT_NE(a, 0u);
    EXPECT_EQ(table.handleFor("bus|/a", element()), a);  // seen again: same handle, the copy dropped
    EXPECT_EQ(released, 1);
    const uint64_t b = table.handleFor("bus|/b", element());
    EXPECT_NE(b, a);
    EXPECT_TRUE(table.element(a));
    EXPECT_FALSE(table.element(0));
    EXPECT_FALSE(table.element(b + 100));
    table.handleFor("bus|/c", element());
    const uint64_t d = table.handleFor("bus|/d", element());  // past capacity: the old ones go
    EXPECT_EQ(table.size(), 1u);
    EXPECT_FALSE(table.element(a));
    EXPECT_TRUE(table.element(d));
    EXPECT_EQ(released, 4);
}

}  // namespace
}  // namespace kl
