// A button drawn as a hyperlink: no bezel, the title in the link colour (the disabled text colour
// when the button is disabled), underlined while the pointer is over an enabled button that is not
// pressed.
#pragma once

#include <QColor>
#include <QPushButton>

namespace kl {

class KLTLinkButtonCell : public QPushButton {
    Q_OBJECT
public:
    explicit KLTLinkButtonCell(const QString& title = {}, QWidget* parent = nullptr);

    bool mouseInButton() const { return mouseInButton_; }

    struct TitleStyle {
        QColor color;
        bool underlined = false;
    };
    // How the title is drawn in the button's present state.
    TitleStyle titleStyle() const;

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    bool mouseInButton_ = false;
};

}  // namespace kl
