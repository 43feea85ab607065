// The process-wide installation points of the tunnel manager and the connection layer.
#include <mutex>

#include "tunnel/peer/TunnexPeerConnectionLayer.h"
#include "tunnel/peer/TunnexPeerManagerLink.h"

namespace kl {
namespace {

std::mutex& linksMutex() {
    static std::mutex mutex;
    return mutex;
}
std::shared_ptr<TunnexPeerManagerLink>& managerSlot() {
    static auto* slot = new std::shared_ptr<TunnexPeerManagerLink>();
    return *slot;
}
std::shared_ptr<TunnexPeerConnectionLayer>& layerSlot() {
    static auto* slot = new std::shared_ptr<TunnexPeerConnectionLayer>();
    return *slot;
}

}  // namespace

std::shared_ptr<TunnexPeerManagerLink> tunnexPeerManager() {
    std::lock_guard lock(linksMutex());
    return managerSlot();
}

void setTunnexPeerManager(std::shared_ptr<TunnexPeerManagerLink> manager) {
    std::lock_guard lock(linksMutex());
    managerSlot() = std::move(manager);
}

std::shared_ptr<TunnexPeerConnectionLayer> tunnexPeerConnectionLayer() {
    std::lock_guard lock(linksMutex());
    return layerSlot();
}

void setTunnexPeerConnectionLayer(std::shared_ptr<TunnexPeerConnectionLayer> layer) {
    std::lock_guard lock(linksMutex());
    layerSlot() = std::move(layer);
}

}  // namespace kl
