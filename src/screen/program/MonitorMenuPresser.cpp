#include "screen/program/MonitorMenuPresser.h"

#include "screen/apps/ApplicationMenuDatagrams.h"

namespace kl {

MenuPresser::Outcome MonitorMenuPresser::pressMenu(uint64_t elementHandle, uint64_t applicationID,
                                                   Bytes& lowerMenuDatagram) {
    // The answer alone cannot tell a pressed item from an unknown one: both come back empty.
    auto menu = monitor_->menuForElementID(elementHandle, applicationID);
    if (!menu) return NotFound;
    auto answer = answerMenuRequest(*monitor_, elementHandle, applicationID);
    if (!answer) return menu->hasSubMenus ? NotFound : Pressed;
    lowerMenuDatagram = std::move(*answer);
    return LowerMenu;
}

}  // namespace kl
