// Stands in for the sign-in, account and verification views until their own controllers are
// plugged into the view manager: a titled, otherwise empty view that counts its refreshes.
#pragma once

#include <string>

#include "controlapp/ui/KLTViewController.h"

namespace kl {

class KLTPlaceholderViewController final : public KLTViewController, public KLTViewManagerMinion {
public:
    KLTPlaceholderViewController(std::string name, std::string title);
    void updateUIState() override { ++refreshes_; }
    int refreshes() const { return refreshes_; }

protected:
    QWidget* loadView() override;

private:
    std::string title_;
    int refreshes_ = 0;
};

}  // namespace kl
