#include "controlapp/ui/KLTMenuletWindow.h"

#include <QEvent>

#include "controlapp/ui/KLTOutletName.h"

namespace kl {

KLTMenuletWindow::KLTMenuletWindow() : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint) {
    outlet(this, "KLTMenuletWindow");
    setWindowTitle(QStringLiteral("Port Weaver"));
    setAttribute(Qt::WA_ShowWithoutActivating, false);
    setFocusPolicy(Qt::StrongFocus);
}

void KLTMenuletWindow::setPlainWindow(bool plain) {
    if (plain == plain_) return;
    plain_ = plain;
    const bool visible = isVisible();
    setWindowFlags(plain ? Qt::Window : Qt::Tool | Qt::FramelessWindowHint);
    if (visible) show();
}

bool KLTMenuletWindow::event(QEvent* event) {
    switch (event->type()) {
    case QEvent::WindowActivate: didBecomeMain.emit(); break;
    case QEvent::Close: willClose.emit(); break;
    default: break;
    }
    return QWidget::event(event);
}

}  // namespace kl
