// Where the menulet window opens for a status icon at anchor (global coordinates): centred on the
// icon, below it, or above it when the icon sits in the lower half of its screen (a bottom
// panel); always inside the screen's available area, left and top edges winning when the window
// is larger than that area.
#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

namespace kl {

QPoint KLTMenuletWindowOrigin(const QSize& window, const QRect& anchor, const QRect& screen, const QRect& available);

}  // namespace kl
