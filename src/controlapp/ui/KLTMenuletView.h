// An image view that a status item could carry instead of a plain button: it shows
// "statusmenu-icon", fills itself with the selection colour while highlighted, and a press asks
// the view manager to show or hide the menulet window under it.
#pragma once

#include <QColor>
#include <QLabel>

namespace kl {

class KLTMenuletView : public QLabel {
    Q_OBJECT
public:
    explicit KLTMenuletView(QWidget* parent = nullptr);

    int currentAppState() const { return currentAppState_; }
    void setCurrentAppState(int state);
    const QColor& selectionColor() const { return selectionColor_; }
    void setHighlighted(bool highlighted);
    bool isHighlighted() const { return highlighted_; }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void updateState();

    int currentAppState_ = 0;
    QColor selectionColor_;
    bool highlighted_ = false;
};

}  // namespace kl
