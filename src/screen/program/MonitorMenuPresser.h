// The viewer's menu requests answered from the application monitor's menu trees: an item is
// pressed through the accessibility engine, a menu with submenus is read one level down again.
#pragma once

#include <memory>

#include "screen/apps/KLTApplicationMonitor.h"
#include "screen/input/MenuPresser.h"

namespace kl {

class MonitorMenuPresser final : public MenuPresser {
public:
    explicit MonitorMenuPresser(std::shared_ptr<KLTApplicationMonitor> monitor) : monitor_(std::move(monitor)) {}
    Outcome pressMenu(uint64_t elementHandle, uint64_t applicationID, Bytes& lowerMenuDatagram) override;

private:
    std::shared_ptr<KLTApplicationMonitor> monitor_;
};

}  // namespace kl
