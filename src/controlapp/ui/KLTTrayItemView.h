// The nested row under a host: the host's SSH user name (committed when the pointer leaves the
// row) and its Remove button.
#pragma once

#include <QWidget>

#include <memory>

class QLabel;
class QLineEdit;
class QPushButton;

namespace kl {

class KLTNestedHostItem;

class KLTTrayItemView final : public QWidget {
public:
    explicit KLTTrayItemView(QWidget* parent = nullptr);

    // A null item is ignored: the row keeps the one it had.
    void setObjectValue(std::shared_ptr<KLTNestedHostItem> item);
    const std::shared_ptr<KLTNestedHostItem>& objectValue() const { return item_; }
    bool iDeviceAreWe() const;
    void removeHostPressed();
    void mouseExited();

    QLineEdit* usernameField() const { return usernameField_; }
    QLabel* usernameLabel() const { return usernameLabel_; }
    QPushButton* removeButton() const { return removeButton_; }

protected:
    void leaveEvent(QEvent* event) override;

private:
    void commitUsername();

    std::shared_ptr<KLTNestedHostItem> item_;
    QPushButton* removeButton_;
    QLineEdit* usernameField_;
    QLabel* usernameLabel_;
};

}  // namespace kl
