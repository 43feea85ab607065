// The row of a host in the host list: its name, model and picture, a connect/disconnect button
// that gives way to a progress indicator while the tunnel is built, and, while the pointer rests
// on a connected host, the buttons of its file, music, screen and SSH services.
//
// The host item may change on the IPC queue: the row reads the item's state (guarded by the item)
// on that thread, as the item announces it, and does every view change later on the main loop.
#pragma once

#include <QPointer>
#include <QWidget>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "platform/Signal.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace kl {

class KLTConnectButton;
class KLTHostItem;

class KLTTableCellView final : public QWidget {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    // Presses closer together than this act only on the first of the burst.
    static constexpr std::chrono::milliseconds kConnectDebounce{250};

    explicit KLTTableCellView(QWidget* parent = nullptr);
    ~KLTTableCellView() override;

    void setObjectValue(std::shared_ptr<KLTHostItem> item);
    const std::shared_ptr<KLTHostItem>& objectValue() const { return item_; }
    // The debounce's clock (monotonic; tests give their own).
    void setClock(Clock clock) { clock_ = std::move(clock); }

    void setConnecting(bool connecting);
    void setConnected(bool connected);
    void setAvailable(bool available);
    bool connecting() const { return connecting_; }
    bool connected() const { return connected_; }
    bool available() const { return available_; }
    bool iDeviceAreWe() const;

    void connectButtonPressed();
    void fileSharingButtonPressed();
    void itunesSharingButtonPressed();
    void screenSharingButtonPressed();
    void sshButtonPressed();

    void mouseEntered();
    void mouseMoved();
    void mouseExited();

    KLTConnectButton* connectButton() const { return connectButton_; }
    QProgressBar* progressIndicator() const { return progressIndicator_; }
    bool progressRunning() const { return progressRunning_; }
    QWidget* currentSwitchView() const { return currentSwitchView_; }
    QWidget* currentConnectView() const { return currentConnectView_; }
    QWidget* titleView() const { return titleView_; }
    QWidget* servicesView() const { return servicesView_; }
    QWidget* buttonView() const { return buttonView_; }
    QWidget* progressView() const { return progressView_; }
    QLabel* deviceImageView() const { return deviceImageView_; }
    QLabel* hostTextField() const { return hostTextField_; }
    QLabel* deviceTextField() const { return deviceTextField_; }

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    void observeItem();
    void updateConnectViewForFirstTime(bool first);
    void updateSwitchViewForFirstTime(bool first);
    void switchToServicesView();
    void switchToTitleView();
    void switchToButtonView();
    void switchToProgressView();
    void updateConnectButton();
    void adjustTextFieldsWithAvailability(bool available);
    void transition(QWidget* container, QWidget* from, QWidget* to, std::function<void()> completion);
    void showModel();
    // Runs view work on the main loop while the row still exists.
    void later(std::function<void(KLTTableCellView&)> work);

    std::shared_ptr<KLTHostItem> item_;
    std::optional<Signal<const std::string&>::Id> itemObservation_;
    bool connecting_ = false, connected_ = false, available_ = false;
    bool pointerOver_ = false;
    bool progressRunning_ = false;
    Clock clock_;
    std::optional<std::chrono::steady_clock::time_point> lastButtonPressed_;

    QWidget* switchView_;
    QWidget* connectView_;
    QPointer<QWidget> currentSwitchView_, currentConnectView_;
    QWidget *titleView_, *servicesView_, *buttonView_, *progressView_;
    QPushButton *fileSharingButton_, *itunesSharingButton_, *screenSharingButton_, *sshButton_;
    QLabel *hostTextField_, *deviceTextField_, *deviceImageView_;
    KLTConnectButton* connectButton_;
    QProgressBar* progressIndicator_;
};

}  // namespace kl
