// The settings window: a toolbar of tabs ("Account" first and selected at load) whose selection
// follows selectedItemIdentifier both ways. Main thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

class QAction;
class QActionGroup;
class QMainWindow;
class QToolBar;

namespace kl {

class KLTSettingsWindowController {
public:
    KLTSettingsWindowController();
    ~KLTSettingsWindowController();

    QMainWindow* window() const { return window_.get(); }
    QToolBar* toolbar() const { return toolbar_; }
    void showWindow();

    const std::string& selectedItemIdentifier() const { return selected_; }
    // Selects the tab of that identifier; an unknown one selects none.
    void setSelectedItemIdentifier(const std::string& identifier);
    std::vector<std::string> toolbarSelectableItemIdentifiers() const;
    void tabBarItemPressed(QAction* item);

private:
    void windowDidLoad();

    std::unique_ptr<QMainWindow> window_;
    QToolBar* toolbar_ = nullptr;
    QActionGroup* tabs_ = nullptr;
    std::string selected_;
};

}  // namespace kl
