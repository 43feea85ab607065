#include "controlapp/ui/KLTBackgroundViews.h"

#include <QPaintEvent>
#include <QPainter>

namespace kl {

void KLTOpaqueContentView::paintEvent(QPaintEvent* event) {
    QPainter(this).fillRect(event->rect(), palette().color(QPalette::Window));
    QWidget::paintEvent(event);
}

void BackgroundColorView::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.fillRect(event->rect(), colour_);
}

}  // namespace kl
