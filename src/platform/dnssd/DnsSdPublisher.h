// Publishes DNS-SD services through avahi. Publications outlive avahi-daemon restarts (they are
// made again when the daemon is back), and a name already taken on the network is replaced by
// avahi's alternative ("Name #2"); the caller hears the name in use through its callback.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Executors.h"

namespace kl {

// Hands a callback to the caller's queue (for instance the main loop's post).
using DnsSdPost = std::function<void(Task)>;

struct DnsSdService {
    std::string name;  // at most 63 bytes of UTF-8
    std::string type;  // "_ssh._tcp"
    uint16_t port = 0;
    // Visible to this machine only (published on the loopback interface), else on every interface.
    bool localOnly = true;
};

enum class DnsSdPublishEvent {
    Registered,  // established under the name given (after a collision, a new one)
    Failed,      // refused by avahi; the publication stays withdrawn
};

class DnsSdPublisher {
public:
    using Id = uint64_t;
    using Callback = std::function<void(DnsSdPublishEvent event, const std::string& name)>;

    // The avahi-backed publisher; callbacks reach the caller through post.
    static std::shared_ptr<DnsSdPublisher> create(DnsSdPost post);
    virtual ~DnsSdPublisher() = default;

    // 0 when the service can never be published (a bad name, type or port); otherwise it is
    // published now or as soon as avahi-daemon is there.
    virtual Id publish(const DnsSdService& service, Callback callback) = 0;
    // Takes the service off the network. No callback of it runs after this returns, provided
    // withdraw is called on the queue the callbacks are posted to.
    virtual void withdraw(Id id) = 0;
};

}  // namespace kl
