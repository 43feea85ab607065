#include "controlapp/ui/KLTTrayItemView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "controlapp/ui/KLTOutletName.h"
#include "controlapp/ui/KLTViewManager.h"
#include "daemon/model/KLTHostItem.h"
#include "foundation/KLDevice.h"

namespace kl {

KLTTrayItemView::KLTTrayItemView(QWidget* parent) : QWidget(parent) {
    outlet(this, "TrayItemView");
    setFixedHeight(54);
    auto* row = new QHBoxLayout(this);
    usernameLabel_ = outlet(new QLabel(tr("SSH user name:")), "usernameLabel");
    usernameField_ = outlet(new QLineEdit, "usernameField");
    removeButton_ = outlet(new QPushButton(tr("Remove host")), "removeButton");
    row->addWidget(usernameLabel_);
    row->addWidget(usernameField_, 1);
    row->addWidget(removeButton_);
    connect(usernameField_, &QLineEdit::editingFinished, this, [this] { commitUsername(); });
    connect(removeButton_, &QPushButton::clicked, this, [this] { removeHostPressed(); });
}

void KLTTrayItemView::setObjectValue(std::shared_ptr<KLTNestedHostItem> item) {
    if (!item) return;
    item_ = std::move(item);
    const bool iDevice = iDeviceAreWe();
    usernameField_->setHidden(iDevice);
    usernameLabel_->setHidden(iDevice);
    if (iDevice) return;
    if (auto name = item_->sshUsername()) usernameField_->setText(QString::fromStdString(*name));
}

bool KLTTrayItemView::iDeviceAreWe() const {
    auto parent = item_ ? item_->parentHostItem() : nullptr;
    return parent && KLDevice::isiDeviceForModelNumber(parent->modelString().value_or(""));
}

void KLTTrayItemView::commitUsername() {
    if (!item_ || iDeviceAreWe()) return;
    const std::string typed = usernameField_->text().toStdString();
    if (item_->sshUsername().value_or("") == typed) return;
    item_->setSshUsername(typed.empty() ? std::nullopt : std::optional(typed));
}

void KLTTrayItemView::mouseExited() {
    // Leaving the row ends the editing, which commits a typed name.
    if (usernameField_->hasFocus()) usernameField_->clearFocus();
    commitUsername();
}

void KLTTrayItemView::removeHostPressed() {
    if (!item_) return;
    if (auto parent = item_->parentHostItem()) KLTViewManager::sharedInstance().logoutAndDeleteHostItem(parent);
}

void KLTTrayItemView::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
    mouseExited();
}

}  // namespace kl
