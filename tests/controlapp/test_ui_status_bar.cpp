// The menulet window's status bar (with the process-wide status list) and its resize grip.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <QToolButton>

#include <thread>

#include "controlapp/ui/KLTLinkButtonCell.h"
#include "controlapp/ui/KLTMenuletWindow.h"
#include "controlapp/ui/KLTMenuletWindowController.h"
#include "controlapp/ui/KLTResizeHandle.h"
#include "controlapp/ui/KLTStatusBarView.h"
#include "platform/Executors.h"

namespace kl {
namespace {

using namespace std::chrono_literals;

void settle() {
    mainLoop().runUntil([] { return false; }, 30ms);
}

class Target final : public KLTActionTarget {
public:
    void performAction(const std::string& action) override { performed.push_back(action); }
    std::vector<std::string> performed;
};

class Delegate final : public KLTStatusBarViewProtocol {
public:
    void presentToolsMenuAtLocation(const QPoint& location) override { menus.push_back(location); }
    void helpAction() override { ++helps; }
    std::vector<QPoint> menus;
    int helps = 0;
};

class StatusBar : public ::testing::Test {
protected:
    void SetUp() override {
        KLTStatusBarView::removeAllStatusItems();
        changes_ = KLTStatusBarDidChangeItems().connect([this] { ++changes; });
    }
    void TearDown() override {
        KLTStatusBarDidChangeItems().disconnect(changes_);
        KLTStatusBarView::removeAllStatusItems();
    }
    QString line() const { return bar.leftLinkButton()->text(); }
    bool lineHasImage() const { return !bar.leftImageView()->pixmap().isNull(); }

    mutable KLTStatusBarView bar;
    int changes = 0;

private:
    Signal<>::Id changes_ = 0;
};

TEST_F(StatusBar, AnEntryWithoutImageOrTargetShowsOnceTheLoopTurnsAndClickingOnlyRemovesIt) {
    int32_t first = KLTStatusBarView::addStatusItem("Hello", std::nullopt, nullptr, std::nullopt);
    int32_t second = KLTStatusBarView::addStatusItem("Again", std::nullopt, nullptr, "update:");
    EXPECT_EQ(second, first + 1) << "identifiers come from a counter";
    EXPECT_EQ(changes, 0) << "adding announces on the main loop";
    EXPECT_EQ(line(), "");
    settle();
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(line(), "Again") << "the line shows the last entry";
    EXPECT_FALSE(lineHasImage());

    auto items = KLTStatusBarView::statusItems();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].text, "Hello");
    EXPECT_FALSE(items[0].image || items[0].hasTarget || items[0].action);

    bar.leftLinkButton()->click();  // acts on the head entry, which has no target
    items = KLTStatusBarView::statusItems();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].id, second);
    EXPECT_EQ(changes, 3) << "removal announces at once";
}

TEST_F(StatusBar, ClickingTheLinePerformsTheHeadEntrysActionOnItsTargetThenRemovesIt) {
    auto target = std::make_shared<Target>();
    KLTStatusBarView::addStatusItem("Update", "warning-mini", target, "update:");
    settle();
    EXPECT_TRUE(lineHasImage());
    bar.performCurrentAction();
    EXPECT_EQ(target->performed, std::vector<std::string>{"update:"});
    EXPECT_TRUE(KLTStatusBarView::statusItems().empty());
    EXPECT_EQ(line(), "");
    EXPECT_FALSE(lineHasImage());
    bar.performCurrentAction();  // an empty list does nothing
    EXPECT_EQ(target->performed.size(), 1u);
}

TEST_F(StatusBar, RemovingAllEntriesClearsTheLineAndItsImageAtOnce) {
    KLTStatusBarView::addStatusItem("Warning", "warning-mini", nullptr, std::nullopt);
    settle();
    ASSERT_EQ(line(), "Warning");
    ASSERT_TRUE(lineHasImage());
    KLTStatusBarView::removeAllStatusItems();
    EXPECT_EQ(line(), "");
    EXPECT_FALSE(lineHasImage());
    EXPECT_FALSE(bar.leftImageName());
}

