#include "controlapp/ui/KLTResizeHandle.h"

#include <QCursor>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

#include "controlapp/ui/KLTImageNamed.h"

namespace kl {

KLTResizeHandle::KLTResizeHandle(QWidget* parent) : QWidget(parent) {
    setFixedSize(16, 16);
    setCursor(QCursor(KLTImageNamed("cursor-resizenorthwestbysoutheast"), 9, 9));
}

void KLTResizeHandle::mousePressEvent(QMouseEvent* event) {
    mousePoint_ = window()->mapFromGlobal(event->globalPosition().toPoint());
    event->accept();
}

void KLTResizeHandle::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton)) return;
    QWidget* window = this->window();
    const QPoint p = window->mapFromGlobal(event->globalPosition().toPoint());
    const QRect frame = window->geometry();
    const QSize minimum = kMinimumWindowSize.expandedTo(window->minimumSize());
    const int width = std::max(frame.width() + (p.x() - mousePoint_.x()), minimum.width());
    const int height = std::max(frame.height() + (p.y() - mousePoint_.y()), minimum.height());
    // The pointer's reference moves only by what the window took, so that a drag past the minimum
    // does not grow the window before the pointer is back at the grip.
    mousePoint_ += QPoint(width - frame.width(), height - frame.height());
    window->setGeometry(QRect(frame.topLeft(), QSize(width, height)));
    event->accept();
}

void KLTResizeHandle::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.drawPixmap(rect(), KLTImageNamed("window-resize-handle"));
}

}  // namespace kl
