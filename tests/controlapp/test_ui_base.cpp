// The view-controller base pieces: popover stack, window switching, link buttons, the tree dump.
#include <gtest/gtest.h>

#include <QEnterEvent>
#include <QImage>
#include <QLabel>
#include <QTest>
#include <QToolBar>
#include <QVBoxLayout>


#include "controlapp/ui/KLTLinkButtonCell.h"
#include "controlapp/ui/KLTPopover.h"
#include "controlapp/ui/KLTRecursiveDescription.h"
#include "controlapp/ui/KLTSettingsWindowController.h"
#include "controlapp/ui/KLTViewController.h"
#include "controlapp/ui/KLTWindowSwitchingViewController.h"

namespace kl {
namespace {

using Controllers = std::vector<std::shared_ptr<KLTViewController>>;

std::shared_ptr<KLTViewController> controller(const char* name) { return std::make_shared<KLTViewController>(name); }

TEST(Popover, PushThenPopWalksBackDownTheStackAndStopsAtTheBottom) {
    auto popover = KLTPopover::create();
    auto p = controller("P"), q = controller("Q"), r = controller("R");
    popover->setContentViewController(p);
    popover->pushViewController(q, true);
    popover->pushViewController(r, false);
    EXPECT_EQ(KLTPopover::viewControllers(), (Controllers{p, q, r}));
    EXPECT_EQ(popover->contentViewController(), r);
    EXPECT_EQ(r->popoverController(), popover);
    EXPECT_EQ(r->view()->parentWidget(), popover->window());
    EXPECT_EQ(q->view()->parentWidget(), nullptr) << "only the content's view is in the popover";

    popover->popViewControllerAnimated(true);
    EXPECT_EQ(popover->contentViewController(), q);
    EXPECT_EQ(KLTPopover::viewControllers(), (Controllers{p, q}));
    popover->popViewControllerAnimated(true);
    EXPECT_EQ(popover->contentViewController(), p);
    EXPECT_EQ(KLTPopover::viewControllers(), (Controllers{p}));
    popover->popViewControllerAnimated(true);
    EXPECT_EQ(popover->contentViewController(), p);
    EXPECT_EQ(KLTPopover::viewControllers(), (Controllers{p}));
}

TEST(Popover, PopToAControllerOffTheStackChangesNothingAndADirectSetRestartsTheStack) {
    auto popover = KLTPopover::create();
    auto p = controller("P"), q = controller("Q"), r = controller("R"), outsider = controller("X");
    popover->setContentViewController(p);
    popover->pushViewController(q, false);
    popover->pushViewController(r, false);

    popover->popToViewController(outsider, false);
    EXPECT_EQ(KLTPopover::viewControllers(), (Controllers{p, q, r}));
    EXPECT_EQ(popover->contentViewController(), r);

    popover->popToViewController(p, false);
    EXPECT_EQ(KLTPopover::viewControllers(), (Controllers{p}));
    EXPECT_EQ(popover->contentViewController(), p);

    popover->pushViewController(q, false);
    popover->setContentViewController(r);
    EXPECT_EQ(KLTPopover::viewControllers(), (Controllers{r}));
    EXPECT_EQ(popover->contentViewController(), r);
}

TEST(Popover, TheStackIsSharedByEveryPopover) {
    auto first = KLTPopover::create(), second = KLTPopover::create();
    auto p = controller("P"), q = controller("Q");
    first->setContentViewController(p);
    second->pushViewController(q, false);
    EXPECT_EQ(KLTPopover::viewControllers(), (Controllers{p, q}));
}

// A controller that records what its switching window tells it.
class SwitchedController final : public KLTViewController, public KLTWindowSwitching {
public:
    using KLTViewController::KLTViewController;
    void viewControllerWasAddedToWindowController(KLTWindowSwitchingViewController*) override { ++added; }
    void viewControllerWasRemovedFromWindowController(KLTWindowSwitchingViewController*) override { ++removed; }
    int added = 0, removed = 0;
};

TEST(WindowSwitching, SwitchesByNameAndKeepsTheControllerForTheCurrentName) {
    KLTWindowSwitchingViewController switching(nullptr);
    int made = 0;
    switching.viewControllerClasses["First"] = [&](const std::string& name) {
        ++made;
        return std::make_shared<SwitchedController>(name);
    };
    switching.viewControllerClasses["Second"] = switching.viewControllerClasses["First"];

    switching.switchToViewControllerNamed("First");
    auto first = std::dynamic_pointer_cast<SwitchedController>(switching.currentViewController());
    ASSERT_TRUE(first);
    EXPECT_EQ(first->added, 1);
    EXPECT_EQ(first->view()->parentWidget(), switching.window());

    switching.switchToViewControllerNamed("First");
    EXPECT_EQ(made, 1);
    EXPECT_EQ(switching.currentViewController(), first);

    switching.switchToViewControllerNamed("Second");
    EXPECT_EQ(made, 2);
    EXPECT_EQ(first->removed, 1);
    EXPECT_EQ(first->view()->parentWidget(), nullptr);
    auto second = std::dynamic_pointer_cast<SwitchedController>(switching.currentViewController());
    ASSERT_TRUE(second);
    EXPECT_EQ(switching.currentViewControllerName(), "Second");

    switching.switchToViewControllerNamed("Unknown");
    EXPECT_EQ(switching.currentViewController(), nullptr);
    EXPECT_EQ(second->removed, 1);
}

TEST(WindowSwitching, ClosingTheWindowRemovesTheLastControllerAndForgetsTheName) {
    KLTWindowSwitchingViewController switching(nullptr);
    switching.viewControllerClasses["Only"] = [](const std::string& name) {
        return std::make_shared<SwitchedController>(name);
    };
    switching.switchToViewControllerNamed("Only");
    auto only = std::dynamic_pointer_cast<SwitchedController>(switching.currentViewController());
    switching.window()->show();
    switching.window()->close();
    EXPECT_EQ(only->removed, 1);
    EXPECT_EQ(switching.currentViewController(), nullptr);
    EXPECT_FALSE(switching.currentViewControllerName());
}

TEST(SettingsWindow, OpensOnTheAccountTabAndFollowsTheToolbar) {
    KLTSettingsWindowController settings;
    EXPECT_EQ(settings.selectedItemIdentifier(), "Account");
    EXPECT_EQ(settings.toolbarSelectableItemIdentifiers(), std::vector<std::string>{"Account"});
    QAction* account = settings.toolbar()->actions().value(0);
    ASSERT_TRUE(account);
    EXPECT_TRUE(account->isChecked());
    settings.setSelectedItemIdentifier("Other");
    EXPECT_FALSE(account->isChecked());
    account->trigger();
    EXPECT_EQ(settings.selectedItemIdentifier(), "Account");
}

// Counts the pixels of the rendered button close to colour.
int pixelsNear(const QImage& image, const QColor& colour) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            QColor c = image.pixelColor(x, y);
            if (std::abs(c.red() - colour.red()) + std::abs(c.green() - colour.green()) +
                    std::abs(c.blue() - colour.blue()) < 40)
                ++count;
        }
    return count;
}

