#include "screen/server/NoApplicationsSource.h"

#include "screen/protocol/ApplicationMessages.h"

namespace kl {

bool NoApplicationsSource::sendApplicationSection(const SendRecord& send) {
    return send(writeWindowStateSnapshot({}));
}

}  // namespace kl
