// The status bar along the bottom of the menulet window: a status line (image and link) showing
// the last entry of the process-wide status list, a settings button and a help button.
//
// The status list is shared by every status bar and guarded by its own lock. Adding an entry
// announces KLTStatusBarDidChangeItems on the main loop; removing one announces it at once. The
// views themselves are main-thread only.
#pragma once

#include <QWidget>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Signal.h"

class QAbstractButton;
class QHBoxLayout;
class QLabel;

namespace kl {

class KLTLinkButtonCell;

// An object that performs a status entry's action by its name.
class KLTActionTarget {
public:
    virtual ~KLTActionTarget() = default;
    virtual void performAction(const std::string& action) = 0;
};

// What the status bar asks of its owner (the view manager).
class KLTStatusBarViewProtocol {
public:
    virtual ~KLTStatusBarViewProtocol() = default;
    // location: a point of the menulet window, in its coordinates.
    virtual void presentToolsMenuAtLocation(const QPoint& location) = 0;
    virtual void helpAction() = 0;
};

struct KLTStatusItem {
    std::optional<std::string> text;
    std::optional<std::string> image;  // an image name
    std::weak_ptr<KLTActionTarget> target;
    bool hasTarget = false;
    std::optional<std::string> action;
    int32_t id = 0;
};

// Announced whenever the status list changes.
Signal<>& KLTStatusBarDidChangeItems();

class KLTStatusBarView : public QWidget {
    Q_OBJECT
public:
    explicit KLTStatusBarView(QWidget* parent = nullptr);
    ~KLTStatusBarView() override;

    // The process-wide status list.
    static std::vector<KLTStatusItem> statusItems();
    // Appends an entry and returns its identifier (a counter, so never reused while the app runs).
    static int32_t addStatusItem(std::optional<std::string> text, std::optional<std::string> image,
                                 std::shared_ptr<KLTActionTarget> target, std::optional<std::string> action);
    static void removeStatusItemWithID(int32_t id);
    static void removeAllStatusItems();

    // Shows the last entry's image and text; clears both for an empty list.
    void statusItemsUpdated();
    // With two or more entries, moves the first to the end.
    void displayNextStatusItem();
    // Performs the head entry's action on its target, then removes the entry.
    void performCurrentAction();
    void showMenu(QWidget* sender);
    void showHelp();

    void setDelegate(std::weak_ptr<KLTStatusBarViewProtocol> delegate) { delegate_ = std::move(delegate); }

    // Made on first use when none was set; a setter replaces (and deletes) the previous one.
    QLabel* leftImageView();
    KLTLinkButtonCell* leftLinkButton();
    QAbstractButton* menuButton();
    QAbstractButton* helpButton() const { return helpButton_; }
    void setLeftImageView(QLabel* view);
    void setLeftLinkButton(KLTLinkButtonCell* button);
    void setMenuButton(QAbstractButton* button);
    // The name of the image the status line shows, if any.
    const std::optional<std::string>& leftImageName() const { return leftImageName_; }

private:
    void replace(QWidget* old, QWidget* fresh, QWidget* before);

    QHBoxLayout* layout_ = nullptr;
    QLabel* leftImageView_ = nullptr;
    KLTLinkButtonCell* leftLinkButton_ = nullptr;
    QAbstractButton* menuButton_ = nullptr;
    QAbstractButton* helpButton_ = nullptr;
    QWidget* spacer_ = nullptr;
    std::optional<std::string> leftImageName_;
    std::weak_ptr<KLTStatusBarViewProtocol> delegate_;
    Signal<>::Id observer_ = 0;
};

}  // namespace kl
