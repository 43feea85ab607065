#include "screen/X11DoubleClickInterval.h"

#include "platform/x11/X11Settings.h"
#include "screen/KLGeometryHelpers.h"

namespace kl {

void installX11DoubleClickIntervalSource() {
    setDoubleClickIntervalSource([]() -> std::optional<double> {
        X11Connection* c = X11Connection::forThisThread();
        if (!c) return std::nullopt;
        auto ms = x11SettingsInt(*c, "Net/DoubleClickTime");
        if (!ms || *ms <= 0) return std::nullopt;
        return *ms / 1000.0;
    });
}

}  // namespace kl
