// The host row's connect button: "Disconnect" while connected, "Connect" otherwise.
#pragma once

#include <QPushButton>

namespace kl {

class KLTConnectButton final : public QPushButton {
public:
    explicit KLTConnectButton(QWidget* parent = nullptr) : QPushButton(parent) { setConnected(false); }
    void setConnected(bool connected) {
        connected_ = connected;
        setText(connected ? tr("Disconnect") : tr("Connect"));
    }
    bool isConnected() const { return connected_; }

private:
    bool connected_ = false;
};

}  // namespace kl
