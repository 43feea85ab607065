#include "controlapp/ui/KLTMenuletView.h"

#include <QMouseEvent>
#include <QPainter>

#include "controlapp/ui/KLTImageNamed.h"
#include "controlapp/ui/KLTViewManager.h"

namespace kl {

KLTMenuletView::KLTMenuletView(QWidget* parent) : QLabel(parent) {
    setAlignment(Qt::AlignCenter);
    selectionColor_ = palette().color(QPalette::Highlight);
    updateState();
}

void KLTMenuletView::setCurrentAppState(int state) {
    currentAppState_ = state;
    updateState();
}

void KLTMenuletView::updateState() { setPixmap(KLTImageNamed("statusmenu-icon")); }

void KLTMenuletView::setHighlighted(bool highlighted) {
    highlighted_ = highlighted;
    update();
}

void KLTMenuletView::mousePressEvent(QMouseEvent* event) {
    event->accept();
    KLTViewManager::sharedInstance().menuletClicked(QRect(mapToGlobal(QPoint(0, 0)), size()));
}

void KLTMenuletView::paintEvent(QPaintEvent* event) {
    if (highlighted_) QPainter(this).fillRect(rect(), selectionColor_);
    QLabel::paintEvent(event);
}

}  // namespace kl
