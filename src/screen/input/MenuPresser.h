// The accessibility engine's side of a menu request: press a menu item, or describe the submenus of
// a menu that has them.
#pragma once

#include <cstdint>

#include "platform/Value.h"

namespace kl {

class MenuPresser {
public:
    enum Outcome {
        NotFound,   // no such menu in that application
        Pressed,    // a menu without submenus: its item was pressed
        LowerMenu,  // a menu with submenus: lowerMenuDatagram holds the datagram for the viewer
    };
    virtual ~MenuPresser() = default;
    // Called on the input thread.
    virtual Outcome pressMenu(uint64_t elementHandle, uint64_t applicationID, Bytes& lowerMenuDatagram) = 0;
};

}  // namespace kl
