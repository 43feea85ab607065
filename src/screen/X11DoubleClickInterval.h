// Makes the double-click test follow the desktop's "Net/DoubleClickTime" from its XSETTINGS
// manager (read on the calling thread's X connection); without a manager 400 ms holds.
#pragma once

namespace kl {

void installX11DoubleClickIntervalSource();

}  // namespace kl
