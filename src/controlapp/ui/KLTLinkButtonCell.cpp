#include "controlapp/ui/KLTLinkButtonCell.h"

#include <QPainter>

namespace kl {

KLTLinkButtonCell::KLTLinkButtonCell(const QString& title, QWidget* parent) : QPushButton(title, parent) {
    setFlat(true);
    setCursor(Qt::PointingHandCursor);
    // Hover events reach the button only while it tracks the pointer.
    setAttribute(Qt::WA_Hover);
}

KLTLinkButtonCell::TitleStyle KLTLinkButtonCell::titleStyle() const {
    TitleStyle style;
    if (isEnabled()) {
        style.color = palette().color(QPalette::Active, QPalette::Link);
        style.underlined = mouseInButton_ && !isDown();
    } else {
        style.color = palette().color(QPalette::Disabled, QPalette::ButtonText);
    }
    return style;
}

void KLTLinkButtonCell::enterEvent(QEnterEvent* event) {
    mouseInButton_ = true;
    update();
    QPushButton::enterEvent(event);
}

void KLTLinkButtonCell::leaveEvent(QEvent* event) {
    mouseInButton_ = false;
    update();
    QPushButton::leaveEvent(event);
}

void KLTLinkButtonCell::paintEvent(QPaintEvent*) {
    // No bezel: only the title.
    QPainter painter(this);
    painter.save();
    TitleStyle style = titleStyle();
    QFont font = this->font();
    font.setUnderline(style.underlined);
    painter.setFont(font);
    painter.setPen(style.color);
    painter.drawText(rect(), int(Qt::AlignVCenter | Qt::AlignLeft) | Qt::TextSingleLine, text());
    painter.restore();
}

}  // namespace kl
