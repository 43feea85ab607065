// The drop-down window under the status icon: a frameless tool window that takes keyboard focus
// for the fields of the views it holds. Where no tray hosts the icon it becomes an ordinary
// window instead, which closing only hides.
#pragma once

#include <QWidget>

#include "platform/Signal.h"

namespace kl {

class KLTMenuletWindow : public QWidget {
    Q_OBJECT
public:
    KLTMenuletWindow();
    // An ordinary titled top-level window (no tray) or the frameless drop-down.
    void setPlainWindow(bool plain);
    bool isPlainWindow() const { return plain_; }

    Signal<> didBecomeMain;
    Signal<> willClose;

protected:
    bool event(QEvent* event) override;

private:
    bool plain_ = false;
};

}  // namespace kl
