// Plain background views of the menulet window: one filled with the window's background colour,
// one with a colour of its own (white until set).
#pragma once

#include <QColor>
#include <QWidget>

namespace kl {

class KLTOpaqueContentView : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent* event) override;
};

class BackgroundColorView : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
    const QColor& gb_backgroundColor() const { return colour_; }
    void setGb_backgroundColor(const QColor& colour) {
        colour_ = colour;
        update();
    }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor colour_ = Qt::white;
};

}  // namespace kl
