// The service's DNS-SD publication: "_dgmscreen._tcp" on the main port, under the computer's
// name, visible on this machine only (viewers arrive through the tunnel, never directly).
#pragma once

#include <cstdint>
#include <memory>

#include "platform/Executors.h"
#include "platform/dnssd/DnsSdPublisher.h"

namespace kl {

inline constexpr const char* kMirroredScreenServiceName = "_dgmscreen._tcp";

class ScreenServicePublication {
public:
    // Published now, or as soon as avahi-daemon answers. Use and destroy it on the loop's thread.
    static std::unique_ptr<ScreenServicePublication> publish(MainLoop& loop, uint16_t port);
    ~ScreenServicePublication();

private:
    ScreenServicePublication(std::shared_ptr<DnsSdPublisher> publisher, DnsSdPublisher::Id id)
        : publisher_(std::move(publisher)), id_(id) {}
    std::shared_ptr<DnsSdPublisher> publisher_;
    DnsSdPublisher::Id id_;
};

}  // namespace kl
