// The text cursor the viewer is shown while the host's cursor is invisible (an X client that blanks
// the pointer still has a pointer the viewer must see).
#pragma once

#include "screen/KLTCursor.h"

namespace kl {

// A 7 x 18 black I-beam with a white outline; its hot spot is its middle.
KLTCursor iBeamCursor();

}  // namespace kl
