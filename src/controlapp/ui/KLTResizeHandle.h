// The grip at the bottom-right corner of the menulet window: dragging it resizes the window with
// its top-left corner fixed, never below minimumSize.
#pragma once

#include <QPoint>
#include <QSize>
#include <QWidget>

namespace kl {

class KLTResizeHandle : public QWidget {
    Q_OBJECT
public:
    static constexpr QSize kMinimumWindowSize{260, 200};

    explicit KLTResizeHandle(QWidget* parent = nullptr);
    // The pointer in window coordinates at the last press or drag step.
    QPoint mousePoint() const { return mousePoint_; }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QPoint mousePoint_;
};

}  // namespace kl