TEST_F(StatusBar, ARemovalFromAnotherThreadReachesTheViewsOnTheMainLoop) {
    KLTStatusBarView::addStatusItem("Warning", std::nullopt, nullptr, std::nullopt);
    settle();
    std::thread::id announcedOn;
    auto id = KLTStatusBarDidChangeItems().connect([&] { announcedOn = std::this_thread::get_id(); });
    std::thread([] { KLTStatusBarView::removeAllStatusItems(); }).join();
    EXPECT_TRUE(KLTStatusBarView::statusItems().empty());
    EXPECT_EQ(line(), "Warning") << "not yet: the views hear of it on the main loop";
    settle();
    KLTStatusBarDidChangeItems().disconnect(id);
    EXPECT_EQ(announcedOn, std::this_thread::get_id());
    EXPECT_EQ(line(), "");
}

TEST_F(StatusBar, DisplayNextRotatesTwoOrMoreEntriesAndLeavesASingleOneUnannounced) {
    KLTStatusBarView::addStatusItem("One", std::nullopt, nullptr, std::nullopt);
    settle();
    int before = changes;
    bar.displayNextStatusItem();
    settle();
    EXPECT_EQ(changes, before);

    KLTStatusBarView::addStatusItem("Two", std::nullopt, nullptr, std::nullopt);
    settle();
    ASSERT_EQ(line(), "Two");
    bar.displayNextStatusItem();
    EXPECT_EQ(line(), "One");
    EXPECT_EQ(KLTStatusBarView::statusItems().front().text, "Two");
}

TEST_F(StatusBar, ANewSettingsButtonReplacesTheOldOneAndOpensTheToolsMenu) {
    auto delegate = std::make_shared<Delegate>();
    bar.setDelegate(delegate);
    QPointer<QAbstractButton> old = bar.menuButton();
    ASSERT_EQ(old->parentWidget(), &bar);
    auto* fresh = new QToolButton;
    bar.setMenuButton(fresh);
    EXPECT_EQ(bar.menuButton(), fresh);
    EXPECT_EQ(fresh->parentWidget(), &bar);
    EXPECT_TRUE(old.isNull() || old->parentWidget() == nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(old.isNull());

    fresh->click();
    ASSERT_EQ(delegate->menus.size(), 1u);
    EXPECT_EQ(delegate->menus[0], fresh->mapTo(fresh->window(), fresh->rect().center()));
    bar.helpButton()->click();
    EXPECT_EQ(delegate->helps, 1);
}

// Sends a mouse event to the grip at a global position.
void sendToGrip(KLTResizeHandle* grip, QEvent::Type type, const QPoint& global) {
    QMouseEvent event(type, QPointF(grip->mapFromGlobal(global)), QPointF(global), Qt::LeftButton,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(grip, &event);
}

TEST(ResizeHandle, DraggingResizesWithTheTopLeftFixedAndKeepsTheMinimumSize) {
    KLTMenuletWindowController controller;
    KLTMenuletWindow* window = controller.window();
    window->setGeometry(100, 80, 320, 420);
    window->show();
    KLTResizeHandle* grip = controller.resizeHandle();
    const QPoint start = grip->mapToGlobal(grip->rect().center());

    sendToGrip(grip, QEvent::MouseButtonPress, start);
    sendToGrip(grip, QEvent::MouseMove, start + QPoint(20, 30));  // right and down
    EXPECT_EQ(window->geometry(), QRect(100, 80, 340, 450));

    sendToGrip(grip, QEvent::MouseMove, start + QPoint(-1000, -1000));
    EXPECT_EQ(window->geometry(), QRect(QPoint(100, 80), KLTResizeHandle::kMinimumWindowSize));
    // Coming back part of the way leaves the window at its minimum until the pointer reaches it.
    sendToGrip(grip, QEvent::MouseMove, start + QPoint(-100, -300));
    EXPECT_EQ(window->size(), KLTResizeHandle::kMinimumWindowSize);
    sendToGrip(grip, QEvent::MouseMove, start + QPoint(0, 0));
    EXPECT_EQ(window->geometry(), QRect(100, 80, 320, 420));
    sendToGrip(grip, QEvent::MouseButtonRelease, start);
    window->hide();
}

}  // namespace
}  // namespace kl
