#include "controlapp/ui/KLTStatusBarView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>

#include <atomic>
#include <mutex>

#include "controlapp/ui/KLTImageNamed.h"
#include "controlapp/ui/KLTLinkButtonCell.h"
#include "controlapp/ui/KLTOutletName.h"
#include "platform/Executors.h"

namespace kl {

namespace {

struct StatusList {
    std::mutex lock;
    std::vector<KLTStatusItem> items;
};

StatusList& statusList() {
    static auto* value = new StatusList;
    return *value;
}

std::atomic<int32_t> lastStatusItemID{0};

QToolButton* imageButton(const char* name, const char* image, const char* pressedImage) {
    auto* button = outlet(new QToolButton, name);
    QIcon icon(KLTImageNamed(image));
    if (pressedImage) icon.addPixmap(KLTImageNamed(pressedImage), QIcon::Active, QIcon::On);
    button->setIcon(icon);
    button->setAutoRaise(true);
    return button;
}

// Removals announce at once; from another thread the views hear of it on the main loop, where
// they live.
void announceNow() {
    if (mainLoop().isCurrentThread()) KLTStatusBarDidChangeItems().emit();
    else mainLoop().post([] { KLTStatusBarDidChangeItems().emit(); });
}

}  // namespace

Signal<>& KLTStatusBarDidChangeItems() {
    static auto* signal = new Signal<>;
    return *signal;
}

std::vector<KLTStatusItem> KLTStatusBarView::statusItems() {
    std::lock_guard lock(statusList().lock);
    return statusList().items;
}

int32_t KLTStatusBarView::addStatusItem(std::optional<std::string> text, std::optional<std::string> image,
                                       std::shared_ptr<KLTActionTarget> target, std::optional<std::string> action) {
    KLTStatusItem item;
    item.text = std::move(text);
    item.image = std::move(image);
    item.hasTarget = target != nullptr;
    item.target = target;
    item.action = std::move(action);
    item.id = ++lastStatusItemID;
    {
        std::lock_guard lock(statusList().lock);
        statusList().items.push_back(item);
    }
    mainLoop().post([] { KLTStatusBarDidChangeItems().emit(); });
    return item.id;
}

void KLTStatusBarView::removeStatusItemWithID(int32_t id) {
    {
        std::lock_guard lock(statusList().lock);
        std::erase_if(statusList().items, [id](const KLTStatusItem& item) { return item.id == id; });
    }
    announceNow();
}

void KLTStatusBarView::removeAllStatusItems() {
    {
        std::lock_guard lock(statusList().lock);
        statusList().items.clear();
    }
    announceNow();
}

KLTStatusBarView::KLTStatusBarView(QWidget* parent) : QWidget(parent) {
    outlet(this, "statusBarView");
    layout_ = new QHBoxLayout(this);
    layout_->setContentsMargins(6, 2, 2, 2);
    spacer_ = new QWidget;
    spacer_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    layout_->addWidget(spacer_);
    helpButton_ = imageButton("helpButton", "help_btn", nullptr);
    layout_->addWidget(helpButton_);
    connect(helpButton_, &QAbstractButton::clicked, this, [this] { showHelp(); });
    leftImageView();
    leftLinkButton()->setText({});
    menuButton();
    observer_ = KLTStatusBarDidChangeItems().connect([this] { statusItemsUpdated(); });
}

KLTStatusBarView::~KLTStatusBarView() { KLTStatusBarDidChangeItems().disconnect(observer_); }

void KLTStatusBarView::statusItemsUpdated() {
    std::optional<KLTStatusItem> last;
    {
        std::lock_guard lock(statusList().lock);
        if (!statusList().items.empty()) last = statusList().items.back();
    }
    leftImageName_ = last ? last->image : std::nullopt;
    leftImageView()->setPixmap(leftImageName_ ? KLTImageNamed(*leftImageName_) : QPixmap());
    leftLinkButton()->setText(last && last->text ? QString::fromStdString(*last->text) : QString());
}

void KLTStatusBarView::displayNextStatusItem() {
    {
        std::lock_guard lock(statusList().lock);
        auto& items = statusList().items;
        if (items.size() < 2) return;
        KLTStatusItem first = std::move(items.front());
        items.erase(items.begin());
        items.push_back(std::move(first));
    }
    KLTStatusBarDidChangeItems().emit();
}

void KLTStatusBarView::performCurrentAction() {
    std::optional<KLTStatusItem> head;
    {
        std::lock_guard lock(statusList().lock);
        if (!statusList().items.empty()) head = statusList().items.front();
    }
    if (!head) return;
    // Taken by value: the action may rebuild the list.
    if (auto target = head->target.lock(); target && head->action) target->performAction(*head->action);
    removeStatusItemWithID(head->id);
}

void KLTStatusBarView::showMenu(QWidget* sender) {
    if (!sender) return;
    const QPoint location = sender->mapTo(sender->window(), sender->rect().center());
    if (auto delegate = delegate_.lock()) delegate->presentToolsMenuAtLocation(location);
}

void KLTStatusBarView::showHelp() {
    if (auto delegate = delegate_.lock()) delegate->helpAction();
}

void KLTStatusBarView::replace(QWidget* old, QWidget* fresh, QWidget* before) {
    if (old) {
        layout_->removeWidget(old);
        old->hide();
        old->setParent(nullptr);
        old->deleteLater();
    }
    if (fresh) layout_->insertWidget(layout_->indexOf(before), fresh);
}

QLabel* KLTStatusBarView::leftImageView() {
    if (!leftImageView_) setLeftImageView(new QLabel);
    return leftImageView_;
}

KLTLinkButtonCell* KLTStatusBarView::leftLinkButton() {
    if (!leftLinkButton_) setLeftLinkButton(new KLTLinkButtonCell(QStringLiteral("Status")));
    return leftLinkButton_;
}

QAbstractButton* KLTStatusBarView::menuButton() {
    if (!menuButton_) setMenuButton(imageButton("menuButton", "settings_btn", "settings_btn_press"));
    return menuButton_;
}

void KLTStatusBarView::setLeftImageView(QLabel* view) {
    if (view) outlet(view, "leftImageView");
    replace(leftImageView_, view, leftLinkButton_ ? static_cast<QWidget*>(leftLinkButton_) : spacer_);
    leftImageView_ = view;
}

void KLTStatusBarView::setLeftLinkButton(KLTLinkButtonCell* button) {
    if (button) {
        outlet(button, "leftLinkButton");
        connect(button, &QAbstractButton::clicked, this, [this] { performCurrentAction(); });
    }
    replace(leftLinkButton_, button, spacer_);
    leftLinkButton_ = button;
}

void KLTStatusBarView::setMenuButton(QAbstractButton* button) {
    if (button) connect(button, &QAbstractButton::clicked, this, [this, button] { showMenu(button); });
    replace(menuButton_, button, helpButton_);
    menuButton_ = button;
}

}  // namespace kl
