#include "controlapp/ui/KLTTableCellView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "controlapp/ui/KLTComputerModels.h"
#include "controlapp/ui/KLTConnectButton.h"
#include "controlapp/ui/KLTImageNamed.h"
#include "controlapp/ui/KLTOutletName.h"
#include "controlapp/ui/KLTViewAlpha.h"
#include "controlapp/ui/KLTViewManager.h"
#include "daemon/model/KLTHostItem.h"
#include "foundation/KLDevice.h"
#include "platform/Executors.h"

namespace kl {

namespace {

QWidget* container(const char* name) {
    auto* box = outlet(new QWidget, name);
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    return box;
}

QPushButton* serviceButton(QHBoxLayout* layout, const QString& title, const char* name) {
    auto* button = outlet(new QPushButton(title), name);
    layout->addWidget(button);
    return button;
}

}  // namespace

KLTTableCellView::KLTTableCellView(QWidget* parent)
    : QWidget(parent), clock_([] { return std::chrono::steady_clock::now(); }) {
    outlet(this, "HostItemCellView");
    setMouseTracking(true);
    setFixedHeight(54);
    auto* row = new QHBoxLayout(this);
    deviceImageView_ = outlet(new QLabel, "deviceImageView");
    deviceImageView_->setFixedSize(40, 40);
    row->addWidget(deviceImageView_);
    switchView_ = container("switchView");
    row->addWidget(switchView_, 1);
    connectView_ = container("connectView");
    row->addWidget(connectView_);

    titleView_ = outlet(new QWidget, "titleView");
    auto* titles = new QVBoxLayout(titleView_);
    titles->setContentsMargins(0, 0, 0, 0);
    hostTextField_ = outlet(new QLabel, "hostTextField");
    deviceTextField_ = outlet(new QLabel, "deviceTextField");
    titles->addWidget(hostTextField_);
    titles->addWidget(deviceTextField_);

    servicesView_ = outlet(new QWidget, "servicesView");
    auto* services = new QHBoxLayout(servicesView_);
    services->setContentsMargins(0, 0, 0, 0);
    fileSharingButton_ = serviceButton(services, tr("Files"), "fileSharingButton");
    itunesSharingButton_ = serviceButton(services, tr("Music"), "itunesSharingButton");
    screenSharingButton_ = serviceButton(services, tr("Screen"), "screenSharingButton");
    sshButton_ = serviceButton(services, tr("SSH"), "sshButton");
    connect(fileSharingButton_, &QPushButton::clicked, this, [this] { fileSharingButtonPressed(); });
    connect(itunesSharingButton_, &QPushButton::clicked, this, [this] { itunesSharingButtonPressed(); });
    connect(screenSharingButton_, &QPushButton::clicked, this, [this] { screenSharingButtonPressed(); });
    connect(sshButton_, &QPushButton::clicked, this, [this] { sshButtonPressed(); });

    buttonView_ = container("buttonView");
    connectButton_ = outlet(new KLTConnectButton, "connectButton");
    buttonView_->layout()->addWidget(connectButton_);
    connect(connectButton_, &QPushButton::clicked, this, [this] { connectButtonPressed(); });
    progressView_ = container("progressView");
    progressIndicator_ = outlet(new QProgressBar, "progressIndicator");
    progressIndicator_->setRange(0, 1);
    progressIndicator_->setTextVisible(false);
    progressView_->layout()->addWidget(progressIndicator_);
    // The four exchangeable views belong to the row while they are out of their container.
    for (QWidget* view : {titleView_, servicesView_, buttonView_, progressView_}) {
        view->setParent(this);
        view->hide();
    }
}

KLTTableCellView::~KLTTableCellView() {
    if (item_ && itemObservation_) item_->didChangeValueForKey.disconnect(*itemObservation_);
}

void KLTTableCellView::setObjectValue(std::shared_ptr<KLTHostItem> item) {
    if (item_ && itemObservation_) item_->didChangeValueForKey.disconnect(*itemObservation_);
    itemObservation_.reset();
    item_ = std::move(item);
    if (item_) {
        // Observed first, then read in one go: a change made in between reaches the row twice,
        // never not at all, and the row never starts from half of a tunnel change.
        observeItem();
        const auto state = item_->displayState();
        connecting_ = state.connecting;
        connected_ = state.connected;
        available_ = state.available;
    }
    showModel();
    // The host list is rebuilt with fresh rows: one made for a connected host says so from the start.
    connectButton_->setConnected(connected_);
    updateConnectViewForFirstTime(true);
    updateSwitchViewForFirstTime(true);
    adjustTextFieldsWithAvailability(available_);
}

void KLTTableCellView::observeItem() {
    // The slot runs on the thread that changed the item, right after the change: it reads the
    // state there and hands a copy to the main loop.
    std::weak_ptr<KLTHostItem> weakItem = item_;
    QPointer<KLTTableCellView> row(this);
    itemObservation_ = item_->didChangeValueForKey.connect([weakItem, row](const std::string& key) {
        auto item = weakItem.lock();
        if (!item) return;
        if (key != "connected" && key != "connecting" && key != "available") return;
        const bool value = key == "connected" ? item->connected() : key == "connecting" ? item->connecting()
                                                                                        : item->available();
        mainLoop().post([row, key, value] {
            if (!row) return;
            if (key == "connected") row->setConnected(value);
            else if (key == "connecting") row->setConnecting(value);
            else row->setAvailable(value);
        });
    });
}

void KLTTableCellView::showModel() {
    const std::string model = item_ ? item_->modelString().value_or("") : "";
    hostTextField_->setText(item_ ? QString::fromStdString(item_->hostName().value_or("")) : QString());
    deviceTextField_->setText(QString::fromStdString(KLTComputerModels::conciseStringWithComputerModel(model)));
    const std::string image =
        KLTComputerModels::imageNameWithComputerModel(model) + (item_ ? item_->modelImageSuffix() : "_offline");
    deviceImageView_->setAccessibleDescription(QString::fromStdString(image));
    deviceImageView_->setPixmap(KLTImageNamed(image));
}

void KLTTableCellView::later(std::function<void(KLTTableCellView&)> work) {
    QPointer<KLTTableCellView> row(this);
    mainLoop().post([row, work = std::move(work)] {
        if (row) work(*row);
    });
}

bool KLTTableCellView::iDeviceAreWe() const {
    return item_ && KLDevice::isiDeviceForModelNumber(item_->modelString().value_or(""));
}

void KLTTableCellView::setConnecting(bool connecting) {
    connecting_ = connecting;
    later([connecting](KLTTableCellView& row) {
        if (connecting) {
            row.switchToProgressView();
            row.progressIndicator_->setRange(0, 0);
        } else {
            row.switchToButtonView();
            row.progressIndicator_->setRange(0, 1);
        }
        row.progressRunning_ = connecting;
    });
}

void KLTTableCellView::setConnected(bool connected) {
    connected_ = connected;
    later([connected](KLTTableCellView& row) {
        row.connectButton_->setConnected(connected);
        row.showModel();
        row.updateSwitchViewForFirstTime(false);
    });
}

void KLTTableCellView::setAvailable(bool available) {
    available_ = available;
    later([available](KLTTableCellView& row) {
        // A connected host can still be disconnected, whatever the account server says.
        const bool usable = available || row.connected_;
        row.connectButton_->setEnabled(usable);
        setViewAlpha(row.deviceImageView_, usable ? 1.0 : 0.5);
        row.showModel();
        row.updateConnectViewForFirstTime(false);
        row.adjustTextFieldsWithAvailability(usable);
    });
}

void KLTTableCellView::adjustTextFieldsWithAvailability(bool available) {
    setViewAlpha(hostTextField_, available ? 1.0 : 0.5);
    setViewAlpha(deviceTextField_, available ? 1.0 : 0.5);
}

void KLTTableCellView::updateConnectViewForFirstTime(bool first) {
    if (connecting_) {
        if (first) {
            connectView_->layout()->addWidget(progressView_);
            progressView_->show();
            currentConnectView_ = progressView_;
            connectButton_->setEnabled(false);
        } else {
            switchToProgressView();
        }
    } else if (first) {
        connectView_->layout()->addWidget(buttonView_);
        buttonView_->show();
        currentConnectView_ = buttonView_;
        updateConnectButton();
    } else {
        switchToButtonView();
    }
    fadeViewToAlpha(currentConnectView_, available_ && pointerOver_ ? 1.0 : 0.0);
}

void KLTTableCellView::updateSwitchViewForFirstTime(bool first) {
    if (connected_ && pointerOver_) {
        if (first) {
            switchView_->layout()->addWidget(servicesView_);
            servicesView_->show();
            setViewAlpha(servicesView_, 1.0);
            currentSwitchView_ = servicesView_;
            setViewAlpha(currentConnectView_, 1.0);
        } else {
            switchToServicesView();
        }
    } else if (first) {
        switchView_->layout()->addWidget(titleView_);
        titleView_->show();
        setViewAlpha(titleView_, 1.0);
        currentSwitchView_ = titleView_;
        setViewAlpha(currentConnectView_, 0.0);
    } else {
        switchToTitleView();
    }
}

void KLTTableCellView::transition(QWidget* box, QWidget* from, QWidget* to, std::function<void()> completion) {
    setViewAlpha(to, 1.0);
    QPointer<QWidget> outgoing(from), incoming(to);
    QTimer::singleShot(kKLTTransitionDuration, this, [this, box, outgoing, incoming, completion] {
        if (outgoing && outgoing->parentWidget() == box) {
            box->layout()->removeWidget(outgoing);
            outgoing->hide();
        }
        if (incoming) {
            box->layout()->addWidget(incoming);
            incoming->show();
        }
        completion();
    });
}

void KLTTableCellView::switchToServicesView() {
    if (currentSwitchView_ == servicesView_) return;
    transition(switchView_, currentSwitchView_, servicesView_, [this] { currentSwitchView_ = servicesView_; });
}

void KLTTableCellView::switchToTitleView() {
    if (currentSwitchView_ == titleView_) return;
    transition(switchView_, currentSwitchView_, titleView_, [this] { currentSwitchView_ = titleView_; });
}

void KLTTableCellView::switchToButtonView() {
    updateConnectButton();
    setViewAlpha(progressView_, pointerOver_ ? 1.0 : 0.0);
    if (currentConnectView_ == buttonView_) return;
    transition(connectView_, currentConnectView_, buttonView_, [this] { currentConnectView_ = buttonView_; });
}

void KLTTableCellView::switchToProgressView() {
    connectButton_->setEnabled(false);
    if (currentConnectView_ == progressView_) return;
    transition(connectView_, currentConnectView_, progressView_, [this] { currentConnectView_ = progressView_; });
}

void KLTTableCellView::updateConnectButton() {
    const bool hidden = iDeviceAreWe() && !connected_ && !connecting_;
    // An unavailable host that is not connected cannot be connected to: the button stays off.
    connectButton_->setEnabled(!hidden && (available_ || connected_));
    connectButton_->setVisible(!hidden);
}

void KLTTableCellView::connectButtonPressed() {
    const auto now = clock_();
    const bool acts = !lastButtonPressed_ || now - *lastButtonPressed_ > kConnectDebounce;
    // Every press renews the date, so a burst acts only on its first press.
    lastButtonPressed_ = now;
    if (!acts || !item_) return;
    if (item_->connected()) KLTViewManager::sharedInstance().disconnectWithHostItem(*item_);
    else KLTViewManager::sharedInstance().connectWithHostItem(*item_);
}

void KLTTableCellView::fileSharingButtonPressed() {
    if (item_) KLTViewManager::sharedInstance().launchFileSharingServiceForHostItem(*item_);
}
void KLTTableCellView::itunesSharingButtonPressed() {
    if (item_) KLTViewManager::sharedInstance().launchMusicServiceForHostItem(*item_);
}
void KLTTableCellView::screenSharingButtonPressed() {
    if (item_) KLTViewManager::sharedInstance().launchScreenSharingServiceForHostItem(*item_);
}
void KLTTableCellView::sshButtonPressed() {
    if (item_) KLTViewManager::sharedInstance().launchTerminalServiceForHostItem(*item_);
}

void KLTTableCellView::mouseEntered() {
    pointerOver_ = true;
    if (connected_) switchToServicesView();
    if (available_) fadeViewToAlpha(currentConnectView_, 1.0);
}

void KLTTableCellView::mouseMoved() { updateConnectButton(); }

void KLTTableCellView::mouseExited() {
    pointerOver_ = false;
    switchToTitleView();
    // A running progress indicator stays visible.
    if (currentConnectView_ != progressView_) fadeViewToAlpha(currentConnectView_, 0.0);
}

void KLTTableCellView::enterEvent(QEnterEvent* event) {
    QWidget::enterEvent(event);
    mouseEntered();
}

void KLTTableCellView::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
    mouseExited();
}

void KLTTableCellView::mouseMoveEvent(QMouseEvent* event) {
    QWidget::mouseMoveEvent(event);
    mouseMoved();
}

}  // namespace kl