TEST(LinkButtonCell, DrawsTheLinkColourUnderlinedOnlyWhileHoveredEnabledAndNotPressed) {
    KLTLinkButtonCell button("Status");
    button.resize(120, 24);
    const QColor link = button.palette().color(QPalette::Active, QPalette::Link);
    const QColor disabled = button.palette().color(QPalette::Disabled, QPalette::ButtonText);
    ASSERT_NE(link, disabled);

    auto style = button.titleStyle();
    EXPECT_EQ(style.color, link);
    EXPECT_FALSE(style.underlined);
    EXPECT_GT(pixelsNear(button.grab().toImage(), link), 0);

    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QCoreApplication::sendEvent(&button, &enter);
    ASSERT_TRUE(button.mouseInButton());
    EXPECT_TRUE(button.titleStyle().underlined);
    button.setDown(true);
    EXPECT_FALSE(button.titleStyle().underlined) << "a pressed link is not underlined";
    button.setDown(false);

    button.setEnabled(false);
    style = button.titleStyle();
    EXPECT_EQ(style.color, disabled);
    EXPECT_FALSE(style.underlined);
    QImage image = button.grab().toImage();
    EXPECT_EQ(pixelsNear(image, link), 0);
    EXPECT_GT(pixelsNear(image, disabled), 0);

    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(&button, &leave);
    EXPECT_FALSE(button.mouseInButton());
}

TEST(RecursiveDescription, OneLinePerViewWithThePrefixRepeatedByDepth) {
    QWidget top;
    top.setGeometry(0, 0, 200, 100);
    auto* middle = new QWidget(&top);
    middle->setGeometry(10, 20, 50, 40);
    auto* inner = new QLabel(middle);
    inner->setGeometry(1, 2, 3, 4);
    std::string dump = recursiveDescription(&top);
    // Addresses differ from run to run.
    std::string masked;
    for (size_t i = 0; i < dump.size();) {
        if (dump.compare(i, 2, "0x") == 0) {
            masked += "ADDR";
            for (i += 2; i < dump.size() && std::isxdigit(static_cast<unsigned char>(dump[i])); ++i) {}
        } else {
            masked += dump[i++];
        }
    }
    EXPECT_EQ(masked,
              "<QWidget: ADDR; frame = {{0, 0}, {200, 100}}>\n"
              "    | <QWidget: ADDR; frame = {{10, 20}, {50, 40}}>\n"
              "    |    | <QLabel: ADDR; frame = {{1, 2}, {3, 4}}>");
}

}  // namespace
}  // namespace kl
