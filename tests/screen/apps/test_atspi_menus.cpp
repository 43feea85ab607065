// Menus of a Qt application read through AT-SPI on a real accessibility bus: the bar's titles on
// a poll, one menu per request with its states and key bindings, and an item pressed.
#include <gtest/gtest.h>

#include "AccessibilitySession.h"
#include "AppWindowProcess.h"
#include "screen/apps/ApplicationRecordSerialization.h"
#include "screen/apps/KLTApplicationMonitor.h"
#include "screen/apps/X11ApplicationPlatform.h"
#include "screen/x11/XvfbTestSupport.h"

namespace kl {
namespace {

inline constexpr const char* kQtMenuApp = KL_QT_MENU_APP;

std::vector<std::string> titles(const KLTApplicationMenu& menu) {
    std::vector<std::string> out;
    for (const auto& child : menu.submenus) out.push_back(child->title);
    return out;
}

// What the server does for a menu request: read the menu's own level again.
std::shared_ptr<KLTApplicationMenu> openMenu(KLTApplicationMonitor& monitor, uint64_t pid, const std::string& path) {
    auto menu = monitor.applicationStateForPID(pid)->topMenu;
    size_t start = 0;
    while (menu && start <= path.size()) {
        const size_t slash = path.find('/', start);
        const std::string title = path.substr(start, slash - start);
        std::shared_ptr<KLTApplicationMenu> next;
        for (const auto& child : menu->submenus)
            if (child->title == title) next = child;
        if (!next) return nullptr;
        next->submenus.clear();
        monitor.continueMenu(next->elementHandle, next, next->ordinal + 1, next->ordinal + 1);
        menu = next;
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return menu;
}

TEST(AtspiMenus, QtApplicationMenusAreReadOneLevelAtATimeAndPressed) {
    KL_REQUIRE_SESSION_BUS_TOOLS();
    KL_START_XVFB(xvfb, 1024, 768);
    test::SessionBus session;
    ASSERT_TRUE(session.started());
    ASSERT_TRUE(session.startAccessibilityBus());
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    test::StandinProcess app({kQtMenuApp});
    auto ready = app.waitFor([](const nlohmann::json& l) { return l.value("ready", false); }, std::chrono::seconds(20));
    ASSERT_TRUE(ready);
    const uint64_t pid = (*ready)["pid"].get<uint64_t>();

    auto engine = makeSessionAccessibilityEngine();
    ASSERT_TRUE(engine->isEnabled());
    KLTApplicationMonitor monitor(X11ApplicationPlatform::open(), engine);
    monitor.setThumbnailPause(std::chrono::milliseconds(0));
    std::shared_ptr<KLTApplicationMenu> top;
    for (int i = 0; i < 50 && !top; ++i) {  // the application registers with the bus after it shows
        monitor.fullReset();
        monitor.poll();
        auto state = monitor.applicationStateForPID(pid);
        if (state) top = state->topMenu;
        if (!top) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ASSERT_TRUE(top);
    EXPECT_FALSE(monitor.applicationStateForPID(pid)->icon->generic);
    EXPECT_TRUE(top->appTopMenu);
    EXPECT_EQ(titles(*top), (std::vector<std::string>{"File", "Edit"}));
    for (const auto& item : top->submenus) {
        EXPECT_TRUE(item->hasSubMenus);
        EXPECT_TRUE(item->submenus.empty());
        EXPECT_EQ(item->ordinal, 0u);
    }

    auto file = openMenu(monitor, pid, "File");
    ASSERT_TRUE(file);
    ASSERT_EQ(titles(*file), (std::vector<std::string>{"Open", "Recent", "Quit"}));
    const auto& open = *file->submenus[0];
    EXPECT_EQ(open.cmdChar, uint32_t('O'));
    EXPECT_EQ(open.position.x, 0);
    EXPECT_TRUE(open.enabled);
    EXPECT_FALSE(open.hasSubMenus);
    EXPECT_TRUE(file->submenus[1]->hasSubMenus);
    EXPECT_EQ(lowerMenuRecords(*file)[0].parentHandle, file->elementHandle);

    auto recent = openMenu(monitor, pid, "File/Recent");
    ASSERT_TRUE(recent);
    ASSERT_EQ(titles(*recent), (std::vector<std::string>{"a.txt", "b.txt"}));
    EXPECT_EQ(recent->submenus[0]->ordinal, 2u);

    auto edit = openMenu(monitor, pid, "Edit");
    ASSERT_TRUE(edit);
    ASSERT_EQ(titles(*edit), (std::vector<std::string>{"Undo", "Word wrap"}));
    EXPECT_FALSE(edit->submenus[0]->enabled);
    EXPECT_TRUE(edit->submenus[1]->checked);
    EXPECT_FALSE(edit->submenus[0]->checked);

    // The request names the item by its handle, as the viewer does.
    auto found = monitor.menuForElementID(file->submenus[0]->elementHandle, pid);
    ASSERT_TRUE(found);
    EXPECT_TRUE(found->executeMenuOption(monitor.accessibility()));
    EXPECT_TRUE(app.waitFor([](const nlohmann::json& l) { return l.value("triggered", "") == "Open"; },
                            std::chrono::seconds(10)));
    EXPECT_FALSE(monitor.accessibility().press(0xFFFFFFFF));  // unknown handle
}

}  // namespace
}  // namespace kl
