#include "controlapp/ui/KLTImageNamed.h"

#include <QPainter>
#include <QPainterPath>

#include <map>

namespace kl {

namespace {

QPixmap blank(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

// The status icon: a ring with a dot, coloured by state.
QPixmap statusIcon(const QColor& colour) {
    QPixmap pixmap = blank(22);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(colour, 2));
    painter.drawEllipse(QRectF(3, 3, 16, 16));
    painter.setBrush(colour);
    painter.drawEllipse(QRectF(8, 8, 6, 6));
    return pixmap;
}

QPixmap warning() {
    QPixmap pixmap = blank(16);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath triangle;
    triangle.moveTo(8, 1);
    triangle.lineTo(15, 14);
    triangle.lineTo(1, 14);
    triangle.closeSubpath();
    painter.fillPath(triangle, QColor(0xf0, 0xa0, 0x20));
    painter.setPen(Qt::black);
    painter.drawLine(8, 5, 8, 9);
    painter.drawPoint(8, 12);
    return pixmap;
}

QPixmap glyph(const QString& text, const QColor& colour) {
    QPixmap pixmap = blank(18);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(colour);
    painter.drawEllipse(QRectF(1, 1, 16, 16));
    painter.drawText(QRect(0, 0, 18, 18), Qt::AlignCenter, text);
    return pixmap;
}

QPixmap resizeGrip() {
    QPixmap pixmap = blank(16);
    QPainter painter(&pixmap);
    painter.setPen(QColor(0x80, 0x80, 0x80));
    for (int offset : {4, 8, 12}) painter.drawLine(15, offset, offset, 15);
    return pixmap;
}

}  // namespace

QPixmap KLTImageNamed(const std::string& name) {
    static const std::map<std::string, QPixmap (*)()> makers = {
        {"statusmenu-icon", [] { return statusIcon(QColor(0x40, 0x40, 0x40)); }},
        {"statusmenu-icon-connected", [] { return statusIcon(QColor(0x20, 0xa0, 0x40)); }},
        {"statusmenu-connected", [] { return statusIcon(QColor(0x20, 0xa0, 0x40)); }},
        {"statusmenu-disabled", [] { return statusIcon(QColor(0xb0, 0xb0, 0xb0)); }},
        {"statusmenu-error", [] { return statusIcon(QColor(0xd0, 0x30, 0x30)); }},
        {"warning-mini", warning},
        {"settings_btn", [] { return glyph(QStringLiteral("\u2699"), QColor(0x50, 0x50, 0x50)); }},
        {"settings_btn_press", [] { return glyph(QStringLiteral("\u2699"), Qt::black); }},
        {"help_btn", [] { return glyph(QStringLiteral("?"), QColor(0x50, 0x50, 0x50)); }},
        {"window-resize-handle", resizeGrip},
        {"cursor-resizenorthwestbysoutheast", resizeGrip},
    };
    auto found = makers.find(name);
    return found == makers.end() ? QPixmap() : found->second();
}

}  // namespace kl
