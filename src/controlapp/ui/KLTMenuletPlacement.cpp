#include "controlapp/ui/KLTMenuletPlacement.h"

#include <algorithm>

namespace kl {

QPoint KLTMenuletWindowOrigin(const QSize& window, const QRect& anchor, const QRect& screen, const QRect& available) {
    int x = anchor.x() + anchor.width() / 2 - window.width() / 2;
    const bool panelAtBottom = anchor.center().y() > screen.center().y();
    int y = panelAtBottom ? anchor.y() - window.height() : anchor.y() + anchor.height();
    x = std::max(std::min(x, available.x() + available.width() - window.width()), available.x());
    y = std::max(std::min(y, available.y() + available.height() - window.height()), available.y());
    return {x, y};
}

}  // namespace kl
