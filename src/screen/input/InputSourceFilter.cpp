#include "screen/input/InputSourceFilter.h"

#include "foundation/KLNetSocketAddress.h"
#include "screen/input/UdpSocketOwner.h"
#include "screen/server/LoopbackPeerOwner.h"

namespace kl {

InputSourceFilter::InputSourceFilter(uid_t sessionUser, OwnerLookup owner)
    : sessionUser_(sessionUser), owner_(owner ? std::move(owner) : OwnerLookup(udpSocketOwner)) {}

void InputSourceFilter::viewerChanged(const sockaddr_storage* viewer) {
    std::lock_guard lock(mutex_);
    viewer_ = viewer ? std::optional(*viewer) : std::nullopt;
    port_.reset();
}

InputSourceFilter::Verdict InputSourceFilter::check(const sockaddr_storage& from) {
    std::lock_guard lock(mutex_);
    if (!viewer_) return NoViewer;
    if (!sameHostAddress(reinterpret_cast<const sockaddr*>(&*viewer_), from)) return OtherAddress;
    uint16_t port = socketAddressPort(from);
    if (port_) return *port_ == port ? Accepted : OtherPort;
    if (isLoopbackAddress(from)) {
        auto owner = owner_(from);
        if (!owner || !isPermittedViewerOwner(*owner, sessionUser_)) return ForeignOwner;
    }
    port_ = port;
    return Accepted;
}

const char* InputSourceFilter::describe(Verdict verdict) {
    switch (verdict) {
        case Accepted: return "accepted";
        case NoViewer: return "no viewer is connected";
        case OtherAddress: return "not from the viewer's address";
        case OtherPort: return "not from the viewer's input port";
        case ForeignOwner: return "from a local socket of another user";
    }
    return "";
}

}  // namespace kl
