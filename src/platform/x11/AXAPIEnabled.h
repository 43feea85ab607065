// Whether this session lets our programs inject input: true when the X display offers XTEST,
// false under Wayland (where XTEST on the compatibility server reaches no native window) and
// when no display answers.
#pragma once

namespace kl {

bool AXAPIEnabled();

}  // namespace kl
