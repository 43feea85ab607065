// A window that shows one view controller at a time and swaps it by name. Controllers that adopt
// KLTWindowSwitching are told when their view enters or leaves the window. Main thread only.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

class QObject;
class QWidget;

namespace kl {

class KLTViewController;

class KLTWindowSwitchingViewController {
public:
    // Makes the controller of a name (the name is also its interface name).
    using Factory = std::function<std::shared_ptr<KLTViewController>(const std::string& name)>;

    explicit KLTWindowSwitchingViewController(std::shared_ptr<KLTViewController> controller);
    ~KLTWindowSwitchingViewController();

    std::map<std::string, Factory> viewControllerClasses;

    // The same name again keeps the controller; a name without a class (or none) leaves none.
    void switchToViewControllerNamed(const std::optional<std::string>& name);
    const std::shared_ptr<KLTViewController>& currentViewController() const { return current_; }
    const std::optional<std::string>& currentViewControllerName() const { return currentName_; }
    QWidget* window() const { return window_.get(); }

    // Closing the window tells the last controller it was removed and forgets the name.
    void windowWillClose();

private:
    void setCurrent(std::shared_ptr<KLTViewController> controller);

    std::unique_ptr<QWidget> window_;
    std::unique_ptr<QObject> windowEvents_;
    std::shared_ptr<KLTViewController> current_;
    std::optional<std::string> currentName_;
};

}  // namespace kl
